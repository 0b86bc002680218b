#!/bin/sh
# Installs what is missing, builds, and runs every test: the test suite in a
# plain build, the PPD check, the Debian package (built, checked, installed
# and printed through), the suite again with AddressSanitizer and
# UndefinedBehaviorSanitizer, and a bounded fuzzing run of every fuzz
# target. QUICK=1 runs the plain build's tests only.
set -eu
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
jobs=$(nproc)

# The code follows .clang-format and is cppcheck-clean.
sources=$(find src tools tests bench -name '*.cpp' -o -name '*.h')
clang-format --dry-run --Werror $sources
cppcheck --enable=warning,performance,portability --error-exitcode=1 --quiet --std=c++17 \
  --inline-suppr -I src src tools bench

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j"$jobs"
# The PPD must pass CUPS's own checker with the filter installed beside it.
rm -rf build/stage
DESTDIR="$PWD/build/stage" cmake --install build >/dev/null
cupstestppd -R "$PWD/build/stage" build/stage/usr/share/ppd/brivane/brivane_quelmoss.ppd
(cd build && ctest --output-on-failure)
[ "${QUICK:-0}" = 1 ] && exit 0

echo "== the Debian package, installed and printed through"
rm -f build/skipped
./scripts/package.sh build

echo "== the same tests with AddressSanitizer and UndefinedBehaviorSanitizer"
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DQUELMOSS_SANITIZE=ON
cmake --build build-asan -j"$jobs"
(cd build-asan && ctest --output-on-failure)

echo "== fuzzing, ${FUZZ_SECONDS:-30} s a target"
./scripts/fuzz.sh "${FUZZ_SECONDS:-30}"

echo "== summary"
if [ -s build/skipped ]; then cat build/skipped; else echo "every part ran; nothing skipped"; fi
