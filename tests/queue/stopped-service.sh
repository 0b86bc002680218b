echo "-- a stopped service ends the job printing with a whole record, and prints it again"
manual=$(make_manual_pdf)
add_printer t 9111
start_sink t 9111
stopped=$(print_job t "$manual" application/pdf quality=5)
wait_for_bytes t 1 100000
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
