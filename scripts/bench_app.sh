#!/bin/sh
# Measures the printer application against CUPS's raster producer piped into
# the filter, paired and interleaved in one run: 12 pages of the bzip2 manual
# at 600 and at 1200 dpi, from Print-Job to the last byte on a socket
# printer on loopback, with the time to the first page record; the 2-core
# limit worked out from the processor time Ghostscript and the
# application's own encoder take alone (libjbig's beside it); and the
# memory a job takes, the server's growth and its children (Ghostscript)
# counted, for one job and for two printers at once, against the pipeline's
# processes for the same job. Not part of the test run.
#
#   scripts/bench_app.sh [REPEATS]     (default 3; medians are shown)
#
# Runs in network and mount namespaces of its own (root), as the harness. The
# server logs at QUELMOSS_BENCH_LOG_LEVEL (default warn); its log is copied
# to QUELMOSS_BENCH_KEEP_LOG, a path outside /tmp, when that is set.
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
tests="$PWD/tests/app"
mount -t tmpfs quelmoss-run /run
mount -t tmpfs quelmoss-var-lib /var/lib
ip link set lo up
work=/tmp/quelmoss-bench-app
mkdir -p "$work/spool" "$work/out" "$work/out2" "$work/log"
# The server serves as its system user.
chown quelmoss "$work/spool" "$work/log"
now() { date +%s.%N; }
median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
ratio() { printf '%.2f' "$(echo "$1 / $2" | bc -l)"; }
# Resident KiB of process $1 and all its descendants.
tree_rss() {
  cat /proc/[0-9]*/status 2> /dev/null | awk -v root="$1" '
    function keep() { if (pid != "") { parent[pid] = ppid; rss[pid] = r } r = 0 }
    /^Name:/ { keep() }
    /^Pid:/ { pid = $2 }
    /^PPid:/ { ppid = $2 }
    /^VmRSS:/ { r = $2 }
    END {
      keep()
      for (p in parent) {
        for (q = p; q != "" && q != 0 && q != root; q = parent[q]) {}
        if (q == root) total += rss[p]
      }
      print total + 0
    }'
}

zcat /usr/share/doc/bzip2/manual.pdf.gz > "$work/manual.pdf"
gs -q -dSAFER -dBATCH -dNOPAUSE -sDEVICE=pdfwrite -dLastPage=12 -sOutputFile="$work/twelve.pdf" \
  "$work/manual.pdf"
gs -q -dSAFER -dBATCH -dNOPAUSE -sDEVICE=pdfwrite -dLastPage=36 -sOutputFile="$work/thirty-six.pdf" \
  "$work/manual.pdf"

"$b/socket-sink" 9100 "$work/out" &
sink=$!
"$b/socket-sink" 9101 "$work/out2" &
sink2=$!
"$b/quelmoss-printer-app" server -o server-port=8631 -o spool-directory="$work/spool" \
  -o log-file="$work/log/server.log" -o log-level=${QUELMOSS_BENCH_LOG_LEVEL:-warn} &
server=$!
trap 'kill $sink $sink2 $server 2>/dev/null || true' EXIT
for _ in $(seq 1 50); do
  [ -S /run/quelmoss-printer-app.sock ] && curl -sf -o /dev/null http://localhost:8631/ && break
  sleep 0.2
done
"$b/quelmoss-printer-app" add -d bench -m brivane_quelmoss -v socket://127.0.0.1:9100
"$b/quelmoss-printer-app" add -d fine -m brivane_quelmoss -v socket://127.0.0.1:9101
ipptool -d quality=4 -d resolution=1200dpi -d media=iso_a4_210x297mm \
  ipp://localhost:8631/ipp/print/fine "$tests/set-printer-default.test" > /dev/null
