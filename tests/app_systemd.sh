#!/bin/sh
# The package under a real systemd, in a throwaway Debian 12 booted by
# ../shared/tools/systemd-box: the hardened unit runs the server as its own
# user; root and lpadmin reach its socket, other users do not; it prints a
# PDF to a raw port, registers with avahi over D-Bus, keeps its printers
# across a restart, systemd restarts it when it stops answering, and
# purging leaves nothing of it. Needs root and the built package
# (scripts/package.sh makes it):
#
#   sh tests/app_systemd.sh BUILD_DIR
#
# Exits 77 (skipped) when not root or when no box boots.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd -P)
build=$(cd "$1" && pwd -P)
box=${QUELMOSS_SYSTEMD_BOX:-$top/../shared/tools/systemd-box}
unit=quelmoss-printer-app.service
[ "$(id -u)" -eq 0 ] || { echo "SKIP: booting a systemd box needs root"; exit 77; }
[ -x "$box" ] || { echo "SKIP: no $box to boot a systemd box with"; exit 77; }
deb=$(ls "$build"/brivane-quelmoss_*.deb 2>/dev/null | head -n 1)
[ -n "$deb" ] || { echo "FAIL: no package in $build"; exit 1; }

# The package's dependencies and avahi go into the box's base tree once, so
# later runs download nothing.
export SDBOX_NAME=quelmoss-service
SDBOX_PACKAGES="avahi-daemon $(dpkg-deb -f "$deb" Depends | sed 's/([^)]*)//g; s/|[^,]*//g; s/,/ /g')"
export SDBOX_PACKAGES
log=$build/systemd-box.log
"$box" up >"$log" 2>&1 || {
  echo "SKIP: systemd-box could not boot a box:"
  tail -n 5 "$log"
  exit 77
}
trap '"$box" down >>"$log" 2>&1' EXIT
trap 'exit 1' INT TERM
inbox() { "$box" run "$@"; }
fail() {
  echo "FAIL: $*"
  inbox journalctl -u "$unit" --no-pager -n 30 || true
  exit 1
}
main_pid() { inbox systemctl show -p MainPID --value "$unit"; }

# A machine with CUPS's admin group, one of its members and a user outside.
inbox sh -c 'groupadd --system lpadmin && useradd -m -G lpadmin clerk && useradd -m visitor'
inbox sh -c 'cat > /usr/local/bin/socket-sink && chmod 755 /usr/local/bin/socket-sink' \
  <"$build/socket-sink"
zcat /usr/share/doc/bzip2/manual.pdf.gz | inbox sh -c 'cat > /root/manual.pdf'
"$box" install-deb "$deb" >>"$log" 2>&1 || { tail -n 20 "$log"; fail "the package does not install"; }
inbox systemctl is-active --quiet "$unit" || fail "the service is not running after the install"

# The server as the unit runs it: the service's user with lp for USB
# printers, no way back to privileges, the system call filter on.
pid=$(main_pid)
uid=$(inbox id -u quelmoss)
status=$(inbox cat "/proc/$pid/status" | awk '{ $1 = $1; print }')
for want in "Uid: $uid $uid $uid $uid" "NoNewPrivs: 1" "Seccomp: 2" "CapEff: 0000000000000000"; do
  echo "$status" | grep -qx "$want" || fail "the server's status lacks \"$want\""
done
lp=$(inbox getent group lp | cut -d: -f3)
echo "$status" | grep "^Groups:" | grep -qw "$lp" || fail "the server is not in group lp"

# Who reaches the control socket: root and lpadmin, which administer the
# server through it, and nobody else.
probe='import socket
s = socket.socket(socket.AF_UNIX)
try:
    s.connect("/run/quelmoss-printer-app.sock")
except OSError:
    print("refused")
else:
    s.sendall(b"GET / HTTP/1.0\r\nHost: localhost\r\n\r\n")
    print("answered" if s.recv(8).startswith(b"HTTP/1.") else "garbled")'
for row in "root answered" "clerk answered" "visitor refused"; do
  set -- $row
  got=$(inbox runuser -u "$1" -- python3 -c "$probe")
  [ "$got" = "$2" ] || fail "the control socket: $1 $got, not $2"
done
inbox quelmoss-printer-app printers >/dev/null || fail "root's printers sub-command"
inbox python3 -c 'import socket
s = socket.create_connection(("127.0.0.1", 8631), 5)
s.sendall(b"GET / HTTP/1.0\r\nHost: localhost\r\n\r\n")
print(s.recv(8))' | grep -q "HTTP/1\." || fail "the service does not answer on its port, 8631"

