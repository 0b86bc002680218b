#!/bin/sh
# Starts the installed printer application as its service does, adds a
# printer printing to a file, submits a PDF with the sub-command and checks
# the stream. Run in network and mount namespaces of its own (root):
#
#   unshare --net --mount --propagation private sh app_service.sh "EXECSTART"
set -eu
for dir in /run /var/lib /var/spool /tmp; do mount -t tmpfs quelmoss-service "$dir"; done
chmod 1777 /tmp
ip link set lo up
$1 -o log-file=/tmp/service.log -o log-level=debug &
server=$!
trap 'quelmoss-printer-app shutdown >/dev/null 2>&1 || kill $server' EXIT
for _ in $(seq 1 50); do [ -S /run/quelmoss-printer-app.sock ] && break; sleep 0.2; done
quelmoss-printer-app drivers | grep -q "^brivane_quelmoss " || { echo "no driver listed"; exit 1; }
mkdir /tmp/office
quelmoss-printer-app add -d office -m brivane_quelmoss -v file:///tmp/office
zcat /usr/share/doc/bzip2/manual.pdf.gz > /tmp/manual.pdf
quelmoss-printer-app submit -d office -o page-ranges=1-2 /tmp/manual.pdf >/dev/null
for _ in $(seq 1 300); do
  quelmoss-printer-app jobs -d office 2>/dev/null | grep -q completed && break
  sleep 0.1
done
stream=$(ls /tmp/office/* 2>/dev/null | head -n 1)
quelmoss-inspect "$stream" | grep -q "^Page records: 2" ||
  { echo "the service's stream:"; quelmoss-inspect "$stream"; tail -20 /tmp/service.log; exit 1; }
echo "service: started as its unit starts it, printed pages 1-2 of a PDF"
