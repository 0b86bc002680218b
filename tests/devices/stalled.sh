echo "-- a printer that stops reading: Cancel-Job ends the job, and the next job prints"
manual=$(make_manual_pdf)
start_sink s 9109 --stall-first 100000
add_printer s 9109
stuck=$(print_job s "$manual" application/pdf quality=5)
wait_for_bytes s 1 99999
sleep 3  # (the socket's buffers fill)
expect "stalled" "$(job_state s "$stuck")" processing
asked=$(date +%s)
"$app" cancel -d s -j "$stuck" || fail "cancel failed"
wait_job_state s "$stuck" canceled
[ $(($(date +%s) - asked)) -le 10 ] || fail "the stalled job took $(($(date +%s) - asked)) s to end"
print_job s "$pdf3" application/pdf > /dev/null
expect "after the stalled job" "$(records "$(stream s 2)")" "10 00 01"
