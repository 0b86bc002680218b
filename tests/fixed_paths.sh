# Sourced by the test scripts that run the filter: moves whatever is at the
# filter's working directory aside and puts it back on exit.
aside=""
if [ -e /tmp/tarvelin ] || [ -L /tmp/tarvelin ]; then
  aside="/tmp/tarvelin.moved-aside-by-$(basename "$0" .sh)"
  rm -rf "$aside"
  mv /tmp/tarvelin "$aside"
fi
restore_fixed_paths() {
  rm -rf /tmp/tarvelin
  if [ -n "$aside" ]; then mv "$aside" /tmp/tarvelin; fi
  return 0
}
