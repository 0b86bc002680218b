echo "-- a damaged document aborts its job, and the next job prints"
n=$(connections_of p)
damaged=$(make_damaged_pdf)
id=$(print_job p "$damaged" application/pdf)
wait_job_state p "$id" aborted
grep -q "job-state-reasons.*document-format-error" "$work/state.out" ||
  fail "damaged: no reason given: $(cat "$work/state.out")"
n=$((n + 1))
[ -s "$(stream p $n)" ] && fail "damaged: the printer got bytes of it"
n=$((n + 1))
print_job p "$pdf3" application/pdf >/dev/null
expect "after the damaged one" "$(records "$(stream p $n)")" "10 00 01"
