#!/bin/sh
# The printer application on loopback, as clients use it: the server with a
# private spool and state, socket printers that keep every connection's
# bytes, jobs sent with ipptool (and through a CUPS driverless queue), each
# stream checked with the stream inspector.
# It runs in a network namespace of its own (its ports are nobody else's; a
# second one plays a remote host) and a mount namespace whose /tmp, /run and
# /var/lib are empty, so the machine's state is never touched.
#
#   app_e2e.sh BUILD_DIR
set -eu
harness=app-e2e
. "$(dirname "$0")/app_lib.sh"
# Documents: a 3-page PDF, a 12-page one, a damaged one, PWG raster and JPEG.
pdf3=$(make_three_page_pdf)
manual="$work/docs/manual.pdf"
zcat /usr/share/doc/bzip2/manual.pdf.gz > "$manual"
printf '%%PDF-1.4\n1 0 obj << /Type /Catalog /Pages 9 0 R >> endobj\ntrailer << /Root 1 0 R >>\n%%%%EOF\n' \
  > "$work/docs/damaged.pdf"
pwg=$(make_three_page_pwg "$pdf3")
jpeg="$work/docs/photo.jpg"
gs -q -dSAFER -dBATCH -dNOPAUSE -sDEVICE=jpeggray -r72 -dFirstPage=1 -dLastPage=1 \
  -sOutputFile="$jpeg" "$pdf3"

start_server
start_sink p 9101
add_printer p 9101
n=0  # connections printer p has had

echo "== copies, collation, two-sided, A5L, 1200 dpi (PDF)"
while read -r name settings want; do
  n=$((n + 1))
  # shellcheck disable=SC2046
  id=$(print_job p "$pdf3" application/pdf $(echo "$settings" | tr , ' '))
  got=$(records "$(stream p $n)")
  expect "$name: records" "$got" "$(echo "$want" | tr , ' ')"
  case "$name" in
    uncollated) expect "$name: copies" "$(setting copies) $(setting Collate)" "2 False" ;;
    collated) expect "$name: copies" "$(setting copies) $(setting Collate)" "2 True" ;;
    duplex) expect "$name: Duplex" "$(setting Duplex)" "DuplexNoTumble" ;;
    a5l) expect "$name: turned" "$(setting PageSize) $(setting FeedEdge) $(first_page_size)" \
      "A5 1 4758x3300" ;;
    fine) expect "$name: 1200 dpi" "$(setting Resolution) $(first_page_size)" "1200dpi 9517x13633" ;;
    manual-duplex)
      expect "$name: refused" "$(setting Duplex) $(setting InputSlot)" "None ManualTray"
      wait_job_state p "$id" completed
      grep -q "job-state-message.*one-sided" "$work/state.out" ||
        fail "$name: the job's message does not say why: $(cat "$work/state.out")"
      ;;
  esac
done <<CASES
uncollated copies=2 10,10,00,00,00,01
collated copies=2,handling=separate-documents-collated-copies 10,00,01
duplex sides=two-sided-long-edge 10,00,00,01
a5l media=iso_a5_148x210mm,feed=long-edge-first 10,00,01
fine quality=5 10,00,01
manual-duplex sides=two-sided-long-edge,source=manual 10,00,01
CASES

echo "== the printer's defaults reach a job that does not say otherwise"
# (Collated copies: the default PAPPL tells every client.)
while read -r name feed copies want; do
  ipptool -t -d value="$feed" "$uri_base/p" "$tests/set-feed.test" > "$work/feed.out" 2>&1 ||
    fail "$name: setting feed-orientation-default: $(cat "$work/feed.out")"
  ipptool -t -d copies="$copies" -f "$pdf3" "$uri_base/p" "$tests/print-plain.test" \
    > "$work/plain.out" 2>&1 || fail "$name: $(cat "$work/plain.out")"
  n=$((n + 1))
  got=$(records "$(stream p $n)")
  expect "$name" "$got $(setting Collate) $(setting FeedEdge)" "$want"
