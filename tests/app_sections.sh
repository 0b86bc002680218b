#!/bin/sh
# The printer application on loopback as one kind of client meets it: a
# group of rows, a section file each in tests/KIND/, with a server, spool
# and printers of its own, so a group runs (and fails) alone:
#   print    what reaches the paper: copies, sides, defaults, page ranges,
#            raster, JPEG, photos, damaged and endless documents, and the
#            same stream the filter writes under CUPS;
#   devices  printers that are cancelled on, refuse, drop or stop reading;
#   queue    jobs across restarts, crashes and a stopped service, and load;
#   clients  CUPS's driverless queue, DNS-SD and ipptool's IPP Everywhere;
#   gate     an attacker: requests from another host (a second network
#            namespace) and from the local user nobody that try to exhaust
#            the server, rewrite its state or read what is not theirs;
#   users    users and administrators: what the server shows and prints.
# Every row says what it tried and what it got. Namespaces as in
# app_lib.sh: the machine's state is never touched.
#
#   app_sections.sh BUILD_DIR KIND
set -eu
kind=$2
harness=app-$kind
. "$(dirname "$0")/app_lib.sh"

pdf3=$(make_three_page_pdf)
make_remote_host
remote_base="ipp://10.77.0.1:$port"
# (A section that starts the server with options of its own starts it
# again without them when it is done.)
start_server
start_sink p 9101
add_printer p 9101

for section in "$src/tests/$kind"/*.sh; do
  [ -f "$section" ] || continue
  echo "== $(basename "$section" .sh)"
  . "$section"
done
echo "PASS"
