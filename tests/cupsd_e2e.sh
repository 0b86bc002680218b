#!/bin/sh
# Prints real jobs through a private CUPS scheduler: its own configuration,
# spool and logs in a private /tmp (copied to the build tree at the end),
# listening on loopback only.
# It runs in a private mount namespace where CUPS's filter directory and
# /usr/share/ppd are private copies, so the README's own install lines
# (cmake --install, lpadmin -m ...) run for real without changing the
# machine. Jobs are sent with lp and each job's output is checked with the
# stream inspector; page accounting is read from the scheduler.
#
#   cupsd_e2e.sh BUILD_DIR
#
# With QUELMOSS_E2E_INSTALLED=1 the filter and PPD already installed on the
# machine (by the package) are used instead of cmake --install.
# The scheduler is stopped on every path out of this script.
set -eu
# The scheduler must start as root to run its filters as lp.
if [ "$(id -u)" -ne 0 ]; then
  echo "SKIP: a private scheduler needs root"
  exit 77
fi
if [ -z "${QUELMOSS_E2E_NAMESPACE:-}" ]; then
  QUELMOSS_E2E_NAMESPACE=1 exec sh "$(dirname "$0")/private_tmp.sh" "$1" sh "$0" "$@"
fi
build=$(cd "$1" && pwd)
src=$(cd "$(dirname "$0")/.." && pwd)
inspect="$build/quelmoss-inspect"
# In the private /tmp, where lp (the filters' user) can read the queue's
# PPD and write the output wherever the checkout lies; its configuration and
# logs are copied to the build tree at the end.
work=/tmp/quelmoss-cupsd
keep="$build/cupsd-e2e"
rm -rf "$work" "$keep"
mkdir -p "$work/etc/ppd" "$work/spool/tmp" "$work/cache" "$work/state" "$work/log" "$work/out"
chmod 755 "$work" "$work/etc"
chmod 1777 "$work/out"
port=$((20000 + $$ % 20000))
server="127.0.0.1:$port"
pid=""

stop() {
  if [ -n "$pid" ]; then
    kill "$pid" 2>/dev/null || true
    for _ in 1 2 3 4 5 6 7 8 9 10; do kill -0 "$pid" 2>/dev/null || break; sleep 0.5; done
    kill -9 "$pid" 2>/dev/null || true
  fi
  mkdir -p "$keep" && cp -a "$work/etc" "$work/log" "$work/out" "$keep/" 2>/dev/null || true
}
trap stop EXIT
trap 'exit 1' INT TERM

fail() {
  echo "FAIL: $*"
  echo "--- scheduler log (last 40 lines):"
  tail -n 40 "$work/log/error_log" 2>/dev/null || true
  exit 1
}

# The README's line that starts with "sudo WORDS", without the sudo.
readme_line() {
  line=$(sed -n "s/^sudo \($1 .*\)/\1/p" "$src/README.md" | head -n 1)
  [ -n "$line" ] || fail "the README has no 'sudo $1' line"
  echo "$line"
}

# CUPS's filter directory and the PPD tree, private to this namespace.
filter_dir=$(cups-config --serverbin)/filter
cp -a "$filter_dir" "$work/filter"
mount --bind "$work/filter" "$filter_dir"
mkdir -p "$work/ppd"
if [ "${QUELMOSS_E2E_INSTALLED:-0}" = 1 ]; then
  # The package's files, as the machine has them outside this namespace.
  inspect=/usr/bin/quelmoss-inspect
  cp -a "$(dirname "$(dpkg -L brivane-quelmoss | grep '\.ppd$')")" "$work/ppd/"
fi
mount --bind "$work/ppd" /usr/share/ppd
if [ "${QUELMOSS_E2E_INSTALLED:-0}" != 1 ]; then
  install_line=$(readme_line "cmake --install")
  eval "$(echo "$install_line" | sed "s| build\$| \"$build\"|")" >/dev/null \
    || fail "the README's install line failed: $install_line"
fi
[ -x "$filter_dir/brivane_quelmoss" ] || fail "no filter in $filter_dir"

. "$src/tests/cupsd_config.sh"
cupsd_config "$work" "$server"
started=yes
cupsd_start "$work" "$server" || started=""
pid=$cupsd_pid
[ -n "$started" ] || fail "the scheduler did not start"