done <<ROWS
collated-by-default short-edge-first 2 10 00 01 True 0
feed-default long-edge-first 1 10 00 01 True 1
feed-default-back short-edge-first 1 10 00 01 True 0
ROWS
# Each default set over IPP or on the printer's web page (PAPPL 1.3.1 takes
# sides-default from the page only), then a job that says nothing: its
# resolution, sides, paper, tray and paper type in the job block.
while read -r name how settings want; do
  if [ "$how" != web ]; then
    # shellcheck disable=SC2046
    ipptool -t $(echo "$settings" | tr , '\n' | sed 's/^/-d /') "$uri_base/p" \
      "$tests/$how.test" > "$work/default.out" 2>&1 ||
      fail "$name: setting the default: $(cat "$work/default.out")"
  else
    curl -s -c "$work/cookies" "http://localhost:$port/p/printing" > "$work/printing.html"
    session=$(sed -n 's/.*name="session" value="\([^"]*\)".*/\1/p' "$work/printing.html" | head -n 1)
    curl -s -b "$work/cookies" -d "session=$session&$(echo "$settings" | tr , '&')" \
      "http://localhost:$port/p/printing" > "$work/default.out" || fail "$name: the web page failed"
  fi
  ipptool -t -d copies=1 -f "$pdf3" "$uri_base/p" "$tests/print-plain.test" \
    > "$work/plain.out" 2>&1 || fail "$name: $(cat "$work/plain.out")"
  n=$((n + 1))
  records "$(stream p $n)" > /dev/null
  expect "$name" "$(setting Resolution) $(setting Duplex) $(setting PageSize) $(setting InputSlot) \
$(setting MediaType)" "$(echo "$want" | tr , ' ')"
done <<ROWS
quality-high set-printer-default quality=5,resolution=600dpi,media=iso_a4_210x297mm 1200dpi,None,A4,MainTray,Plain
resolution-1200 set-printer-default quality=4,resolution=1200dpi,media=iso_a4_210x297mm 1200dpi,None,A4,MainTray,Plain
paper set-printer-default quality=4,resolution=600dpi,media=iso_a5_148x210mm 600dpi,None,A5,MainTray,Plain
sides web sides=two-sided-long-edge 600dpi,DuplexNoTumble,A5,MainTray,Plain
back web sides=one-sided 600dpi,None,A5,MainTray,Plain
tray-and-type set-media-col media=iso_a4_210x297mm,source=manual,type=stationery-heavyweight 600dpi,None,A4,ManualTray,Thick
paper-back set-media-col media=iso_a4_210x297mm,source=main,type=stationery 600dpi,None,A4,MainTray,Plain
ROWS

echo "== the program's own submit sub-command, with a page range"
"$app" submit -d p -o page-ranges=2-3 "$pdf3" > "$work/submit.out" 2>&1 ||
  fail "submit -o page-ranges=2-3: $(cat "$work/submit.out")"
n=$((n + 1))
expect "submit -o page-ranges=2-3" "$(records "$(stream p $n)")" "10 01"

echo "== the printer gets the filter's stream for the same pages, identity aside"
# The first job above (3 pages, 2 uncollated copies), rendered by CUPS's own
# PDF filters for the PPD and run through the filter with the same settings.
cupsfilter -p "$build/brivane_quelmoss.ppd" -m application/vnd.cups-raster "$pdf3" \
  > "$work/three.ras" 2> "$work/cupsfilter.log" ||
  fail "cupsfilter failed: $(tail -n 5 "$work/cupsfilter.log")"
PPD="$build/brivane_quelmoss.ppd" "$build/brivane_quelmoss" 7 alice report 2 \
  "PageSize=A4 InputSlot=MainTray MediaType=Plain Duplex=None Resolution=600dpi FeedEdge=0 noCollate" \
  "$work/three.ras" > "$work/filter.prn" 2> "$work/filter.log" || fail "the filter failed"
identity="jobId|DocName|HostName|LoginName|job-uuid|job-originating-host-name|time-at-creation|time-at-processing"
for stream in "$work/p/conn-1.bin" "$work/filter.prn"; do
  "$inspect" "$stream" | sed -n '/^Job settings/,/^Page records/p' | grep -Ev "^ +($identity) " |
    grep -v "^Job settings" > "$stream.settings"
  # The page records: everything after the job block (magic, length, text).
  length=$(od -An -t d4 -j 16 -N 4 "$stream" | tr -d ' ')
  tail -c +$((20 + length + 1)) "$stream" > "$stream.records"
done
cmp -s "$work/p/conn-1.bin.settings" "$work/filter.prn.settings" ||
  fail "the job settings differ: $(diff "$work/p/conn-1.bin.settings" "$work/filter.prn.settings")"
cmp "$work/p/conn-1.bin.records" "$work/filter.prn.records" || fail "the page records differ"

echo "== PWG raster and JPEG: the core makes the copies, once"
n=$((n + 1))
print_job p "$pwg" image/pwg-raster copies=2 >/dev/null
expect "PWG raster" "$(records "$(stream p $n)") $(first_page_size)" "10 10 00 00 00 01 4758x6817"
n=$((n + 1))
id=$(print_job p "$jpeg" image/jpeg copies=3)
expect "JPEG" "$(records "$(stream p $n)")" "10 10 11"
wait_job_state p "$id" completed
grep -q "job-impressions-completed (integer) = 3" "$work/state.out" ||
  fail "JPEG: impressions are not the 3 sides printed: $(cat "$work/state.out")"

