#!/bin/sh
# Installs what the build, the tests and the demo need on a Debian machine.
# Safe to run again: apt-get skips what is already there.
set -eu
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
PACKAGES="build-essential cmake pkg-config libgtest-dev \
  libcups2-dev libcupsimage2-dev libcjson-dev libjbig-dev libpng-dev \
  jbigkit-bin cups cups-client cups-ppdc cups-ipp-utils cups-filters ghostscript bzip2-doc \
  libpappl-dev libjpeg-dev libsystemd-dev curl iproute2 avahi-daemon avahi-utils \
  clang libclang-rt-14-dev clang-format valgrind cppcheck dpkg-dev lintian gzip db-util"
missing=""
for p in $PACKAGES; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing="$missing $p"
done
if [ -n "$missing" ]; then
  # Nothing installed here is started on the machine: the tests start their
  # own scheduler and avahi-daemon in namespaces of their own.
  no_start=""
  if [ ! -e /usr/sbin/policy-rc.d ]; then
    printf '#!/bin/sh\nexit 101\n' | $SUDO tee /usr/sbin/policy-rc.d > /dev/null
    $SUDO chmod 755 /usr/sbin/policy-rc.d
    no_start=1
  fi
  $SUDO apt-get update
  $SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends $missing ||
    { [ -z "$no_start" ] || $SUDO rm -f /usr/sbin/policy-rc.d; exit 1; }
  [ -z "$no_start" ] || $SUDO rm -f /usr/sbin/policy-rc.d
fi
# The tests play the scheduler's user and a second local user.
for user in lp nobody quelmoss; do
  id -u "$user" >/dev/null 2>&1 || $SUDO useradd --system --no-create-home "$user"
done
