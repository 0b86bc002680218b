# What the printer application's harnesses share, sourced first by each. It
# runs the harness in network, UTS and mount namespaces of its own (its
# ports are nobody else's; a second network namespace plays another host),
# mounts empty /tmp, /run and /var/lib, sets up the work directory and gives the
# functions that start the server, add printers and send jobs. The harness
# sets $harness (the name of its directory of kept logs) first.
if [ "$(id -u)" -ne 0 ]; then
  echo "SKIP: the namespaces need root"
  exit 77
fi
if [ -z "${QUELMOSS_APP_NAMESPACE:-}" ]; then
  QUELMOSS_APP_NAMESPACE=1 exec unshare --net --uts sh "$(dirname "$0")/private_tmp.sh" "$1" \
    sh "$0" "$@"
fi
build=$(cd "$1" && pwd)
src=$(cd "$(dirname "$0")/.." && pwd)
app="$build/quelmoss-printer-app"
inspect="$build/quelmoss-inspect"
sink="$build/socket-sink"
tests="$src/tests/app"
mount -t tmpfs quelmoss-run /run
mount -t tmpfs quelmoss-var-lib /var/lib
ip link set lo up
hostname quelmoss-e2e  # (this namespace's own: the server and avahi name it)
work=/tmp/quelmoss-app
keep="$build/$harness"
rm -rf "$work" "$keep"
mkdir -p "$work/spool" "$work/docs"
# The server serves as its system user: its spool is that user's, and so is
# the directory of its log (which it rotates).
mkdir -p "$work/log"
chown quelmoss "$work/spool" "$work/log"
port=8631
uri_base="ipp://localhost:$port/ipp/print"
pids=""
server_pid=""
cupsd_pid=""

stop() {
  mkdir -p "$keep"
  cp -a "$work"/*.log "$work"/log/*.log "$work"/*.out "$work"/*.html "$keep/" 2>/dev/null || true
  cp -a "$work/cups/log/error_log" "$keep/cupsd.log" 2>/dev/null || true
  for pid in $server_pid $cupsd_pid $pids; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
}
trap stop EXIT
trap 'exit 1' INT TERM

fail() {
  echo "FAIL: $*"
  echo "FAIL: $*" >&2  # also out of a command substitution
  echo "--- server log (last 30 lines):"
  tail -n 30 "$work/log/server.log" 2>/dev/null || true
  if [ -f "$work/cups/log/error_log" ]; then
    echo "--- CUPS's log (the last lines of its jobs):"
    grep "\[Job " "$work/cups/log/error_log" | tail -n 20
  fi
  exit 1
}

# The README's line that starts with "WORDS".
readme_line() {
  line=$(grep "^$1 " "$src/README.md" | head -n 1)
  [ -n "$line" ] || fail "the README has no '$1' line"
  echo "$line"
}

# Starts the README's server line with the harness's spool and log, and the
# server options given (-o NAME=VALUE ...).
start_server() {
  line=$(readme_line "quelmoss-printer-app server" | sed "s|^quelmoss-printer-app|$app|")
  # (A sanitizer build holds freed memory back in a quarantine that would
  # hide whether the server stays small: a small one is enough here.)
  asan="ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}quarantine_size_mb=16"
  eval "env $asan $line -o spool-directory=$work/spool -o log-file=$work/log/server.log -o log-level=debug $* &"
  server_pid=$!
  # (A sub-command that finds no server starts one of its own.)
  for _ in $(seq 1 50); do
    [ -S /run/quelmoss-printer-app.sock ] && curl -sf -o /dev/null "http://localhost:$port/" &&
      return 0
    sleep 0.2
  done
  fail "the server did not start"
}

stop_server() {
  # (It may see the server close before it answers.)
  "$app" shutdown >/dev/null 2>&1 || true
  wait "$server_pid" 2>/dev/null || true
  rm -f /run/quelmoss-printer-app.sock
  server_pid=""
}

# A socket printer on PORT keeping its connections in $work/NAME; the
# socket-sink's options (--drop-first, --stall-first) follow.
start_sink() {
  sink_name=$1 sink_port=$2
  shift 2
  mkdir -p "$work/$sink_name"
  "$sink" "$sink_port" "$work/$sink_name" "$@" &
  pids="$pids $!"
}

# The README's add line for printer NAME at socket port PORT.
add_printer() {
  line=$(readme_line "quelmoss-printer-app add" |
    sed "s|^quelmoss-printer-app|$app|; s|-d [^ ]*|-d $1|; s|socket://[^ ]*|socket://127.0.0.1:$2|")
  eval "$line" || fail "adding printer $1 failed: $line"
}

# Sends FILE of TYPE to PRINTER with NAME=VALUE settings; prints the job id.
print_job() {
  printer=$1 file=$2 type=$3
  shift 3
  settings=""
  for setting; do settings="$settings -d $setting"; done
  # shellcheck disable=SC2086
  ipptool -t -d owner=alice -d jobname=report -d copies=1 -d sides=one-sided \
    -d media=iso_a4_210x297mm -d source=main -d type=stationery \
    -d handling=separate-documents-uncollated-copies -d quality=4 -d feed=short-edge-first \
    $settings -d filetype="$type" -f "$file" "$uri_base/$printer" "$tests/print-job.test" \
    > "$work/print.out" 2>&1 || fail "Print-Job to $printer failed: $(cat "$work/print.out")"
  sed -n 's/.*job-id (integer) = \([0-9]*\).*/\1/p' "$work/print.out" | head -n 1
}

