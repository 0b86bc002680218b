#!/usr/bin/env python3
"""The layout is the architecture: every include in src/ points down.

The printer application's rooms, lowest first; a file may include its own
room, the rooms below it and the page-stream core, and the core includes
nothing of the application. A header and its .cpp are one unit, and no
units of src/ include each other in a cycle.

    includes.py SRC_DIR
"""
import os
import re
import sys

ROOMS = ["state", "device", "queue", "job", "documents", "driver", "system"]
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)


def main():
    src = os.path.abspath(sys.argv[1])
    units = {}  # unit -> set of units it includes
    faults = []
    for top, _, names in os.walk(src):
        for name in names:
            if not name.endswith((".h", ".cpp", ".cpp.in")):
                continue
            path = os.path.join(top, name)
            rel = os.path.relpath(path, src)
            unit = re.sub(r"\.(h|cpp|cpp\.in)$", "", rel)
            deps = units.setdefault(unit, set())
            with open(path, encoding="utf-8") as f:
                text = f.read()
            for inc in INCLUDE.findall(text):
                target = os.path.normpath(os.path.join(os.path.dirname(rel), inc))
                if not os.path.exists(os.path.join(src, target)):
                    target = os.path.normpath(inc)
                if not os.path.exists(os.path.join(src, target)):
                    continue  # generated or outside src/
                dep = re.sub(r"\.h$", "", target)
                if dep != unit:
                    deps.add(dep)
                fault = direction(rel, target)
                if fault:
                    faults.append(f"{rel}: includes {target}: {fault}")
    faults += cycles(units)
    for fault in faults:
        print(fault)
    print(f"{len(units)} units, {sum(len(d) for d in units.values())} includes, "
          f"{len(faults)} faults")
    return 1 if faults else 0


def room(rel):
    parts = rel.split(os.sep)
    if parts[0] != "app":
        return None  # the core
    if len(parts) == 2:
        return len(ROOMS)  # main.cpp, above every room
    if parts[1] not in ROOMS:
        return -1
    return ROOMS.index(parts[1])


def direction(rel, target):
    here, there = room(rel), room(target)
    if here == -1:
        return "its file is in no room of " + ", ".join(ROOMS)
    if there is None:
        return None
    if here is None:
        return "the core includes the application"
    if there > here:
        return f"{ROOMS[here] if here < len(ROOMS) else 'main'} is below {ROOMS[there]}"
    return None


def cycles(units):
    faults, state, stack = [], {}, []

    def visit(unit):
        state[unit] = 1
        stack.append(unit)
        for dep in sorted(units.get(unit, ())):
            if state.get(dep) == 1:
                faults.append("cycle: " + " -> ".join(stack[stack.index(dep):] + [dep]))
            elif dep in units and dep not in state:
                visit(dep)
        stack.pop()
        state[unit] = 2

    for unit in sorted(units):
        if unit not in state:
            visit(unit)
    return faults


if __name__ == "__main__":
    sys.exit(main())
