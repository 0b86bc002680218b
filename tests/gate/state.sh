# Section of app_sections.sh (gate): a state file an older version wrote with line
# breaks in job names (it escaped only \ and "), read back by this one. One
# name makes its printer hold every new job, another ends its printer and
# starts one that prints anywhere: after a restart the printers are the
# ones there were, none holds new jobs, and the jobs around the damaged one
# are still there.
start_sink s1 9131
start_sink s2 9132
add_printer s1 9131
add_printer s2 9132
for name in state-a state-b state-c; do
  wait_job_state s1 "$(print_job s1 "$pdf3" application/pdf jobname=$name)" completed
done
wait_job_state s2 "$(print_job s2 "$pdf3" application/pdf jobname=state-d)" completed
ids=$("$app" jobs -d s1 | awk '{ print $1 }' | sort -n | tr '\n' ' ')
printers=$("$app" printers | sort | tr '\n' ' ')
stop_server
state_file=/var/lib/quelmoss-printer-app/quelmoss-printer-app.state
grep -q 'name="state-b"' "$state_file" && grep -q 'name="state-d"' "$state_file" ||
  fail "state: the jobs are not in $state_file: $(cat "$state_file")"
sed -i -e 's|name="state-b"|name="state-b\nHoldNewJobs\nLocation "|' \
  -e 's|name="state-d"|name="state-d\n</Printer>\n<Printer id=9 name=evil did= uri=socket://127.0.0.1:9109 driver=brivane_quelmoss>\nDNSSDName "|' \
  "$state_file"
start_server

expect "state: the printers" "$("$app" printers | sort | tr '\n' ' ')" "$printers"
cat > "$work/state-reasons.test" <<'TEST'
{
  OPERATION Get-Printer-Attributes
  GROUP operation-attributes-tag
  ATTR charset attributes-charset utf-8
  ATTR naturalLanguage attributes-natural-language en
  ATTR uri printer-uri $uri
  ATTR keyword requested-attributes printer-state-reasons
  STATUS successful-ok
  DISPLAY printer-state-reasons
}
TEST
for printer in $("$app" printers); do
  ipptool -t "$uri_base/$printer" "$work/state-reasons.test" > "$work/state-reasons.out" 2>&1 ||
    fail "state: $printer: $(cat "$work/state-reasons.out")"
  grep -q hold-new-jobs "$work/state-reasons.out" && fail "state: $printer holds new jobs"
done
expect "state: the jobs around the damaged one" \
  "$("$app" jobs -d s1 | awk '{ print $1 }' | sort -n | tr '\n' ' ')" \
  "$(echo "$ids" | awk '{ print $1, $3, "" }')"
expect "state: the printer's job" "$("$app" jobs -d s2 | wc -l)" 0
# (PAPPL may have rotated the log since: server.log.O.)
cat "$work/log/server.log"* | grep -q "State file: line .*HoldNewJobs" ||
  fail "state: the log does not say what was dropped"
[ -s "$state_file.damaged" ] || fail "state: the file as it was is not kept"
[ "$(stat -c %a "$state_file.damaged")" = 600 ] || fail "state: the kept file is not the server's alone"
