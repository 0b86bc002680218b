#!/bin/sh
# Prints real jobs through a private CUPS scheduler: its own configuration,
# spool and logs in a folder of the build tree, listening on loopback only.
# The filter and PPD are installed with cmake --install into a staging tree,
# a queue with a file: device is added with lpadmin, jobs are sent with lp,
# and each job's output is checked with the stream inspector.
#
#   cupsd_e2e.sh BUILD_DIR
#
# The scheduler is stopped on every path out of this script.
set -eu
# The scheduler must start as root to run its filters as lp.
if [ "$(id -u)" -ne 0 ]; then
  echo "SKIP: a private scheduler needs root"
  exit 77
fi
build=$(cd "$1" && pwd)
inspect="$build/quelmoss-inspect"
work="$build/cupsd-e2e"
rm -rf "$work"
mkdir -p "$work/etc/ppd" "$work/spool/tmp" "$work/cache" "$work/state" "$work/log" \
         "$work/serverbin/filter" "$work/out"
chmod 755 "$work" "$work/etc" "$work/serverbin" "$work/serverbin/filter"
chmod 1777 "$work/out"
port=$((20000 + $$ % 20000))
server="127.0.0.1:$port"
pid=""

. "$(dirname "$0")/fixed_paths.sh"

stop() {
  if [ -n "$pid" ]; then
    kill "$pid" 2>/dev/null || true
    for _ in 1 2 3 4 5 6 7 8 9 10; do kill -0 "$pid" 2>/dev/null || break; sleep 0.5; done
    kill -9 "$pid" 2>/dev/null || true
  fi
  restore_fixed_paths
}
trap stop EXIT
trap 'exit 1' INT TERM

fail() {
  echo "FAIL: $*"
  echo "--- scheduler log (last 40 lines):"
  tail -n 40 "$work/log/error_log" 2>/dev/null || true
  exit 1
}

# Installed as a packager would, then wired into a server-bin tree of
# CUPS's own filters plus ours.
DESTDIR="$work/stage" cmake --install "$build" >/dev/null
filter_dir=$(cups-config --serverbin)
for entry in "$filter_dir"/*; do
  [ "$(basename "$entry")" = filter ] || ln -s "$entry" "$work/serverbin/"
done
for f in "$filter_dir"/filter/*; do ln -s "$f" "$work/serverbin/filter/"; done
cp "$work/stage$filter_dir/filter/brivane_quelmoss" "$work/serverbin/filter/"
chmod 755 "$work/serverbin/filter/brivane_quelmoss"
ppd=$(find "$work/stage" -name brivane_quelmoss.ppd)

cat > "$work/etc/cupsd.conf" <<CONF
Listen $server
LogLevel debug
Browsing No
WebInterface No
DefaultAuthType None
<Location />
  Order allow,deny
  Allow all
</Location>
<Policy default>
  <Limit All>
    Order deny,allow
  </Limit>
</Policy>
CONF
cat > "$work/etc/cups-files.conf" <<CONF
ServerRoot $work/etc
RequestRoot $work/spool
TempDir $work/spool/tmp
CacheDir $work/cache
StateDir $work/state
ErrorLog $work/log/error_log
AccessLog $work/log/access_log
PageLog $work/log/page_log
ServerBin $work/serverbin
DataDir /usr/share/cups
FileDevice Yes
User lp
Group lp
SystemGroup root
Sandboxing Relaxed
CONF

cupsd -f -c "$work/etc/cupsd.conf" -s "$work/etc/cups-files.conf" &
pid=$!
up=""
for _ in $(seq 1 50); do
  if lpstat -h "$server" -r 2>/dev/null | grep -q "is running"; then up=yes; break; fi
  sleep 0.2
done
[ -n "$up" ] || fail "the scheduler did not start"

lpadmin -h "$server" -p quelmoss -E -v "file://$work/out/job.prn" -P "$ppd" 2>/dev/null \
  || fail "lpadmin could not add the queue"

pdf="$work/manual.pdf"
zcat /usr/share/doc/bzip2/manual.pdf.gz > "$pdf"
chmod 644 "$pdf"

# Sends one job and waits, bounded, until the scheduler says it completed.
print_job() {
  rm -f "$work/out/job.prn"
  id=$(lp -h "$server" -d quelmoss "$@" "$pdf" | sed -n 's/^request id is \([^ ]*\).*/\1/p')
  [ -n "$id" ] || fail "lp did not take the job ($*)"
  for _ in $(seq 1 300); do
    if lpstat -h "$server" -W completed -o quelmoss 2>/dev/null | grep -q "^$id "; then
      [ -s "$work/out/job.prn" ] || fail "job $id ($*) completed without output"
      "$inspect" "$work/out/job.prn" > "$work/out/table" 2> "$work/out/problems" \
        || fail "job $id ($*): $(cat "$work/out/problems")"
      return 0
    fi
    sleep 0.2
  done
  fail "job $id ($*) did not complete in 60 s"
}

# Columns of the inspector's record lines: page_no first last size offset WxH.
records() { awk '/^ +[0-9]+ +[01] +[01] /' "$work/out/table"; }
expect_records() {
  n=$(records | wc -l)
  [ "$n" -eq "$1" ] || fail "$2: $n records, want $1"
}
expect_flags() {
  got=$(records | awk '{printf "%s%s ", $2, $3}')
  [ "$got" = "$1" ] || fail "$2: first/last flags '$got', want '$1'"
}
expect_setting() {
  grep -q "^  $1 *$2\$" "$work/out/table" || fail "$3: job setting $1 is not $2"
}

checks=0
print_job -n 3 -o page-ranges=1-2
expect_records 6 "3 copies of 2 pages"
expect_flags "10 10 10 00 00 01 " "3 copies of 2 pages"
expect_setting copies 3 "3 copies of 2 pages"
checks=$((checks + 1))

print_job -n 2 -o page-ranges=1-3 -o sides=two-sided-long-edge
expect_records 8 "2 copies duplex of 3 pages"
expect_flags "10 00 10 00 00 00 00 01 " "2 copies duplex of 3 pages"
expect_setting Duplex DuplexNoTumble "2 copies duplex of 3 pages"
checks=$((checks + 1))

print_job -n 2 -o page-ranges=1-2 -o Collate=True
expect_records 2 "collated 2 copies"
expect_setting copies 2 "collated 2 copies"
checks=$((checks + 1))

print_job -o page-ranges=1 -o media=A5 -o FeedEdge=1 -o InputSlot=ManualTray
expect_records 1 "A5 long edge first from the manual tray"
expect_setting PageSize A5 "A5 long edge first"
expect_setting InputSlot ManualTray "A5 long edge first"
size=$(records | awk '{print $6, $8}')
set -- $size
[ "$1" -gt "$2" ] || fail "A5 long edge first: page $1 x $2 was not turned"
checks=$((checks + 1))

echo "$checks passed, 0 failed"
