echo "-- a printer added while the server runs is found on DNS-SD at once"
if command -v avahi-daemon > /dev/null && command -v avahi-browse > /dev/null; then
  # avahi (and the system bus it answers on) of this namespace alone, on
  # the link to the second host; the server is started again to find it.
  mkdir -p /run/dbus /run/avahi-daemon
  dbus-daemon --system --fork
  avahi-daemon -D --no-chroot --no-rlimits || fail "avahi-daemon did not start"
  pids="$pids $(cat /run/dbus/pid) $(cat /run/avahi-daemon/pid)"
  stop_server
  start_server
  add_printer found 9108
  # The services named "found" of TYPE, once DNS-SD has them. A resolver
  # that never answers can keep avahi-browse from ending: each look is
  # bounded, and the loops below look again.
  browse() {
    timeout 5 avahi-browse -ptr "$1" 2>/dev/null |
      awk -F';' '$1 == "=" && $4 == "found" { print $4 }' | sort -u
  }
  for type in _ipp._tcp _universal._sub._ipp._tcp _print._sub._ipp._tcp; do
    for _ in $(seq 1 20); do
      [ "$(browse $type)" = found ] && break
      sleep 0.5
    done
    expect "DNS-SD $type" "$(browse $type)" found
  done
  for _ in $(seq 1 10); do
    txt=$(timeout 5 avahi-browse -ptr _ipp._tcp || true)
    echo "$txt" | grep -q "found;.*\"rp=ipp/print/found\"" && break
  done
  echo "$txt" | grep -q "found;.*\"rp=ipp/print/found\"" ||
    fail "DNS-SD: the TXT record does not give the printer's path: $txt"
  pdl=$(echo "$txt" | grep "found;" | grep -o '"pdl=[^"]*"' | head -n 1)
  expect "DNS-SD: the formats in the TXT record" "$pdl" \
    '"pdl=image/pwg-raster,image/urf,application/vnd.brivane-jbig,application/pdf,image/jpeg,image/png"'
  # (Deleted on its web page: PAPPL 1.3.1 gives a printer added while it
  # runs printer-id 0 until a restart, so the delete sub-command can't name it.)
  curl -s -c "$work/cookies" "http://localhost:$port/found/delete" > "$work/delete.html"
  session=$(sed -n 's/.*name="session" value="\([^"]*\)".*/\1/p' "$work/delete.html" | head -n 1)
  curl -s -b "$work/cookies" -d "session=$session" "http://localhost:$port/found/delete" \
    > /dev/null || fail "deleting the printer failed"
  for _ in $(seq 1 20); do
    [ -z "$(browse _ipp._tcp)" ] && break
    sleep 0.5
  done
  expect "DNS-SD after the printer is deleted" "$(browse _ipp._tcp)" ""
else
  echo "SKIP: avahi-daemon or avahi-browse is not installed"
fi