echo "== a damaged document aborts its job, and the next job prints"
id=$(print_job p "$work/docs/damaged.pdf" application/pdf)
wait_job_state p "$id" aborted
grep -q "job-state-reasons.*document-format-error" "$work/state.out" ||
  fail "damaged: no reason given: $(cat "$work/state.out")"
n=$((n + 1))
[ -s "$(stream p $n)" ] && fail "damaged: the printer got bytes of it"
n=$((n + 1))
print_job p "$pdf3" application/pdf >/dev/null
expect "after the damaged one" "$(records "$(stream p $n)")" "10 00 01"

echo "== documents labelled PDF that loop or grow end within their bounds"
. "$tests/hostile_pdf.sh"
hostile_pdf_rows p

echo "== Cancel-Job: the stream ends with a whole record flagged last"
n=$((n + 1))
id=$(print_job p "$manual" application/pdf quality=5)
for _ in $(seq 1 300); do
  [ "$(stat -c %s "$work/p/conn-$n.part" 2>/dev/null || echo 0)" -gt 100000 ] && break
  sleep 0.1
done
"$app" cancel -d p -j "$id" || fail "cancel failed"
cancelled=$(records "$(stream p $n)")
case "$cancelled" in
  *01) ;;
  *) fail "cancelled: the last record is not flagged last: $cancelled" ;;
esac
[ "$(echo "$cancelled" | wc -w)" -lt 38 ] || fail "cancelled: all 38 pages were printed"
wait_job_state p "$id" canceled

echo "== two printers print at once"
start_sink q 9102
add_printer q 9102
print_job p "$pdf3" application/pdf copies=2 >/dev/null &
print_job q "$pdf3" application/pdf sides=two-sided-short-edge >/dev/null
wait $!
n=$((n + 1))
expect "printer p" "$(records "$(stream p $n)")" "10 10 00 00 00 01"
expect "printer q" "$(records "$(stream q 1)") $(setting Duplex)" "10 00 00 01 DuplexTumble"

echo "== a printer that refuses the connection keeps its job"
add_printer r 9103
held=$(print_job r "$pdf3" application/pdf)
sleep 2
# Stopped and offline, saying why, never paused unless an administrator
# pauses it: its reasons and message.
refused_state() {
  ipptool -t -d value=iso_a4_210x297mm "$uri_base/r" "$tests/get-default.test" \
    > "$work/refused.out" 2>&1 || fail "refused: $(cat "$work/refused.out")"
  echo "$(sed -n 's/.*printer-state-reasons (keyword) = //p' "$work/refused.out")|$(sed -n \
    's/.*printer-state-message (textWithoutLanguage) = //p' "$work/refused.out")"
}
state=$(refused_state)
grep -q "printer-state (enum) = stopped" "$work/refused.out" ||
  fail "refused: the printer does not show it: $(cat "$work/refused.out")"
case $state in
  "offline|The printer at socket://127.0.0.1:9103 does not answer (Unable to connect to 127.0.0.1:9103: "*"); its jobs wait.") ;;
  *) fail "refused: reasons and message: $state" ;;
esac
"$app" pause -d r
# (Its job is still processing, waiting for the device.)
expect "refused, then paused" "$(refused_state)" "moving-to-paused|Stopped."
"$app" resume -d r
expect "refused, resumed" "$(refused_state)" "$state"
expect "refused: job" "$(job_state r "$held")" "processing"

echo "== a printer that drops the connection gets the job again, whole"
start_sink d 9104 --drop-first 100000
add_printer d 9104
dropped=$(print_job d "$manual" application/pdf copies=1)
stream d 1 >/dev/null
wait_job_state d "$dropped" aborted
grep -q "job-state-message.*printed again" "$work/state.out" ||
  fail "dropped: the job does not say it is printed again: $(cat "$work/state.out")"
again=$(records "$(stream d 2)")
expect "dropped, then whole" "$(echo "$again" | wc -w) ${again##* }" "38 01"
# A one-page job is in the socket's buffers before the printer drops it.
start_sink d1 9110 --drop-first 100
add_printer d1 9110
dropped=$(print_job d1 "$jpeg" image/jpeg)
stream d1 1 >/dev/null
wait_job_state d1 "$dropped" aborted
expect "a one-page job dropped, then whole" "$(records "$(stream d1 2)")" "11"

