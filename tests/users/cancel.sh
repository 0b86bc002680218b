# Raster jobs cancelled the moment they are taken, over and over: each ends
# canceled (or completed, when it was quicker), the printer gets only whole
# streams and the server lives on. Sourced by app_sections.sh.
pwg=$(make_three_page_pwg "$pdf3")
start_sink r 9103
add_printer r 9103

echo "-- raster jobs cancelled as they start: alone, and as the job ahead is cancelled"
ended() {
  for _ in $(seq 1 100); do
    state=$(job_state r "$1")
    case $state in canceled | completed) return 0 ;; esac
    sleep 0.1
  done
  fail "job $1 is '$state' after its cancel"
}
for _ in $(seq 1 5); do
  id=$(print_job r "$pwg" image/pwg-raster)
  "$app" cancel -d r -j "$id" > /dev/null 2>&1 || true
  ended "$id"
  first=$(print_job r "$pwg" image/pwg-raster)
  second=$(print_job r "$pwg" image/pwg-raster)
  ipptool -T 10 -t -d first="$first" -d second="$second" "$uri_base/r" "$tests/cancel-two.test" \
    > "$work/cancel.out" 2>&1 || fail "cancelling two jobs: $(cat "$work/cancel.out")"
  ended "$first"
  ended "$second"
done
curl -sf -o /dev/null "http://localhost:$port/" || fail "the server died"
for stream in "$work/r"/conn-*.bin; do
  [ -f "$stream" ] && records "$stream" > /dev/null
done
