#!/bin/sh
# Runs a command in a mount namespace of its own whose /tmp is an empty
# tmpfs, so the filter's fixed paths (/tmp/tarvelin, /tmp/auth) are the
# command's alone and a print server's own jobs are never touched. The
# source tree, the shared tools beside it (../shared) and KEEP_DIR stay
# reachable where they are, also when they lie under /tmp. Needs root
# (unshare --mount).
#
#   tests/private_tmp.sh KEEP_DIR COMMAND [ARGUMENT...]
set -eu
if [ "${QUELMOSS_PRIVATE_TMP:-}" != 1 ]; then
  QUELMOSS_PRIVATE_TMP=1 exec unshare --mount --propagation private sh "$0" "$@"
fi
top=$(cd "$(dirname "$0")/.." && pwd -P)
keep=$(cd "$1" && pwd -P)
shared=$(cd "$top/../shared" 2>/dev/null && pwd -P || true)
shift
exec 3</tmp
mount -t tmpfs -o mode=1777 quelmoss-private-tmp /tmp
for dir in "$top" "$keep" ${shared:+"$shared"}; do
  case "$dir" in
    /tmp/*)
      [ -d "$dir" ] && [ -n "$(ls -A "$dir" 2>/dev/null)" ] && continue  # already bound
      mkdir -p "$dir"
      mount -c --bind "/proc/self/fd/3/${dir#/tmp/}" "$dir"
      ;;
  esac
done
exec 3<&-
exec "$@"
