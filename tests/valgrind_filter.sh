#!/bin/sh
# Runs the filter under valgrind on a multi-page uncollated duplex job with
# copies: no invalid access, no leak, and a sound stream.
#
#   valgrind_filter.sh BUILD_DIR SOURCE_DIR
set -eu
build=$1
src=$2
command -v valgrind >/dev/null || { echo "SKIP: no valgrind"; exit 77; }
if [ -z "${QUELMOSS_PRIVATE_TMP:-}" ]; then
  exec sh "$src/tests/private_tmp.sh" "$build" sh "$0" "$@"
fi
work="$build/valgrind-run"
rm -rf "$work" && mkdir -p "$work"
"$build/rastergen" 700x500:noise 700x501:checker 700x502:diagonal 640x480:black > "$work/job.ras"
status=0
PPD="$build/brivane_quelmoss.ppd" valgrind -q --leak-check=full \
  --errors-for-leak-kinds=definite,indirect --error-exitcode=99 \
  "$build/brivane_quelmoss" 12 alice doc.pdf 2 "Duplex=DuplexNoTumble" \
  < "$work/job.ras" > "$work/job.prn" 2> "$work/log" || status=$?
if [ "$status" -ne 0 ]; then
  grep -v '^DEBUG\|^INFO\|^SetJobParam\|^GetJobParam\|^One_Param\|^Key:\|^Value:' "$work/log" | tail -40
  echo "FAIL: the filter under valgrind ended with status $status"
  exit 1
fi
"$build/quelmoss-inspect" "$work/job.prn" > "$work/table" || { echo "FAIL: unsound stream"; exit 1; }
grep -q "Page records: 8" "$work/table" || { echo "FAIL: want 8 records"; cat "$work/table"; exit 1; }
echo "1 passed, 0 failed"