print() {
  ipptool -d filetype=application/pdf -f "$2" "ipp://localhost:8631/ipp/print/$1" \
    /usr/share/cups/ipptool/print-job.test > /dev/null
}
# Waits for connection N of printer output DIR to end; prints the seconds
# since START to its first page record (the job block is a few hundred
# bytes) and to its end.
wait_stream() {
  first=""
  while [ ! -f "$1/conn-$2.bin" ]; do
    if [ -z "$first" ] && [ "$(stat -c %s "$1/conn-$2.part" 2>/dev/null || echo 0)" -gt 1024 ]; then
      first=$(now)
    fi
    sleep 0.005
  done
  # When its last byte came (the server keeps the connection half a second
  # more, to see whether the printer drops it).
  last=$(stat -c %.9Y "$1/conn-$2.bin")
  [ -n "$first" ] || first=$last
  echo "$(echo "$first - $3" | bc) $(echo "$last - $3" | bc)"
}
# The pipeline, timed to its end and to its first page record.
pipeline() {
  start=$(now)
  cupsfilter -p "$b/brivane_quelmoss.ppd" -m application/vnd.cups-raster -o "Resolution=$1dpi" \
    "$work/twelve.pdf" 2>/dev/null |
    PPD="$b/brivane_quelmoss.ppd" "$b/brivane_quelmoss" 1 bench twelve.pdf 1 "Resolution=$1dpi" \
      2>/dev/null > "$work/pipeline.prn" &
  first=""
  while kill -0 $! 2>/dev/null; do
    if [ -z "$first" ] && [ "$(stat -c %s "$work/pipeline.prn")" -gt 1024 ]; then first=$(now); fi
    sleep 0.005
  done
  wait $! || true
  last=$(stat -c %.9Y "$work/pipeline.prn")
  [ -n "$first" ] || first=$last
  echo "$(echo "$first - $start" | bc) $(echo "$last - $start" | bc)"
}

conn_bench=0
conn_fine=0
for dpi in 600 1200; do : > "$work/app-$dpi.txt"; : > "$work/pipe-$dpi.txt"; done
# The processor seconds the server and its reaped children (Ghostscript)
# have taken.
server_cpu() { awk '{ printf "%.2f\n", ($14 + $15 + $16 + $17) / 100 }' "/proc/$server/stat"; }
for dpi in 600 1200; do : > "$work/cpu-$dpi.txt"; done
for _ in $(seq 1 "$repeats"); do
  cpu=$(server_cpu)
  start=$(now)
  print bench "$work/twelve.pdf"
  conn_bench=$((conn_bench + 1))
  wait_stream "$work/out" $conn_bench "$start" >> "$work/app-600.txt"
  echo "$(server_cpu) - $cpu" | bc >> "$work/cpu-600.txt"
  pipeline 600 >> "$work/pipe-600.txt"
  cpu=$(server_cpu)
  start=$(now)
  print fine "$work/twelve.pdf"
  conn_fine=$((conn_fine + 1))
  wait_stream "$work/out2" $conn_fine "$start" >> "$work/app-1200.txt"
  echo "$(server_cpu) - $cpu" | bc >> "$work/cpu-1200.txt"
  pipeline 1200 >> "$work/pipe-1200.txt"
done

# What each stage costs alone, in processor seconds on one processor:
# Ghostscript rendering the pages as it does for the application, and the
# application's own encoder encoding the same pages from CUPS's raster
# (libjbig's cost for the same pages beside it, and both encoders' bytes
# compared). With two processors, Ghostscript's pages come one after another
# while the encoding of earlier pages runs beside them.
for dpi in 600 1200; do
  cupsfilter -p "$b/brivane_quelmoss.ppd" -m application/vnd.cups-raster -o "Resolution=${dpi}dpi" \
    "$work/twelve.pdf" 2>/dev/null > "$work/twelve-$dpi.ras"
  : > "$work/gs-$dpi.txt"
  : > "$work/gs-first-$dpi.txt"
  : > "$work/enc-$dpi.txt"
  : > "$work/libjbig-$dpi.txt"
  for _ in $(seq 1 "$repeats"); do
    /usr/bin/time -f '%U %S' -o "$work/gs-time.txt" \
      taskset -c 0 gs -q -dSAFER -dBATCH -dNOPAUSE -dNOINTERPOLATE -dNOMEDIAATTRS -sDEVICE=cups \
      -sBandListStorage=memory -dcupsColorSpace=3 -dcupsBitsPerColor=1 -r$dpi \
      -dDEVICEWIDTHPOINTS=595 -dDEVICEHEIGHTPOINTS=842 -dFIXEDMEDIA -sOutputFile=/dev/null \
      -c "<</.HWMargins [12 12 12 12] /Margins [0 0]>> setpagedevice" -f "$work/twelve.pdf" \
      > /dev/null 2>&1
    awk '{ print $1 + $2 }' "$work/gs-time.txt" >> "$work/gs-$dpi.txt"
    # Its first page alone: what a job waits for before anything can be
    # encoded.
    /usr/bin/time -f '%U %S' -o "$work/gs-time.txt" \
      taskset -c 0 gs -q -dSAFER -dBATCH -dNOPAUSE -dNOINTERPOLATE -dNOMEDIAATTRS -sDEVICE=cups \
      -sBandListStorage=memory -dcupsColorSpace=3 -dcupsBitsPerColor=1 -r$dpi \
      -dDEVICEWIDTHPOINTS=595 -dDEVICEHEIGHTPOINTS=842 -dFIXEDMEDIA -dLastPage=1 \
      -sOutputFile=/dev/null -c "<</.HWMargins [12 12 12 12] /Margins [0 0]>> setpagedevice" \
      -f "$work/twelve.pdf" > /dev/null 2>&1
    awk '{ print $1 + $2 }' "$work/gs-time.txt" >> "$work/gs-first-$dpi.txt"
    # "pages N own SECONDS libjbig SECONDS"; fails when the bytes differ.
    taskset -c 0 "$b/quelmoss_encode_alone" "$work/twelve-$dpi.ras" > "$work/enc-out.txt"
    awk '{ print $4 }' "$work/enc-out.txt" >> "$work/enc-$dpi.txt"
    awk '{ print $6 }' "$work/enc-out.txt" >> "$work/libjbig-$dpi.txt"
  done
