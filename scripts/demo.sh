#!/bin/sh
# Prints a real document through the filter as CUPS would: CUPS's own raster
# producer renders it with the shipped PPD, the filter turns the raster into
# the printer stream, and the inspector checks the stream, prints its table
# and writes a PNG preview of every page.
#
#   scripts/demo.sh [PDF] [CUPS options...]
#
# Default: the first four pages of the bzip2 manual, two-sided, 2 copies.
# Output in out/demo: demo.ras (CUPS raster), demo.prn (printer stream),
# filter.log (the job log) and pages/page-NNN.png.
set -eu
cd "$(dirname "$0")/.."
./scripts/install-deps.sh >/dev/null
[ -x build/brivane_quelmoss ] && [ -x build/quelmoss-inspect ] && [ -f build/brivane_quelmoss.ppd ] || {
  cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build build -j"$(nproc)" >/dev/null
}
out=out/demo
rm -rf "$out" && mkdir -p "$out"
if [ $# -gt 0 ]; then
  pdf=$1; shift
else
  pdf=$out/bzip2-manual.pdf
  zcat /usr/share/doc/bzip2/manual.pdf.gz > "$pdf"
  set -- -o page-ranges=1-4 -o Duplex=DuplexNoTumble
fi
copies=2
ppd=build/brivane_quelmoss.ppd
options="$*"
cupsfilter -p "$ppd" -m application/vnd.cups-raster "$@" "$pdf" > "$out/demo.ras" 2> "$out/cupsfilter.log"
# The filter gets the options text as the scheduler passes it: name=value
# pairs separated by blanks.
filter_options=$(printf '%s' "$options" | sed 's/-o //g')
# As root, the filter's working directory is a private one, so the demo
# leaves the machine's /tmp/tarvelin to the print server's own jobs.
private=""
[ "$(id -u)" -eq 0 ] && private="sh tests/private_tmp.sh $PWD"
$private env PPD="$ppd" build/brivane_quelmoss 1 "$(id -un)" "$pdf" "$copies" "$filter_options" \
  < "$out/demo.ras" > "$out/demo.prn" 2> "$out/filter.log"
build/quelmoss-inspect --png "$out/pages" "$out/demo.prn"
echo
echo "Pages as the printer will print them: $out/pages/*.png (job log: $out/filter.log)"