# The README's lpadmin line, printing to a file on this scheduler; the model
# name must be one lpinfo -m lists.
lpadmin_line=$(readme_line lpadmin | sed "s|-v [^ ]*|-v file://$work/out/job.prn|")
model=$(echo "$lpadmin_line" | sed -n 's/.* -m \([^ ]*\).*/\1/p')
lpinfo -h "$server" -m 2>/dev/null | grep -q "^$model " || fail "lpinfo -m does not list $model"
# A detected printer is matched to the driver by its IEEE 1284 device ID.
lpinfo -h "$server" --device-id "MFG:Brivane;MDL:Quelmoss;CLS:PRINTER;" -m 2>/dev/null |
  grep -q "^$model " || fail "lpinfo does not match the printer's device ID to $model"
eval "lpadmin -h $server ${lpadmin_line#lpadmin }" 2>"$work/out/lpadmin.err" \
  || fail "the README's lpadmin line failed: $(cat "$work/out/lpadmin.err")"
lpadmin -h "$server" -p quelmoss -E -v "file://$work/out/job.prn" \
  || fail "lpadmin could not enable the queue"

pdf="$work/manual.pdf"
zcat /usr/share/doc/bzip2/manual.pdf.gz > "$pdf"
chmod 644 "$pdf"

# Sends one job (the manual, or DOC=file) and waits, bounded, until the
# scheduler says it completed.
print_job() {
  rm -f "$work/out/job.prn"
  id=$(lp -h "$server" -d quelmoss "$@" "${DOC:-$pdf}" | sed -n 's/^request id is \([^ ]*\).*/\1/p')
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

# What the scheduler counted for the last job: page_log's total and the
# job's job-impressions-completed.
expect_impressions() {
  job=${id##*-}
  total=""
  for _ in $(seq 1 50); do
    total=$(awk -v j="$job" '$3 == j { for (i = 4; i < NF; i++) if ($i == "total") print $(i + 1) }' \
      "$work/log/page_log" 2>/dev/null)
    [ -n "$total" ] && break
    sleep 0.2
  done
  [ "$total" = "$1" ] || fail "$2: page_log total '$total', want $1"
  cat > "$work/out/impressions.test" <<TEST
{
  OPERATION Get-Job-Attributes
  GROUP operation-attributes-tag
  ATTR charset attributes-charset utf-8
  ATTR naturalLanguage attributes-natural-language en
  ATTR uri printer-uri \$uri
  ATTR integer job-id $job
  ATTR name requesting-user-name root
  STATUS successful-ok
  EXPECT job-impressions-completed OF-TYPE integer WITH-VALUE $1
}
TEST
  ipptool -q "ipp://$server/printers/quelmoss" "$work/out/impressions.test" \
    || fail "$2: job-impressions-completed is not $1"
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
expect_impressions 6 "3 copies of 2 pages"
checks=$((checks + 1))

print_job -n 2 -o page-ranges=1-3 -o sides=two-sided-long-edge
expect_records 8 "2 copies duplex of 3 pages"
expect_flags "10 00 10 00 00 00 00 01 " "2 copies duplex of 3 pages"
expect_setting Duplex DuplexNoTumble "2 copies duplex of 3 pages"
expect_impressions 8 "2 copies duplex of 3 pages"
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

# A CUPS raster document goes to the filter by name, with no standard input.
"$build/rastergen" 600x800:checker 600x800:noise > "$work/pages.ras"
chmod 644 "$work/pages.ras"
DOC="$work/pages.ras" print_job -o document-format=application/vnd.cups-raster -n 2
expect_records 4 "a raster file, 2 copies"
expect_impressions 4 "a raster file, 2 copies"
checks=$((checks + 1))

print_job -n 2 -o page-ranges=1-2 -o collate=true
expect_records 2 "collate=true, 2 copies"
expect_impressions 4 "collate=true, 2 copies"
checks=$((checks + 1))

print_job -o page-ranges=1 -o print-quality=5
expect_setting Resolution 1200dpi "print-quality=5"
width=$(records | awk '{print $6}')
[ "$width" -gt 9000 ] || fail "print-quality=5: page $width pixels wide, not 1200 dpi"
checks=$((checks + 1))

echo "$checks passed, 0 failed"