done

# Memory: the server's resident size before, then the highest the server
# and its children reach during a 36-page job, alone and on two printers
# at once; and the highest the pipeline's processes reach for the same job.
before=$(awk '/^VmRSS:/ { print $2 }' "/proc/$server/status")
peak_server() {
  peak=0
  while :; do
    ended=1
    [ -f "$work/$1/conn-$2.bin" ] || ended=0
    if [ $# -gt 2 ] && [ ! -f "$work/$3/conn-$4.bin" ]; then ended=0; fi
    [ $ended = 1 ] && break
    now_rss=$(tree_rss "$server")
    [ "$now_rss" -gt "$peak" ] && peak=$now_rss
    sleep 0.02
  done
  echo "$peak"
}
print bench "$work/thirty-six.pdf"
conn_bench=$((conn_bench + 1))
one_job=$(peak_server out $conn_bench)
print bench "$work/thirty-six.pdf"
print fine "$work/thirty-six.pdf"
conn_bench=$((conn_bench + 1))
conn_fine=$((conn_fine + 1))
two_jobs=$(peak_server out $conn_bench out2 $conn_fine)
sh -c 'cupsfilter -p "$1/brivane_quelmoss.ppd" -m application/vnd.cups-raster "$2" 2>/dev/null |
  PPD="$1/brivane_quelmoss.ppd" "$1/brivane_quelmoss" 1 bench 36.pdf 1 "" > /dev/null 2>&1' \
  sh "$b" "$work/thirty-six.pdf" &
pipe_root=$!
pipe_peak=0
while kill -0 $pipe_root 2>/dev/null; do
  now_rss=$(tree_rss $pipe_root)
  [ "$now_rss" -gt "$pipe_peak" ] && pipe_peak=$now_rss
  sleep 0.02
done

report() {
  dpi=$1
  app_first=$(cut -d' ' -f1 "$work/app-$dpi.txt" | median)
  app_last=$(cut -d' ' -f2 "$work/app-$dpi.txt" | median)
  pipe_first=$(cut -d' ' -f1 "$work/pipe-$dpi.txt" | median)
  pipe_last=$(cut -d' ' -f2 "$work/pipe-$dpi.txt" | median)
  gs_alone=$(median < "$work/gs-$dpi.txt")
  enc_alone=$(median < "$work/enc-$dpi.txt")
  jbig_alone=$(median < "$work/libjbig-$dpi.txt")
  limit=$(echo "g = $gs_alone; e = ($gs_alone + $enc_alone) / 2; if (g > e) g else e" | bc -l)
  limit=$(printf '%.2f' "$limit")
  per_page() { printf '%.4f' "$(echo "$1 / 12" | bc -l)"; }
  app_first=$(printf '%.2f' "$app_first")
  app_last=$(printf '%.2f' "$app_last")
  pipe_first=$(printf '%.2f' "$pipe_first")
  pipe_last=$(printf '%.2f' "$pipe_last")
  echo "| $dpi | $app_last | $pipe_last | $(ratio "$app_last" "$pipe_last") | $app_first / $pipe_first | $(ratio "$app_first" "$pipe_first") | $gs_alone | $(per_page "$enc_alone") | $(per_page "$jbig_alone") | $(ratio "$enc_alone" "$jbig_alone") | $limit | $(ratio "$app_last" "$limit") |"
}
cpu_report() {
  job=$(median < "$work/cpu-$1.txt")
  parts=$(echo "$(median < "$work/gs-$1.txt") + $(median < "$work/enc-$1.txt")" | bc -l)
  printf '| %s | %.2f | %.2f | %.2f |' "$1" "$job" "$parts" "$(echo "$job / 2" | bc -l)"
}
cat <<REPORT
Printer application against cupsfilter | brivane_quelmoss, 12 pages of the bzip2 manual,
medians of $repeats, paired and interleaved ($(nproc) processors online,
$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n 1)). Wall seconds for the
jobs; processor seconds for Ghostscript (12 pages) and the encoders (a page):