# Waits for printer NAME's connection N to close; prints its file.
stream() {
  for _ in $(seq 1 600); do
    [ -f "$work/$1/conn-$2.bin" ] && echo "$work/$1/conn-$2.bin" && return 0
    sleep 0.1
  done
  fail "printer $1 got no connection $2 (it has: $(ls "$work/$1" | tr '\n' ' '))"
}

# Waits until printer NAME's connection N, still open, holds more than
# BYTES.
wait_for_bytes() {
  for _ in $(seq 1 300); do
    [ "$(stat -c %s "$work/$1/conn-$2.part" 2>/dev/null || echo 0)" -gt "$3" ] && return 0
    sleep 0.1
  done
}

# How many connections printer NAME has had: its next job's is one more.
# (Counted, not carried from section to section: a section that cancels or
# drops a job may leave a connection more than it printed jobs.)
connections_of() {
  ls "$work/$1" | grep -c '^conn-[0-9]*\.\(bin\|part\)$' || true
}

# JOB's state (its keyword) and message on PRINTER.
job_state() {
  ipptool -t -d owner=alice -d job="$2" "$uri_base/$1" "$tests/job-state.test" > "$work/state.out" 2>&1
  sed -n 's/.*job-state (enum) = \(.*\)/\1/p' "$work/state.out" | head -n 1
}
wait_job_state() {
  for _ in $(seq 1 300); do
    [ "$(job_state "$1" "$2")" = "$3" ] && return 0
    sleep 0.1
  done
  fail "job $2 on $1 is $(job_state "$1" "$2"), not $3: $(cat "$work/state.out")"
}

# The record flags of a stream, first and last, one pair per record.
records() {
  "$inspect" "$1" > "$work/inspect.out" 2>&1 || fail "the stream $1 is not sound: $(cat "$work/inspect.out")"
  awk '/^ +[0-9]+ +[01] +[01] +[0-9]+/ { printf "%s%s ", $2, $3 }' "$work/inspect.out" | sed 's/ $//'
}
setting() {
  awk -v key="$1" '$1 == key { print $2 }' "$work/inspect.out"
}
# The pixel size of the stream's first page.
first_page_size() {
  awk '/^ +[0-9]+ +[01] +[01] +[0-9]+/ { print $6 "x" $8; exit }' "$work/inspect.out"
}

expect() {
  [ "$2" = "$3" ] || fail "$1: got '$2', expected '$3'"
}


# A second network namespace at 10.77.0.2 plays another host; it reaches the
# server at 10.77.0.1.
make_remote_host() {
  ip netns add quelmoss-remote
  ip link add quelmoss0 type veth peer name quelmoss1
  ip link set quelmoss1 netns quelmoss-remote
  ip addr add 10.77.0.1/24 dev quelmoss0
  ip link set quelmoss0 up
  ip netns exec quelmoss-remote ip addr add 10.77.0.2/24 dev quelmoss1
  ip netns exec quelmoss-remote ip link set quelmoss1 up
  ip netns exec quelmoss-remote ip link set lo up
}
in_remote="ip netns exec quelmoss-remote"
as_nobody="setpriv --reuid=nobody --regid=nogroup --clear-groups"

# A 3-page A4 PDF; prints its path.
make_three_page_pdf() {
  gs -q -dSAFER -dBATCH -dNOPAUSE -sDEVICE=pdfwrite -sPAPERSIZE=a4 \
    -sOutputFile="$work/docs/three.pdf" \
    -c "/Helvetica findfont 60 scalefont setfont 1 1 3 { 100 500 moveto (Page ) show 3 string cvs show showpage } for"
  echo "$work/docs/three.pdf"
}

# A 38-page PDF, long enough to be caught mid-job; prints its path.
make_manual_pdf() {
  zcat /usr/share/doc/bzip2/manual.pdf.gz > "$work/docs/manual.pdf"
  echo "$work/docs/manual.pdf"
}

# A PDF whose catalog names pages that are not there; prints its path.
make_damaged_pdf() {
  printf '%%PDF-1.4\n1 0 obj << /Type /Catalog /Pages 9 0 R >> endobj\ntrailer << /Root 1 0 R >>\n%%%%EOF\n' \
    > "$work/docs/damaged.pdf"
  echo "$work/docs/damaged.pdf"
}

