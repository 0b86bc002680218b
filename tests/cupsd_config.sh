# Sourced by the tests that start a private CUPS scheduler:
#   cupsd_config ROOT LISTEN
#   cupsd_start ROOT LISTEN
# writes ROOT/etc/cupsd.conf and cups-files.conf for a scheduler on LISTEN
# only, with its spool, cache, state and logs (ROOT/log/error_log) under ROOT,
# open to every local request, and makes those directories.
cupsd_config() {
  mkdir -p "$1/etc" "$1/spool/tmp" "$1/cache" "$1/state" "$1/log"
  chmod 755 "$1" "$1/etc"
  cat > "$1/etc/cupsd.conf" <<CONF
Listen $2
LogLevel debug
JobRetryInterval 5
Browsing No
WebInterface No
DefaultAuthType None
<Location />
  Order allow,deny
  Allow all
</Location>
<Policy default>
  <Limit All>
    Order deny,allow
  </Limit>
</Policy>
CONF
  cat > "$1/etc/cups-files.conf" <<CONF
ServerRoot $1/etc
RequestRoot $1/spool
TempDir $1/spool/tmp
CacheDir $1/cache
StateDir $1/state
ErrorLog $1/log/error_log
AccessLog $1/log/access_log
PageLog $1/log/page_log
DataDir /usr/share/cups
FileDevice Yes
User lp
Group lp
SystemGroup root
Sandboxing Relaxed
CONF
}

# Starts the scheduler cupsd_config made (its pid in cupsd_pid) and waits
# for it to answer; fails when it does not within 10 s.
cupsd_start() {
  cupsd -f -c "$1/etc/cupsd.conf" -s "$1/etc/cups-files.conf" &
  cupsd_pid=$!
  for _ in $(seq 1 50); do
    lpstat -h "$2" -r 2>/dev/null | grep -q "is running" && return 0
    sleep 0.2
  done
  return 1
}