echo "== a printer that stops reading: Cancel-Job ends the job, and the next job prints"
start_sink s 9109 --stall-first 100000
add_printer s 9109
stuck=$(print_job s "$manual" application/pdf quality=5)
for _ in $(seq 1 300); do
  [ "$(stat -c %s "$work/s/conn-1.part" 2>/dev/null || echo 0)" -ge 100000 ] && break
  sleep 0.1
done
sleep 3  # (the socket's buffers fill)
expect "stalled" "$(job_state s "$stuck")" processing
asked=$(date +%s)
"$app" cancel -d s -j "$stuck" || fail "cancel failed"
wait_job_state s "$stuck" canceled
[ $(($(date +%s) - asked)) -le 10 ] || fail "the stalled job took $(($(date +%s) - asked)) s to end"
print_job s "$pdf3" application/pdf > /dev/null
expect "after the stalled job" "$(records "$(stream s 2)")" "10 00 01"

echo "== nobody on another host changes or deletes a printer"
make_remote_host
remote="ipp://10.77.0.1:$port"
# PAPPL refuses at the HTTP level, which ipptool counts as a failed test.
ip netns exec quelmoss-remote ipptool -I -t -d system="$remote/ipp/system" \
  "$remote/ipp/print/r" "$tests/admin.test" > "$work/remote.out" 2>&1 || true
refused=$(grep -c "status-code = client-error-\(forbidden\|not-authorized\|not-authenticated\)" \
  "$work/remote.out" || true)
[ "$refused" = 2 ] || fail "a remote client was let in: $(cat "$work/remote.out")"
expect "remote: job" "$(job_state r "$held")" "processing"
# It may print, though.
ip netns exec quelmoss-remote ipptool -t -d owner=bob -d jobname=remote -d copies=1 \
  -d sides=one-sided -d media=iso_a4_210x297mm -d source=main -d type=stationery \
  -d handling=separate-documents-uncollated-copies -d quality=4 -d feed=short-edge-first \
  -d filetype=application/pdf -f "$pdf3" "$remote/ipp/print/p" "$tests/print-job.test" \
  > "$work/remote-print.out" 2>&1 || fail "a remote client can't print: $(cat "$work/remote-print.out")"
n=$((n + 1))
expect "remote job" "$(records "$(stream p $n)") $(setting LoginName)" "10 00 01 bob"
# The refusing printer comes back: its job prints.
start_sink r 9103
expect "refused, then back" "$(records "$(stream r 1)")" "10 00 01"
wait_job_state r "$held" completed

echo "== hostile requests: refused, and nothing changes"
# As root on loopback (an administrator) the same requests are let in, so a
# refusal below is the policy's, not a broken request.
# A printer nobody listens for keeps its job active.
add_printer h 9105
active=$(print_job h "$pdf3" application/pdf)
printers_before=$("$app" printers | sort)
passwd_before=$(sha256sum /etc/passwd)
while read -r who file settings; do
  case $who in remote) run="$in_remote" base="ipp://10.77.0.1:$port" ;;
    nobody) run="$as_nobody" base="ipp://localhost:$port" ;; esac
  uri="$base/ipp/print/h"
  [ "$file" = create-printer.test ] && uri="$base/ipp/system"
  # shellcheck disable=SC2046
  got=$(ipp_op "$run" "$uri" "$file" -d owner=intruder -d job="$active" -d name=evil \
    $(echo "$settings" | tr , '\n' | sed 's/^/-d /'))
  case $got in ok | other*) fail "$who $file $settings was let in: $got" ;; esac
done <<ROWS
remote job-op.test op=Cancel-Job
remote job-op.test op=Hold-Job
remote job-op.test op=Release-Job
remote printer-op.test op=Disable-Printer
remote printer-op.test op=Pause-Printer
remote create-printer.test device=socket://10.77.0.2:9100
nobody job-op.test op=Cancel-Job
nobody printer-op.test op=Disable-Printer
nobody create-printer.test device=file:///etc
ROWS
expect "hostile: job" "$(job_state h "$active")" "processing"
# A local user over the control socket gets no administration either.
$as_nobody "$app" add -d evil -m brivane_quelmoss -v file:///etc/passwd > "$work/op.out" 2>&1 &&
  fail "a local user added a printer over the socket"
# (Nor does the refused sub-command leave a server of its own behind.)
pgrep -u nobody -f quelmoss-printer-app > /dev/null &&
  fail "a server of nobody's runs: $(pgrep -a -u nobody -f quelmoss-printer-app)"
