echo "-- Cancel-Job: the stream ends with a whole record flagged last"
n=$(connections_of p)
manual=$(make_manual_pdf)
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
