#!/bin/sh
# Starts the installed printer application as its service does, but as
# root, as an administrator may: it makes its own directories and becomes
# the service's user. Adds a printer on a raw port on loopback, submits a
# PDF with the sub-command and checks the stream, then the user the server
# runs as and where it keeps its printers. Run in network and mount
# namespaces of its own (root), with the package installed (its user):
#
#   unshare --net --mount --propagation private sh app_service.sh "EXECSTART" BUILD_DIR
set -eu
mount -t tmpfs quelmoss-service /run
# The build tree may lie under /tmp, which is hidden next.
cp "$2/socket-sink" /run/socket-sink
for dir in /var/lib /var/spool /tmp; do mount -t tmpfs quelmoss-service "$dir"; done
chmod 1777 /tmp
ip link set lo up
mkdir /tmp/office
/run/socket-sink 9100 /tmp/office &
sink=$!
$1 -o log-file=/tmp/service.log -o log-level=debug &
server=$!
trap 'quelmoss-printer-app shutdown >/dev/null 2>&1 || kill $server; kill $sink; wait' EXIT
fail() { echo "FAIL: $*"; tail -20 /tmp/service.log; exit 1; }
for _ in $(seq 1 50); do [ -S /run/quelmoss-printer-app.sock ] && break; sleep 0.2; done
[ -S /run/quelmoss-printer-app.sock ] || fail "no control socket at /run/quelmoss-printer-app.sock"
curl -sf -o /dev/null http://localhost:8631/ || fail "the service does not answer on its port, 8631"
quelmoss-printer-app drivers | grep -q "^brivane_quelmoss " || fail "no driver listed"
quelmoss-printer-app add -d office -m brivane_quelmoss -v socket://127.0.0.1:9100
zcat /usr/share/doc/bzip2/manual.pdf.gz > /tmp/manual.pdf
quelmoss-printer-app submit -d office -o page-ranges=1-2 /tmp/manual.pdf >/dev/null
for _ in $(seq 1 300); do
  quelmoss-printer-app jobs -d office 2>/dev/null | grep -q completed && break
  sleep 0.1
done
stream=$(ls /tmp/office/*.bin 2>/dev/null | head -n 1)
quelmoss-inspect "$stream" | grep -q "^Page records: 2" ||
  { echo "the service's stream:"; quelmoss-inspect "$stream"; fail "not pages 1-2 of the PDF"; }

# Never serving as root: the server is the service's user, and its
# printers are kept where the service keeps them.
uid=$(id -u quelmoss)
awk -v uid="$uid" '/^Uid:/ { exit !($2 == uid && $3 == uid && $4 == uid && $5 == uid) }' \
  "/proc/$server/status" ||
  fail "the server runs as $(grep ^Uid: "/proc/$server/status"), not as quelmoss ($uid)"
state=/var/lib/quelmoss-printer-app/quelmoss-printer-app.state
for _ in $(seq 1 50); do grep -q office "$state" 2>/dev/null && break; sleep 0.1; done
grep -q office "$state" 2>/dev/null || fail "the printer is not kept in $state"
[ "$(stat -c %U "$state")" = quelmoss ] || fail "$state is not the service user's"
echo "service: started by root as its unit starts it, served as quelmoss, printed pages 1-2 of a PDF"