# Nor does an administrator get a printer that writes outside the directory
# the server was given for files (none here).
got=$(ipp_op "" "ipp://localhost:$port/ipp/system" create-printer.test -d owner=root \
  -d name=passwd -d device=file:///etc/passwd)
[ "$got" = ok ] && fail "a printer writing /etc/passwd was made"
expect "hostile: printers" "$("$app" printers | sort)" "$printers_before"
expect "hostile: /etc/passwd" "$(sha256sum /etc/passwd)" "$passwd_before"
# The web interface's forms and logs, from another host.
for page in /addprinter /r/ /r/delete /r/printing /logs /network /security; do
  for scheme in http https; do
    code=$($in_remote curl -sk -o /dev/null -w '%{http_code}' "$scheme://10.77.0.1:$port$page")
    # (Plain http is sent to https first.)
    if [ "$code" = 200 ]; then fail "remote web page $scheme $page answered $code"; fi
  done
  # A local user on loopback gets none of them either.
  code=$($as_nobody curl -s -o /dev/null -w '%{http_code}' "http://localhost:$port$page")
  if [ "$code" = 200 ]; then fail "web page $page answered $code to nobody"; fi
done
# Nor does a local user see other users' job names.
$as_nobody ipptool -t -d owner=nobody "$uri_base/h" "$tests/get-jobs.test" \
  > "$work/jobs-local.out" 2>&1 || fail "Get-Jobs as nobody: $(cat "$work/jobs-local.out")"
grep -q "job-name\|job-originating-user-name" "$work/jobs-local.out" &&
  fail "Get-Jobs shows nobody the names: $(cat "$work/jobs-local.out")"
# Other users' job names and user names are not shown to others; an
# administrator sees them.
$in_remote ipptool -t -d owner=bob "ipp://10.77.0.1:$port/ipp/print/h" "$tests/get-jobs.test" \
  > "$work/jobs-remote.out" 2>&1 || fail "remote Get-Jobs: $(cat "$work/jobs-remote.out")"
grep -q "job-id (integer) = $active" "$work/jobs-remote.out" ||
  fail "remote Get-Jobs does not list job $active: $(cat "$work/jobs-remote.out")"
grep -q "job-name\|job-originating-user-name\|report\|alice" "$work/jobs-remote.out" &&
  fail "remote Get-Jobs shows names: $(cat "$work/jobs-remote.out")"
ipptool -t -d owner=root "$uri_base/h" "$tests/get-jobs.test" > "$work/jobs-admin.out" 2>&1 ||
  fail "Get-Jobs as root: $(cat "$work/jobs-admin.out")"
grep -q "job-name (nameWithoutLanguage) = report" "$work/jobs-admin.out" ||
  fail "root does not see job names: $(cat "$work/jobs-admin.out")"
# The owner may cancel a job of theirs from another host.
own=$($in_remote ipptool -t -d owner=bob -d jobname=mine -d copies=1 -d sides=one-sided \
  -d media=iso_a4_210x297mm -d source=main -d type=stationery \
  -d handling=separate-documents-uncollated-copies -d quality=4 -d feed=short-edge-first \
  -d filetype=application/pdf -f "$pdf3" "ipp://10.77.0.1:$port/ipp/print/h" \
  "$tests/print-job.test" | sed -n 's/.*job-id (integer) = \([0-9]*\).*/\1/p' | head -n 1)
got=$(ipp_op "$in_remote" "ipp://10.77.0.1:$port/ipp/print/h" job-op.test -d op=Cancel-Job \
  -d owner=bob -d job="$own")
expect "owner cancels from another host" "$got" ok
wait_job_state h "$own" canceled
"$app" cancel -d h -j "$active" || fail "root could not cancel job $active"
# Raster far wider than any paper, 8-bit gray: refused before PAPPL takes a
# line of it, and the server goes on.
for kind in pwg urf; do
  python3 "$tests/wide-raster.py" "$kind" 600000 4 "$work/docs/wide.$kind"
  type=image/pwg-raster
  [ "$kind" = urf ] && type=image/urf
  ipptool -t -d owner=alice -d jobname=wide -d copies=1 -d sides=one-sided \
    -d media=iso_a4_210x297mm -d source=main -d type=stationery \
    -d handling=separate-documents-uncollated-copies -d quality=4 -d feed=short-edge-first \
    -d filetype="$type" -f "$work/docs/wide.$kind" "$uri_base/q" "$tests/print-job.test" \
    > "$work/wide.out" 2>&1 || true
  id=$(sed -n 's/.*job-id (integer) = \([0-9]*\).*/\1/p' "$work/wide.out" | head -n 1)
  [ -n "$id" ] || fail "wide $kind: no job: $(cat "$work/wide.out")"
  wait_job_state q "$id" aborted
  grep -q "document-format-error" "$work/state.out" || fail "wide $kind: $(cat "$work/state.out")"
  curl -sf -o /dev/null "http://localhost:$port/" || fail "wide $kind: the server died"
done
# Identity values a client chooses stay values of their own rows.
n=$((n + 1))
ipptool -t -d "uuid=xx1200dpi#Resolution" -f "$pdf3" "$uri_base/p" "$tests/print-job-uuid.test" \
  > "$work/uuid.out" 2>&1 || fail "crafted job-uuid: $(cat "$work/uuid.out")"
records "$(stream p $n)" > /dev/null
expect "crafted job-uuid" "$(setting job-uuid) $(setting Resolution) $(setting Collate)" \
  "xx1200dpi#Resolution 600dpi True"

echo "== the web interface answers on every page, with its footer"
# (/addprinter: with no avahi-daemon, as here, PAPPL's own page would kill the server.)
for page in / /p /p/media /p/printing /p/supplies /p/jobs /q /addprinter; do
  code=$(curl -s -o "$work/page.html" -w '%{http_code}' "http://localhost:$port$page")
  expect "web page $page" "$code" 200
  grep -q "Brivane Quelmoss printer application" "$work/page.html" || fail "web page $page: no footer"
done
curl -s "http://localhost:$port/p/media" > "$work/media.html"
# (PAPPL shows no ready paper for the manual feed.)
for shown in "JIS B5" "100 x 200mm" "Main" "Heavyweight paper"; do
  grep -qi "$shown" "$work/media.html" || fail "the media page does not offer $shown"
done
curl -s "http://localhost:$port/p/printing" > "$work/printing.html"
for shown in two-sided-short-edge 1200 feed-orientation long-edge-first; do
  grep -qi "$shown" "$work/printing.html" || fail "the printing defaults page does not offer $shown"
done

echo "== ipptool's IPP Everywhere tests"
# The files name sample documents Debian does not ship, and ipptool refuses
# a file naming one it can't read, even where the test using it is skipped:
# real ones are made for what the printer takes (1-bit and 8-bit gray at
# 600 dpi, PDF, JPEG), empty ones for the rest.
suite=$(make_ipptool_suite "$pdf3" "$jpeg")
# (On a printer of its own: other users' jobs are listed without their names.)
start_sink e 9112
add_printer e 9112
sleep 1  # (its printer-up-time counts whole seconds)
# (Over TLS from the start, as phones print: an upgraded connection would
# have libcups send the request-id 0 test's request again with a new id.)
ipptool -I -t -f "$pwg" -d filetype=image/pwg-raster "ipps://10.77.0.1:$port/ipp/print/e" \
  "$suite/ipp-everywhere.test" > "$work/ipp-everywhere.out" 2>&1 || true
check_ipp_everywhere "$work/ipp-everywhere.out"

. "$tests/photos.sh"
echo "== a default survives a restart"
ipptool -t -d value=na_letter_8.5x11in "$uri_base/p" "$tests/set-default.test" \
  > "$work/set-default.out" 2>&1 || fail "setting a default failed: $(cat "$work/set-default.out")"
stop_server
start_server
ipptool -t -d value=na_letter_8.5x11in "$uri_base/p" "$tests/get-default.test" \
  > "$work/get-default.out" 2>&1 || fail "the default was lost: $(cat "$work/get-default.out")"

echo "== the queue: jobs print in the order they came, and outlive the server"
# The names of the jobs on printer NAME's connection N, in the order printed.
printed() {
  "$inspect" "$(stream "$1" "$2")" > "$work/inspect.out" 2>&1 ||
    fail "$1: the stream is not sound: $(cat "$work/inspect.out")"
  awk '$1 == "DocName" { printf "%s ", $2 }' "$work/inspect.out" | sed 's/ $//'
}
# Printers that are down while their jobs queue: o comes back as is; the
# server is killed under k, with its first job waiting for the printer.
add_printer o 9106
add_printer k 9107
for name in one two three four; do print_job o "$pdf3" application/pdf jobname=$name > /dev/null; done
for name in five six seven; do last=$(print_job k "$pdf3" application/pdf jobname=$name); done
start_sink o 9106
expect "queued behind a busy printer" "$(printed o 1)" "one two three four"
sleep 2  # (the server keeps its state in the background)
kill -9 "$server_pid"
wait "$server_pid" 2>/dev/null || true
rm -f /run/quelmoss-printer-app.sock
# (The page files a job killed while printing leaves behind.)
mkdir "$work/spool/brivane_quelmoss-KILLED"
head -c 100000 /dev/zero > "$work/spool/brivane_quelmoss-KILLED/page"
chown -R quelmoss "$work/spool/brivane_quelmoss-KILLED"
start_server
[ -e "$work/spool/brivane_quelmoss-KILLED" ] && fail "a killed job's page files are left"
start_sink k 9107
expect "after a crash, by themselves" "$(printed k 1)" "five six seven"
wait_job_state k "$last" completed
next=$(print_job k "$pdf3" application/pdf jobname=eight)
[ "$next" -gt "$last" ] || fail "job id $next is used again (the last was $last)"
expect "after the crash, a new job" "$(printed k 2)" "eight"

echo "== a stopped service ends the job printing with a whole record, and prints it again"
add_printer t 9111
start_sink t 9111
stopped=$(print_job t "$manual" application/pdf quality=5)
for _ in $(seq 1 300); do
  [ "$(stat -c %s "$work/t/conn-1.part" 2>/dev/null || echo 0)" -gt 100000 ] && break
  sleep 0.1
done
asked=$(date +%s)
kill -TERM "$server_pid"
wait "$server_pid" 2>/dev/null || true
[ $(($(date +%s) - asked)) -le 10 ] || fail "the server took $(($(date +%s) - asked)) s to stop"
rm -f /run/quelmoss-printer-app.sock
cut_short=$(records "$(stream t 1)")
case "$cut_short" in
  *01) ;;
  *) fail "stopped: the last record is not flagged last: $cut_short" ;;
