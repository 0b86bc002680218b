echo "-- number-up: 1 only, advertised and refused otherwise"
ipptool -t -f "$pdf3" "$uri_base/p" "$tests/number-up.test" > "$work/number-up.out" 2>&1 ||
  fail "number-up: $(cat "$work/number-up.out")"
