#!/bin/sh
# Builds the libFuzzer targets with clang and runs each one for a bounded
# time (default 30 s) from its committed seed corpus. A crash stops the run
# with the crashing input saved under build-fuzz/crashes/ (never in the
# source tree). With QUELMOSS_FUZZ_URI set to a running printer
# application's printer (ipp://localhost:8631/ipp/print/p), its requests'
# fuzzer runs against it as long, and counts as one more.
#
#   [QUELMOSS_FUZZ_URI=URI] scripts/fuzz.sh [SECONDS]
set -eu
cd "$(dirname "$0")/.."
# The filter's fixed paths under /tmp are the fuzz run's own.
[ "${QUELMOSS_PRIVATE_TMP:-}" = 1 ] || exec sh tests/private_tmp.sh "$PWD" sh "$0" "$@"
seconds=${1:-30}
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DQUELMOSS_FUZZ=ON \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-fuzz -j"$(nproc)" >/dev/null
mkdir -p build-fuzz/crashes
passed=0
for target in options pbm credentials raster ipp_request jbig; do
  work="build-fuzz/corpus/$target"
  rm -rf "$work" && mkdir -p "$work"
  echo "fuzz_$target: $seconds s"
  # The filter logs every step; -close_fd_mask=2 keeps that off the screen,
  # while libFuzzer still reports crashes. libcups itself allocates a row
  # buffer as large as a header's bytes per line (up to 4 GiB, untouched)
  # before the filter can refuse the page, hence the allocation limit.
  build-fuzz/tests/fuzz/fuzz_$target -max_total_time="$seconds" -max_len=65536 \
    -rss_limit_mb=4096 -malloc_limit_mb=8192 \
    -close_fd_mask=2 -print_final_stats=1 -artifact_prefix=build-fuzz/crashes/$target- \
    "$work" "tests/fuzz/corpus/$target" 2>&1 | grep -E '^stat::number_of_executed_units|ERROR|SUMMARY' || true
  if ls build-fuzz/crashes/$target-* >/dev/null 2>&1; then
    echo "fuzz_$target found a crash: $(ls build-fuzz/crashes/$target-*)"
    exit 1
  fi
  passed=$((passed + 1))
done
if [ -n "${QUELMOSS_FUZZ_URI:-}" ]; then
  echo "ipp_fuzz.py: $seconds s against $QUELMOSS_FUZZ_URI"
  python3 tests/app/ipp_fuzz.py "$QUELMOSS_FUZZ_URI" "$seconds" 1 || {
    echo "ipp_fuzz.py: the server failed"
    exit 1
  }
  passed=$((passed + 1))
fi
echo "$passed passed, 0 failed"