esac
[ "$(echo "$cut_short" | wc -w)" -lt 38 ] || fail "stopped: all 38 pages were printed"
start_server
again=$(records "$(stream t 2)")
expect "stopped, then again whole" "$(echo "$again" | wc -w) ${again##* }" "38 01"
wait_job_state t "$stopped" completed

echo "== load: 5 clients send 20 jobs each to two printers, none refused or lost"
# PDF, PWG raster and JPEG in turn; each client's jobs come out in its order.
start_sink l1 9113
start_sink l2 9114
add_printer l1 9113
add_printer l2 9114
load_client() {
  for i in $(seq 1 20); do
    j=$(printf %02d "$i")
    case $((i % 3)) in 0) doc=$pdf3 type=application/pdf ;; 1) doc=$pwg type=image/pwg-raster ;;
      *) doc=$jpeg type=image/jpeg ;; esac
    printer=l$((i % 2 + 1))
    ipptool -t -d owner=load -d jobname="c$1-$j" -d copies=1 -d sides=one-sided \
      -d media=iso_a4_210x297mm -d source=main -d type=stationery \
      -d handling=separate-documents-uncollated-copies -d quality=4 -d feed=short-edge-first \
      -d filetype="$type" -f "$doc" "$uri_base/$printer" "$tests/print-job.test" \
      > "$work/load-c$1-$j.out" 2>&1 && continue
    # PAPPL 1.3.1 checks a job's attributes against the printer's without a
    # lock, with libcups's stateful attribute search: now and then, while
    # another client's job is checked, it misses a supported value and
    # prints the job without it. Counted; any other answer is a refusal.
    if grep -q "status-code = successful-ok-ignored-or-substituted-attributes" \
      "$work/load-c$1-$j.out"; then
      echo "c$1-$j" >> "$work/load-substituted-$1.txt"
    else
      echo "c$1-$j refused: $(grep -m1 status-code "$work/load-c$1-$j.out")"
    fi
  done
}
started=$(date +%s)
clients=""
for c in 1 2 3 4 5; do
  load_client "$c" > "$work/load-$c.out" &
  clients="$clients $!"