# The first page of the PDF ($1) as a small gray JPEG; prints its path.
make_photo_jpeg() {
  gs -q -dSAFER -dBATCH -dNOPAUSE -sDEVICE=jpeggray -r72 -dFirstPage=1 -dLastPage=1 \
    -sOutputFile="$work/docs/photo.jpg" "$1"
  echo "$work/docs/photo.jpg"
}

# The 3-page PDF ($1) as 8-bit gray PWG raster at 600 dpi, as a phone
# sends it; prints its path.
make_three_page_pwg() {
  gs -q -dSAFER -dBATCH -dNOPAUSE -sDEVICE=pwgraster -dcupsColorSpace=18 -dcupsBitsPerColor=8 \
    -r600 -dDEVICEWIDTHPOINTS=595 -dDEVICEHEIGHTPOINTS=842 -dFIXEDMEDIA -dPDFFitPage \
    -sOutputFile="$work/docs/three.pwg" "$1"
  echo "$work/docs/three.pwg"
}

# The server's resident size in KiB.
server_rss_kb() {
  awk '/^VmRSS:/ { print $2 }' "/proc/$server_pid/status"
}

# The status a request got: ok, or the refusal's name.
outcome() {
  if grep -q "\[PASS\]" "$work/op.out"; then echo ok; return; fi
  grep -o "forbidden\|not-authorized\|not-authenticated\|upgrade-required\|Forbidden\|Unauthorized" \
    "$work/op.out" | head -n 1 | grep . || echo "other: $(tr '\n' ' ' < "$work/op.out")"
}
# Runs ipptool FILE (in tests/app) against URI as WHO (a command prefix, or
# ""), with -d NAME=VALUE settings; prints outcome.
ipp_op() {  # WHO URI FILE -d ...
  who=$1 uri=$2 file=$3
  shift 3
  # shellcheck disable=SC2086
  $who ipptool -T 10 -t "$@" "$uri" "$tests/$file" > "$work/op.out" 2>&1 || true
  outcome
}
# The status-code of the last ipp_op: successful-ok, or the one it got.
op_status() {
  if grep -q "\[PASS\]" "$work/op.out"; then echo successful-ok; return; fi
  sed -n 's/.*(got \([a-z-]*\)).*/\1/p' "$work/op.out" | head -n 1 | grep . ||
    outcome | tr 'A-Z' 'a-z'
}

# CUPS's IPP Everywhere, 2.0 and 1.1 test files with every document they
# name: real ones for what the printer takes (1-bit and 8-bit gray at
# 600 dpi, PDF, JPEG) made from PDF ($1) and JPEG ($2), empty ones for the
# rest; prints the directory.
make_ipptool_suite() {
  suite="$work/ipptool"
  mkdir -p "$suite"
  cp /usr/share/cups/ipptool/ipp-everywhere.test /usr/share/cups/ipptool/ipp-2.0.test \
    /usr/share/cups/ipptool/ipp-1.1.test "$suite/"
  sed -n 's/^[[:space:]]*FILE \([^$].*\)/\1/p' "$suite"/*.test | sort -u | while read -r name; do
    mkdir -p "$suite/$(dirname "$name")"
    : > "$suite/$name"
  done
  cp "$1" "$suite/document-a4.pdf"
  gs -q -dSAFER -dBATCH -dNOPAUSE -sDEVICE=pdfwrite -sPAPERSIZE=letter -dFIXEDMEDIA -dPDFFitPage \
    -sOutputFile="$suite/document-letter.pdf" "$1"
  cp "$2" "$suite/color.jpg"
  cp "$2" "$suite/gray.jpg"
  for type in black-1 sgray-8; do
    case $type in
      black-1) raster="-dcupsColorSpace=3 -dcupsBitsPerColor=1" ;;
      sgray-8) raster="-dcupsColorSpace=18 -dcupsBitsPerColor=8" ;;
    esac
    dir="$suite/pwg-raster-samples-600dpi/$type"
    for doc in document-a4:595x842 onepage-a4:595x842 document-letter:612x792 \
      onepage-letter:612x792 color.jpg-4x6:288x432 gray.jpg-4x6:288x432; do
      size=${doc#*:}
      # shellcheck disable=SC2086
      gs -q -dSAFER -dBATCH -dNOPAUSE -sDEVICE=pwgraster $raster -r600 -dLastPage=1 \
        -dDEVICEWIDTHPOINTS="${size%x*}" -dDEVICEHEIGHTPOINTS="${size#*x}" -dFIXEDMEDIA \
        -dPDFFitPage -sOutputFile="$dir/${doc%:*}-$type-600dpi.pwg" "$1"
    done
  done
  echo "$suite"
}

# Fails unless ipptool's IPP Everywhere run in FILE ran and failed nothing.
check_ipp_everywhere() {
  grep -q "^Summary:" "$1" || fail "ipptool did not run: $(tail "$1")"
  if grep -q "\[FAIL\]" "$1"; then
    fail "IPP Everywhere: $(grep -A6 "\[FAIL\]" "$1")"
  fi
  grep "^Summary:" "$1"
}
