#!/bin/sh
# Measures the printer application against CUPS's raster producer piped into
# the filter, in the same run: 12 pages of the bzip2 manual at 600 dpi, from
# Print-Job to the last byte on a socket printer on loopback, with the time
# to the first page record; and the server's memory per job (growth of its
# resident size during a 36-page job). Not part of the test run.
#
#   scripts/bench_app.sh [REPEATS]     (default 3; medians are shown)
#
# Runs in network and mount namespaces of its own (root), as the harness.
set -eu
cd "$(dirname "$0")/.."
repeats=${1:-3}
if [ -z "${QUELMOSS_BENCH_NAMESPACE:-}" ]; then
  ./scripts/install-deps.sh >/dev/null
  cmake -S . -B build-release -DCMAKE_BUILD_TYPE=Release -DQUELMOSS_TESTS=OFF >/dev/null
  cmake --build build-release -j"$(nproc)" >/dev/null
  mkdir -p out/bench
  QUELMOSS_BENCH_NAMESPACE=1 exec unshare --net sh tests/private_tmp.sh "$PWD/out/bench" \
    sh "$0" "$@"
fi
b="$PWD/build-release"
mount -t tmpfs quelmoss-run /run
mount -t tmpfs quelmoss-var-lib /var/lib
ip link set lo up
work=/tmp/quelmoss-bench-app
mkdir -p "$work/spool" "$work/out" "$work/log"
# The server serves as its system user.
chown quelmoss "$work/spool" "$work/log"
now() { date +%s.%N; }
median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

zcat /usr/share/doc/bzip2/manual.pdf.gz > "$work/manual.pdf"
gs -q -dSAFER -dBATCH -dNOPAUSE -sDEVICE=pdfwrite -dLastPage=12 -sOutputFile="$work/twelve.pdf" \
  "$work/manual.pdf"
gs -q -dSAFER -dBATCH -dNOPAUSE -sDEVICE=pdfwrite -dLastPage=36 -sOutputFile="$work/thirty-six.pdf" \
  "$work/manual.pdf"

"$b/socket-sink" 9100 "$work/out" &
sink=$!
"$b/quelmoss-printer-app" server -o server-port=8631 -o spool-directory="$work/spool" \
  -o log-file="$work/log/server.log" -o log-level=${QUELMOSS_BENCH_LOG_LEVEL:-warn} &
server=$!
trap 'kill $sink $server 2>/dev/null || true' EXIT
for _ in $(seq 1 50); do
  [ -S /run/quelmoss-printer-app.sock ] && curl -sf -o /dev/null http://localhost:8631/ && break
  sleep 0.2
done
"$b/quelmoss-printer-app" add -d bench -m brivane_quelmoss -v socket://127.0.0.1:9100
uri=ipp://localhost:8631/ipp/print/bench
print() {
  ipptool -d filetype=application/pdf -f "$1" "$uri" /usr/share/cups/ipptool/print-job.test \
    >/dev/null
}
# Waits for connection N to end; prints the seconds since START to its first
# page record (the job block is a few hundred bytes) and to its end.
conn=0
wait_stream() {
  first=""
  while [ ! -f "$work/out/conn-$conn.bin" ]; do
    if [ -z "$first" ] && [ "$(stat -c %s "$work/out/conn-$conn.part" 2>/dev/null || echo 0)" -gt 1024 ]; then
      first=$(now)
    fi
    sleep 0.005
  done
  last=$(now)
  [ -n "$first" ] || first=$last
  echo "$(echo "$first - $1" | bc) $(echo "$last - $1" | bc)"
}

: > "$work/app.txt"
: > "$work/pipeline.txt"
for _ in $(seq 1 "$repeats"); do
  start=$(now)
  print "$work/twelve.pdf"
  conn=$((conn + 1))
  wait_stream "$start" >> "$work/app.txt"
  start=$(now)
  cupsfilter -p "$b/brivane_quelmoss.ppd" -m application/vnd.cups-raster "$work/twelve.pdf" \
    2>/dev/null | PPD="$b/brivane_quelmoss.ppd" "$b/brivane_quelmoss" 1 bench twelve.pdf 1 '' \
    2>/dev/null > "$work/pipeline.prn"
  echo "$(echo "$(now) - $start" | bc)" >> "$work/pipeline.txt"
done
app_first=$(cut -d' ' -f1 "$work/app.txt" | median)
app_last=$(cut -d' ' -f2 "$work/app.txt" | median)
pipeline=$(median < "$work/pipeline.txt")

# Memory per job: the server's resident size before a 36-page job and at
# its highest during it.
rss() { awk '/^VmRSS:/ { print $2 }' "/proc/$server/status"; }
before=$(rss)
peak=$before
print "$work/thirty-six.pdf" &
client=$!
conn=$((conn + 1))
while [ ! -f "$work/out/conn-$conn.bin" ]; do
  now_rss=$(rss)
  [ "$now_rss" -gt "$peak" ] && peak=$now_rss
  sleep 0.02
done
wait "$client"
# Two A4 pages' printable areas at 600 dpi, packed 1 bit a pixel.
bitmap_kib=$(((4758 + 7) / 8 * 6817 / 1024))

cat <<REPORT
Printer application, 12 pages of the bzip2 manual at 600 dpi, medians of $repeats
($(nproc) processors online, $(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n 1)):
  Print-Job to the last byte on the printer      $app_last s
  Print-Job to the first page record             $app_first s
  cupsfilter piped into brivane_quelmoss         $pipeline s
  application / pipeline                         $(echo "scale=2; $app_last / $pipeline" | bc)
Server memory during a 36-page job:
  resident before                                $before KiB
  growth at its highest                          $((peak - before)) KiB
  two A4 page bitmaps at 600 dpi                 $((2 * bitmap_kib)) KiB
REPORT
if [ -n "${QUELMOSS_BENCH_KEEP_LOG:-}" ]; then cp "$work/log/server.log" "$QUELMOSS_BENCH_KEEP_LOG"; fi
