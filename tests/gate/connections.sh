# Connections: another host, and a local user on loopback, holding many
# connections that send a header byte a second; a page of another site
# reaching the server through a name that resolves to loopback; plain HTTP
# from another host; a document over the largest size. Sourced by
# app_sections.sh.
local_p="$uri_base/p"
remote_p="$remote_base/ipp/print/p"
stop_server
start_server -o max-host-connections=8 -o request-timeout=3 -o max-document-size=200k

echo "-- a host, or a local user on loopback, dripping headers holds its share for seconds"
# WHO drips 40 connections at ADDRESS, counted as HOST; the control socket
# and a client on the other side (loopback, the other host) still answer.
while read -r who address host; do
  case $who in
    remote) run=$in_remote other="" other_uri=$local_p ;;
    nobody) run=$as_nobody other=$in_remote other_uri=$remote_p ;;
  esac
  $run /usr/bin/python3 "$tests/drip.py" "$address" "$port" 40 8 > "$work/drip.out" &
  drip=$!
  sleep 2
  [ "$who" = nobody ] || curl -sf -o /dev/null "http://localhost:$port/" ||
    fail "the web interface stopped answering while $who drips"
  ipp_op "$other" "$other_uri" printer-state.test > /dev/null
  expect "IPP from the other side while $who drips" "$(op_status)" successful-ok
  "$app" printers > "$work/printers.out" 2>&1 || fail "the control socket stopped answering"
  wait "$drip"
  read -r first last < "$work/drip.out"
  expect "$who: connections closed at once (of 40, 8 allowed) and in the end" "$first $last" "32 40"
  grep -q "Connection refused: $host holds 8 connections" "$work/log/server.log" ||
    fail "$who: the refusal is not in the log"
  grep -q "Closing the connection from $host: its request header took too long" \
    "$work/log/server.log" || fail "$who: the closing is not in the log"
done <<ROWS
remote 10.77.0.1 10.77.0.2
nobody 127.0.0.1 this machine
ROWS

echo "-- a name that is not the server's, from this machine; plain HTTP from another host"
/usr/bin/python3 -c '
import struct, sys
uri = sys.argv[1].encode()
def attr(tag, name, value):
    return struct.pack(">BH", tag, len(name)) + name + struct.pack(">H", len(value)) + value
sys.stdout.buffer.write(struct.pack(">BBHI", 2, 0, 0x000B, 1) + b"\x01"
    + attr(0x47, b"attributes-charset", b"utf-8")
    + attr(0x48, b"attributes-natural-language", b"en")
    + attr(0x45, b"printer-uri", uri) + b"\x03")' "$local_p" > "$work/get-printer.ipp"
while read -r from host method path want; do
  case $from in
    remote) run="$in_remote" at=10.77.0.1 ;;
    local) run="" at=localhost ;;
    nobody) run="$as_nobody" at=localhost ;;
  esac
  case $method in
    GET) body="" ;;
    IPP) body="--data-binary @$work/get-printer.ipp -H Content-Type:application/ipp" ;;
  esac
  # shellcheck disable=SC2086
  got=$($run curl -s -o /dev/null -w '%{http_code}' -H "Host: $host:$port" $body \
    "http://$at:$port$path")
  expect "$from $method $path as $host" "$got" "$want"
done <<ROWS
local 127-0-0-1.rebind.example GET / 400
local 127-0-0-1.rebind.example GET /p/delete 400
local 127-0-0-1.rebind.example IPP /ipp/print/p 400
nobody 127-0-0-1.rebind.example GET /p/delete 400
local localhost GET / 200
local quelmoss-e2e.local IPP /ipp/print/p 200
remote 10.77.0.1 GET / 301
remote 10.77.0.1 IPP /ipp/print/p 426
ROWS

echo "-- a document over the largest size is refused, and the server answers"
{ echo "%PDF-1.4"; head -c 400000 /dev/zero | tr '\0' 'x'; } > "$work/docs/big.pdf"
# (Sent with its length, it is refused before it is read; chunked, once
# the bytes read pass the size.)
ipp_op "" "$local_p" print-plain.test -L -d copies=1 -f "$work/docs/big.pdf" > /dev/null
expect "a 400 kB document with its length" "$(op_status)" client-error-request-entity-too-large
ipp_op "" "$local_p" print-plain.test -d copies=1 -f "$work/docs/big.pdf" > /dev/null
[ "$(op_status)" != successful-ok ] || fail "a 400 kB document was taken with max-document-size=200k"
grep -q "The document is larger than 200 KiB" "$work/log/server.log" || fail "the refusal is not in the log"
ipp_op "" "$local_p" printer-state.test > /dev/null
expect "the server after it" "$(op_status)" successful-ok

stop_server
start_server
