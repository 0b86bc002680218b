echo "-- a printer that refuses the connection keeps its job"
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
# The refusing printer comes back: its job prints.
start_sink r 9103
expect "refused, then back" "$(records "$(stream r 1)")" "10 00 01"
wait_job_state r "$held" completed