# Avahi is reached over D-Bus from the sandbox.
inbox busctl --system list --no-legend | awk -v pid="$pid" '$2 == pid' | grep -q . ||
  fail "the server holds no D-Bus connection"
if inbox journalctl -u "$unit" --no-pager | grep -i "avahi"; then
  fail "the server could not register with avahi"
fi

# A PDF, rendered by Ghostscript in the service's sandbox, to a raw port.
inbox sh -c 'mkdir /var/tmp/sink &&
  systemd-run --quiet --unit=quelmoss-sink /usr/local/bin/socket-sink 9100 /var/tmp/sink'
inbox quelmoss-printer-app add -d office -m brivane_quelmoss -v socket://127.0.0.1:9100
inbox quelmoss-printer-app submit -d office -o page-ranges=1-2 /root/manual.pdf >/dev/null
inbox sh -c 'for _ in $(seq 1 300); do [ -e /var/tmp/sink/conn-1.bin ] && exit; sleep 0.1; done
  exit 1' || fail "no stream reached the printer's port"
inbox quelmoss-inspect /var/tmp/sink/conn-1.bin | grep -q "^Page records: 2" ||
  fail "the stream is not pages 1-2 of the PDF"

# The printer outlives a restart: the state directory is kept.
inbox systemctl restart "$unit" || fail "the service does not restart"
inbox quelmoss-printer-app printers | grep -qx office || fail "the printer is lost on a restart"

# A server that answers keeps telling systemd so; one that stops answering
# is restarted within two watchdog periods.
watchdog=$(inbox systemctl show -p WatchdogUSec --value "$unit" | sed -n 's/^\([0-9]*\)s$/\1/p')
[ -n "$watchdog" ] || fail "the unit sets no watchdog in whole seconds"
ping() { inbox systemctl show -p WatchdogTimestampMonotonic --value "$unit"; }
pid=$(main_pid)
first=$(ping)
waited=0
while [ "$(ping)" = "$first" ] && [ "$waited" -lt "$watchdog" ]; do
  sleep 1
  waited=$((waited + 1))
done
# (A restart's READY=1 would be a new ping too.)
[ "$(ping)" != "$first" ] && [ "$(main_pid)" = "$pid" ] ||
  fail "the answering server sent no watchdog ping in $watchdog s"
restarts=$(inbox systemctl show -p NRestarts --value "$unit")
inbox sh -c "kill -STOP $pid"
waited=0
while [ "$waited" -lt $((watchdog * 2)) ]; do
  now=$(main_pid)
  [ "$now" != 0 ] && [ "$now" != "$pid" ] && inbox systemctl is-active --quiet "$unit" && break
  sleep 1
  waited=$((waited + 1))
done
[ "$waited" -lt $((watchdog * 2)) ] || fail "a stopped server was not restarted in $((watchdog * 2)) s"
[ "$(inbox systemctl show -p NRestarts --value "$unit")" -gt "$restarts" ] ||
  fail "systemd counted no restart"
inbox quelmoss-printer-app printers | grep -qx office || fail "the printer is lost on the watchdog's restart"

# On a machine where CUPS made no lpadmin group, the service starts and its
# status shows no error.
inbox sh -c 'gpasswd -d clerk lpadmin >/dev/null && groupdel lpadmin'
since=$(inbox date +%s)
inbox systemctl restart "$unit" || fail "the service does not restart without lpadmin"
inbox systemctl is-active --quiet "$unit" || fail "the service is not running without lpadmin"
sleep 2
if inbox journalctl -u "$unit" --since "@$since" --no-pager -o cat | grep -E '^E |[Ee]rror|FAILED'; then
  fail "the service's status shows errors where lpadmin does not exist"
fi
inbox quelmoss-printer-app printers | grep -qx office || fail "root's printers sub-command without lpadmin"

# Purging stops the service and takes its printers and socket with it.
inbox env DEBIAN_FRONTEND=noninteractive apt-get purge -y -q brivane-quelmoss >>"$log" 2>&1 ||
  fail "the package does not purge"
for gone in /var/lib/quelmoss-printer-app /run/quelmoss-printer-app /run/quelmoss-printer-app.sock; do
  inbox test ! -e "$gone" -a ! -L "$gone" || fail "purging left $gone"
done
echo "systemd: the service ran as quelmoss, sandboxed, answered root and lpadmin only," \
  "printed a PDF, kept its printer, restarted after ${waited} s stopped, ran clean without" \
  "lpadmin, purged clean"
