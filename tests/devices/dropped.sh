echo "-- a printer that drops the connection gets the job again, whole"
manual=$(make_manual_pdf)
jpeg=$(make_photo_jpeg "$pdf3")
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
