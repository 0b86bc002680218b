echo "-- a default survives a restart"
ipptool -t -d value=na_letter_8.5x11in "$uri_base/p" "$tests/set-default.test" \
  > "$work/set-default.out" 2>&1 || fail "setting a default failed: $(cat "$work/set-default.out")"
stop_server
start_server
ipptool -t -d value=na_letter_8.5x11in "$uri_base/p" "$tests/get-default.test" \
  > "$work/get-default.out" 2>&1 || fail "the default was lost: $(cat "$work/get-default.out")"
