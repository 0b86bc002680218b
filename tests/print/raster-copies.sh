echo "-- PWG raster and JPEG: the core makes the copies, once"
n=$(connections_of p)
pwg=$(make_three_page_pwg "$pdf3")
jpeg=$(make_photo_jpeg "$pdf3")
n=$((n + 1))
print_job p "$pwg" image/pwg-raster copies=2 >/dev/null
expect "PWG raster" "$(records "$(stream p $n)") $(first_page_size)" "10 10 00 00 00 01 4758x6817"
n=$((n + 1))
id=$(print_job p "$jpeg" image/jpeg copies=3)
expect "JPEG" "$(records "$(stream p $n)")" "10 10 11"
wait_job_state p "$id" completed
grep -q "job-impressions-completed (integer) = 3" "$work/state.out" ||
  fail "JPEG: impressions are not the 3 sides printed: $(cat "$work/state.out")"