done
# shellcheck disable=SC2086
wait $clients
refused=$(cat "$work"/load-[1-5].out)
[ -z "$refused" ] || fail "load: jobs refused: $refused"
# Every job's stream, sound, on its printer's connections, in order per client.
for _ in $(seq 1 1200); do
  got=0
  for printer in l1 l2; do
    for conn in "$work/$printer"/conn-*.bin; do
      [ -f "$conn" ] && got=$((got + $("$inspect" "$conn" 2>/dev/null | grep -c "^ *DocName ")))
    done
  done
  [ "$got" -ge 100 ] && ! ls "$work"/l1/*.part "$work"/l2/*.part > /dev/null 2>&1 && break
  kill -0 "$server_pid" 2>/dev/null || fail "load: the server died"
  sleep 0.5
done
# (Order is the queue table's: a job that comes in while PAPPL 1.3.1 is
# between two jobs of the printer may be started at once, ahead of its
# turn; how many did is counted.)
ahead=0
for conn in "$work"/l1/conn-*.bin "$work"/l2/conn-*.bin; do
  "$inspect" "$conn" > "$work/inspect.out" 2>&1 || fail "load: $conn is not sound: $(cat "$work/inspect.out")"
  awk '$1 == "DocName" { print $2 }' "$work/inspect.out" > "$conn.names"
  for c in 1 2 3 4 5; do
    ahead=$((ahead + $(grep "^c$c-" "$conn.names" | awk 'NR > 1 && $0 < last { n++ } { last = $0 } END { print n + 0 }')))
  done
done
expect "load: jobs printed" "$(cat "$work"/l[12]/conn-*.names | sort -u | wc -l)" 100
expect "load: jobs printed twice" "$(cat "$work"/l[12]/conn-*.names | wc -l)" 100
substituted=$(cat "$work"/load-substituted-*.txt 2>/dev/null | wc -l)
echo "load: 100 jobs printed in $(($(date +%s) - started)) s, none refused, $ahead ahead of their turn," \
  "$substituted with an attribute PAPPL missed"

echo "== a CUPS driverless queue prints through the application"
cups="$work/cups"
cups_server=127.0.0.1:8632
. "$src/tests/cupsd_config.sh"
cupsd_config "$cups" "$cups_server"
cupsd_start "$cups" "$cups_server" || fail "the private CUPS scheduler did not start"
# (A backend that fails once tries again, as on a print server.)
lpadmin -h "$cups_server" -p driverless -E -v "$uri_base/p" -m everywhere \
  -o printer-error-policy=retry-current-job \
  > "$work/lpadmin.out" 2>&1 || fail "lpadmin -m everywhere failed: $(cat "$work/lpadmin.out")"
# (Counted afresh: jobs that follow one another closely share a connection.)
n=$(ls "$work/p" | grep -c '^conn-[0-9]*\.\(bin\|part\)$')
lp -h "$cups_server" -d driverless -n 2 -o sides=two-sided-long-edge "$pdf3" > "$work/lp.out" 2>&1 ||
  fail "lp failed: $(cat "$work/lp.out")"
n=$((n + 1))
through_cups=$(records "$(stream p $n)")
case "$through_cups" in
  "10 00 00 01 10 00 00 01" | "10 00 00 01") ;;
  *) fail "through CUPS: records $through_cups" ;;
esac
expect "through CUPS: Duplex" "$(setting Duplex)" "DuplexNoTumble"

echo "== a printer added while the server runs is found on DNS-SD at once"
if command -v avahi-daemon > /dev/null && command -v avahi-browse > /dev/null; then
  # avahi (and the system bus it answers on) of this namespace alone, on
  # the link to the second host; the server is started again to find it.
  mkdir -p /run/dbus /run/avahi-daemon
  dbus-daemon --system --fork
  avahi-daemon -D --no-chroot --no-rlimits || fail "avahi-daemon did not start"
  pids="$pids $(cat /run/dbus/pid) $(cat /run/avahi-daemon/pid)"
  stop_server
  start_server
  add_printer found 9108
  # The services named "found" of TYPE, once DNS-SD has them. A resolver
  # that never answers can keep avahi-browse from ending: each look is
  # bounded, and the loops below look again.
  browse() {
    timeout 5 avahi-browse -ptr "$1" 2>/dev/null |
      awk -F';' '$1 == "=" && $4 == "found" { print $4 }' | sort -u
  }
  for type in _ipp._tcp _universal._sub._ipp._tcp _print._sub._ipp._tcp; do
    for _ in $(seq 1 20); do
      [ "$(browse $type)" = found ] && break
      sleep 0.5
    done
    expect "DNS-SD $type" "$(browse $type)" found
  done
  for _ in $(seq 1 10); do
    txt=$(timeout 5 avahi-browse -ptr _ipp._tcp || true)
    echo "$txt" | grep -q "found;.*\"rp=ipp/print/found\"" && break
  done
  echo "$txt" | grep -q "found;.*\"rp=ipp/print/found\"" ||
    fail "DNS-SD: the TXT record does not give the printer's path: $txt"
  # (Deleted on its web page: PAPPL 1.3.1 gives a printer added while it
  # runs printer-id 0 until a restart, so the delete sub-command can't name it.)
  curl -s -c "$work/cookies" "http://localhost:$port/found/delete" > "$work/delete.html"
  session=$(sed -n 's/.*name="session" value="\([^"]*\)".*/\1/p' "$work/delete.html" | head -n 1)
  curl -s -b "$work/cookies" -d "session=$session" "http://localhost:$port/found/delete" \
    > /dev/null || fail "deleting the printer failed"
  for _ in $(seq 1 20); do
    [ -z "$(browse _ipp._tcp)" ] && break
    sleep 0.5
  done
  expect "DNS-SD after the printer is deleted" "$(browse _ipp._tcp)" ""
else
  echo "SKIP: avahi-daemon or avahi-browse is not installed"
fi
echo "PASS"
