echo "-- a CUPS driverless queue prints through the application"
cups="$work/cups"
cups_server=127.0.0.1:8632
. "$src/tests/cupsd_config.sh"
cupsd_config "$cups" "$cups_server"
cupsd_start "$cups" "$cups_server" || fail "the private CUPS scheduler did not start"
# (A backend that fails once tries again, as on a print server.)
lpadmin -h "$cups_server" -p driverless -E -v "$uri_base/p" -m everywhere \
  -o printer-error-policy=retry-current-job \
  > "$work/lpadmin.out" 2>&1 || fail "lpadmin -m everywhere failed: $(cat "$work/lpadmin.out")"
# (Counted afresh: jobs that follow one another closely share a connection.)
n=$(connections_of p)
lp -h "$cups_server" -d driverless -n 2 -o sides=two-sided-long-edge "$pdf3" > "$work/lp.out" 2>&1 ||
  fail "lp failed: $(cat "$work/lp.out")"
n=$((n + 1))
through_cups=$(records "$(stream p $n)")
case "$through_cups" in
  "10 00 00 01 10 00 00 01" | "10 00 00 01") ;;
  *) fail "through CUPS: records $through_cups" ;;
esac
expect "through CUPS: Duplex" "$(setting Duplex)" "DuplexNoTumble"