| dpi | application | pipeline | ratio | first record: app / pipeline | ratio | Ghostscript CPU | own encoder CPU/page | libjbig CPU/page | own / libjbig | 2-core limit | app / limit |
|---|---|---|---|---|---|---|---|---|---|---|---|
$(report 600)
$(report 1200)

Processor seconds of a job, the server's and Ghostscript's, against its two
parts alone (Ghostscript's 12 pages and the own encoder's):
| dpi | the job | Ghostscript alone + own encoder alone | the job's wall seconds on 2 processors at the least |
|---|---|---|---|
$(cpu_report 600)
$(cpu_report 1200)

Memory, KiB (resident; a job's processes counted while it runs):
| figure | KiB |
|---|---|
| server before the jobs | $before |
| server and children at their highest, one 36-page job | $one_job |
| the same, growth over the server before | $((one_job - before)) |
| server and children, 36-page jobs on two printers at once | $two_jobs |
| the pipeline's processes at their highest, the same job | $pipe_peak |
REPORT
# Where the first record's time goes, from the server's log (its lines
# carry milliseconds), when it logged at debug: each timed job's start, the
# first page Ghostscript hands over (the job block goes out then), the first
# page record written and the last one. The jobs ran one at a time, 600 and
# 1200 dpi in turn.
if [ "${QUELMOSS_BENCH_LOG_LEVEL:-warn}" = debug ]; then
  awk -v jobs=$((2 * repeats)) '
    function ts() { split(substr($2, 13, 12), t, ":"); return t[1] * 3600 + t[2] * 60 + t[3] }
    / \[Job [0-9]+\] Starting print job\./ { n++; if (n > jobs) exit; start[n] = ts() }
    n && / \[Job [0-9]+\] job_params_size=/ && !(n in gs) { gs[n] = ts() }
    n && / \[Job [0-9]+\] PAGE: / { if (!(n in first)) first[n] = ts(); last[n] = ts() }
    END {
      for (i = 1; i <= jobs && i <= n; i++) {
        printf "%d %.3f %.3f %.3f\n", i % 2 ? 600 : 1200, gs[i] - start[i], first[i] - gs[i],
          last[i] - first[i]
      }
    }' "$work/log/server.log" > "$work/phases.txt"
  phase() { awk -v dpi="$1" -v f="$2" '$1 == dpi { print $f }' "$work/phases.txt" | median; }
  echo
  echo "The first record's time, where it goes (medians, seconds; the server logging at debug):"
  echo "| dpi | first record | before the job starts (client, upload, queue) | job start to Ghostscript's first page | that page to its record | first record to last | Ghostscript CPU alone, its first page |"
  echo "|---|---|---|---|---|---|---|"
  for dpi in 600 1200; do
    app_first=$(cut -d' ' -f1 "$work/app-$dpi.txt" | median)
    to_gs=$(phase $dpi 2)
    to_record=$(phase $dpi 3)
    before=$(echo "$app_first - $to_gs - $to_record" | bc -l)
    printf '| %s | %.2f | %.2f | %.2f | %.2f | %.2f | %.2f |\n' "$dpi" "$app_first" "$before" \
      "$to_gs" "$to_record" "$(phase $dpi 4)" "$(median < "$work/gs-first-$dpi.txt")"
  done
fi
if [ -n "${QUELMOSS_BENCH_KEEP_LOG:-}" ]; then cp "$work/log/server.log" "$QUELMOSS_BENCH_KEEP_LOG"; fi
