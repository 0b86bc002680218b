echo "-- hostile requests: refused, and nothing changes"
# As root on loopback (an administrator) the same requests are let in, so a
# refusal below is the policy's, not a broken request.
# A printer nobody listens for keeps its job active; q takes the raster.
start_sink q 9102
add_printer q 9102
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
for page in /addprinter /h/delete /h/printing /h/media /h/jobs /logs /network /security; do
  for scheme in http https; do
    code=$($in_remote curl -sk -o /dev/null -w '%{http_code}' "$scheme://10.77.0.1:$port$page")
    # (Plain http is sent to https first.)
    if [ "$code" = 200 ]; then fail "remote web page $scheme $page answered $code"; fi
  done
  # A local user on loopback gets none of them either.
  code=$($as_nobody curl -s -o /dev/null -w '%{http_code}' "http://localhost:$port$page")
  if [ "$code" = 200 ]; then fail "web page $page answered $code to nobody"; fi
done
# Nor does a form of the printer's page print for them (the test page), nor
# does another host get a document in a format the printer does not print
# into the spool.
jobs_before=$("$app" jobs -d h | wc -l)
session=$(curl -s "http://localhost:$port/h" | sed -n 's/.*name="session" value="\([^"]*\)".*/\1/p' |
  head -n 1)
for run in "$in_remote curl -sk https://10.77.0.1:$port/h" "$as_nobody curl -s http://localhost:$port/h"; do
  # shellcheck disable=SC2086
  code=$($run -o /dev/null -w '%{http_code}' -F "session=$session" -F action=print-test-page)
  if [ "$code" = 200 ]; then fail "a test page was asked for by '$run': $code"; fi
done
expect "hostile: h's jobs" "$("$app" jobs -d h | wc -l)" "$jobs_before"
printf 'Dear printer,\n' > "$work/docs/intrusion.txt"
ipp_op "$in_remote" "ipps://10.77.0.1:$port/ipp/print/h" print-format.test -d format=text/plain \
  -f "$work/docs/intrusion.txt" > /dev/null
expect "plain text from another host" "$(op_status)" client-error-document-format-not-supported
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
for format in pwg urf; do
  python3 "$tests/wide-raster.py" "$format" 600000 4 "$work/docs/wide.$format"
  type=image/pwg-raster
  [ "$format" = urf ] && type=image/urf
  ipptool -t -d owner=alice -d jobname=wide -d copies=1 -d sides=one-sided \
    -d media=iso_a4_210x297mm -d source=main -d type=stationery \
    -d handling=separate-documents-uncollated-copies -d quality=4 -d feed=short-edge-first \
    -d filetype="$type" -f "$work/docs/wide.$format" "$uri_base/q" "$tests/print-job.test" \
    > "$work/wide.out" 2>&1 || true
  id=$(sed -n 's/.*job-id (integer) = \([0-9]*\).*/\1/p' "$work/wide.out" | head -n 1)
  [ -n "$id" ] || fail "wide $format: no job: $(cat "$work/wide.out")"
  wait_job_state q "$id" aborted
  grep -q "document-format-error" "$work/state.out" || fail "wide $format: $(cat "$work/state.out")"
  curl -sf -o /dev/null "http://localhost:$port/" || fail "wide $format: the server died"
done
# A job-uuid a client chooses is a urn:uuid or refused, and stays a value
# of its own row of the job block.
ipp_op "" "$uri_base/q" print-job-uuid.test -d "uuid=xx1200dpi#Resolution" -f "$pdf3" > /dev/null
expect "a job-uuid that is no URI" "$(op_status)" client-error-attributes-or-values-not-supported
uuid=urn:uuid:3f0c9d4e-1b2a-4c5d-8e7f-0a1b2c3d4e5f
n=$(($(connections_of q) + 1))
ipptool -t -d "uuid=$uuid" -f "$pdf3" "$uri_base/q" "$tests/print-job-uuid.test" \
  > "$work/uuid.out" 2>&1 || fail "the client's job-uuid: $(cat "$work/uuid.out")"
records "$(stream q $n)" > /dev/null
expect "the client's job-uuid" "$(setting job-uuid) $(setting Resolution) $(setting Collate)" \
  "$uuid 600dpi True"
