#!/bin/sh
# Installs what is missing, builds, and runs every test.
set -eu
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j"$(nproc)"
# The PPD must pass CUPS's own checker with the filter installed beside it.
rm -rf build/stage
DESTDIR="$PWD/build/stage" cmake --install build >/dev/null
cupstestppd -R "$PWD/build/stage" build/stage/usr/share/ppd/brivane/brivane_quelmoss.ppd
cd build && ctest --output-on-failure
