// The system's state file, held to what PAPPL writes before PAPPL reads it.
//
// PAPPL 1.3.1 writes a job's name and user with only \ and " escaped, and a
// printer's texts with nothing escaped, so a line break a client once got
// into one of them is in the file raw; its loader then reads what follows as
// directives of their own (a printer, HoldNewJobs), and gives up on every
// job and printer after a line it can't read. Here each line must be one
// PAPPL's writer writes, where it writes it, with a value it can write:
//   - a job line that is not drops that job alone;
//   - any other such line of a printer is dropped, and so is every setting
//     of the printer after it (it may be text written into the one before);
//   - after such a line the file may run on with text written into it, a
//     "</Printer>" and another printer's block among it, up to the closing
//     quote; a job line PAPPL wrote (text in a quoted value has no bare
//     quote) shows that is over. A printer that ends before one does makes
//     the printer block after it dropped whole; the file is trusted again
//     after that block;
//   - a printer whose id is not unique and below NextPrinterID, or that has
//     no name or a name already used, is dropped with its jobs.
// A file PAPPL wrote comes back byte for byte.
#pragma once

#include <string>
#include <vector>

struct StateRepair {
    std::string text;                  // what PAPPL may read
    std::vector<std::string> dropped;  // what was left out and why (printable)
};

// TEXT is a state file's content. With SPOOL, a job's file must be one PAPPL
// names in that directory.
StateRepair repairState(const std::string& text, const std::string& spool = std::string());

// The largest state file read: PAPPL's own hold some kilobytes a printer.
constexpr size_t STATE_FILE_LIMIT = 64u << 20;

struct StatePreparation {
    bool load = true;                  // false: the server starts with no state
    std::vector<std::string> dropped;  // repairState's, and what was refused
};

// Before PAPPL reads the state file PATH: a link, a file that is not a
// regular one, or one larger than STATE_FILE_LIMIT is refused and moved to
// PATH.damaged (PAPPL would otherwise read it, and write through it). A file
// that needs repairing is kept as PATH.damaged (mode 0600, replacing an older
// one) and replaced, atomically, by the repaired text.
StatePreparation prepareStateFile(const std::string& path, const std::string& spool);
