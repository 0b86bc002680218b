echo "-- a visitor's web pages: status, supplies and jobs, no administrator's button"
# Two jobs on a printer nobody listens for (port 9141): one of nobody's, one of alice's.
add_printer v 9141
nobody_prints() {
  $as_nobody ipptool -t -d owner=nobody -d jobname=nobodys-letter -d copies=1 \
    -d sides=one-sided -d media=iso_a4_210x297mm -d source=main -d type=stationery \
    -d handling=separate-documents-uncollated-copies -d quality=4 -d feed=short-edge-first \
    -d filetype=application/pdf -f "$pdf3" "$uri_base/v" "$tests/print-job.test" |
    sed -n 's/.*job-id (integer) = \([0-9]*\).*/\1/p' | head -n 1
}
mine=$(nobody_prints)
[ -n "$mine" ] || fail "nobody could not print"
print_job v "$pdf3" application/pdf > /dev/null
# (Until v's device has been tried: then it is offline.)
for _ in $(seq 1 50); do
  $as_nobody curl -s "http://localhost:$port/v" | grep -q "does not answer" && break
  sleep 0.2
done
# (A printer's page, the system's page: what PAPPL shows administrators.)
admin_only="Add Printer|View Logs|>Delete|Change</a>|Hold New Jobs|Print Test Page|Pause Printing|Set as Default|Cancel All Jobs|Printing Defaults|>Media<"
for who in remote nobody root; do
  for page in / /v; do
    case $who in
      remote) $in_remote curl -sk "https://10.77.0.1:$port$page" ;;
      nobody) $as_nobody curl -s "http://localhost:$port$page" ;;
      root) curl -s "http://localhost:$port$page" ;;
    esac > "$work/visit.html"
    grep -q "Brivane Quelmoss printer application" "$work/visit.html" ||
      fail "$who: $page is not a page: $(head -c 300 "$work/visit.html")"
    shown=$(grep -oE "$admin_only" "$work/visit.html" | LC_ALL=C sort -u | tr '\n' ' ' || true)
    names=$(grep -oE "nobodys-letter|>nobody<|report|>alice<" "$work/visit.html" | LC_ALL=C sort -u | tr '\n' ' ' || true)
    case $who in
      root) [ -n "$shown" ] || fail "root's $page shows no administration" ;;
      *) expect "$who: administration on $page" "$shown" "" ;;
    esac
    grep -q "/v/supplies" "$work/visit.html" || fail "$who: $page has no link to the supplies"
    if [ "$page" = /v ]; then
      grep -q "<td>$mine</td>" "$work/visit.html" || fail "$who: $page does not list job $mine"
      if [ "$who" != root ]; then
        grep -qi ", offline" "$work/visit.html" && grep -q "does not answer" "$work/visit.html" ||
          fail "$who: $page does not say v is offline"
      fi
      case $who in
        remote) expect "remote: names on $page" "$names" "" ;;
        nobody) expect "nobody: names on $page" "$names" ">nobody< nobodys-letter " ;;
      esac
    fi
  done
done
# The supplies page a visitor may open leads to nothing they may not.
$in_remote curl -sk "https://10.77.0.1:$port/v/supplies" > "$work/visit.html"
expect "remote: administration on the supplies" \
  "$(grep -oE "$admin_only" "$work/visit.html" | LC_ALL=C sort -u | tr '\n' ' ' || true)" ""
# No auth-service: no sign-in is offered another host.
grep -q 'href="/signin"' "$work/visit.html" && fail "a sign-in without an auth-service"

echo "-- another host's administrator signs in through PAM (the README's recipe)"
# This namespace's own /etc/pam.d and /etc/group: a pam_userdb service
# whose users are daemon (in lpadmin) and nobody (not).
mkdir -p "$work/pam.d" "$work/pam"
cp -a /etc/pam.d/. "$work/pam.d/"
readme_line "auth required pam_userdb.so" | sed "s|/etc/quelmoss-printer-app|$work/pam|" \
  > "$work/pam.d/quelmoss-printer-app"
readme_line "account required" >> "$work/pam.d/quelmoss-printer-app"
printf 'daemon\n%s\nnobody\n%s\n' "$(openssl passwd -6 right-secret)" \
  "$(openssl passwd -6 nobodys-secret)" | db_load -T -t hash "$work/pam/admins.db"
chmod 0644 "$work/pam/admins.db"
sed 's/^\(lpadmin:[^:]*:[^:]*:\)\(.\+\)$/\1\2,daemon/; s/^\(lpadmin:[^:]*:[^:]*:\)$/\1daemon/' \
  /etc/group > "$work/group"
mount --bind "$work/pam.d" /etc/pam.d
mount --bind "$work/group" /etc/group
# (A job waiting for its printer would hold the server's stop for a minute.)
"$app" cancel -d v -a > /dev/null
stop_server
start_server -o auth-service=quelmoss-printer-app
[ -n "$(nobody_prints)" ] || fail "nobody could not print"
remote_curl() { $in_remote curl -sk -o "$work/visit.html" -w '%{http_code}' "$@"; }
expect "remote: the sign-in is offered" "$(remote_curl "https://10.77.0.1:$port/" >/dev/null;
  grep -c 'href="/signin"' "$work/visit.html")" 1
expect "remote, in German: the sign-in" "$($in_remote curl -sk -H 'Accept-Language: de' \
  "https://10.77.0.1:$port/" | grep -c '>Anmelden<')" 1
expect "signing in without credentials" "$(remote_curl "https://10.77.0.1:$port/signin")" 401
expect "signing in as daemon, wrong password" \
  "$(remote_curl -u daemon:wrong "https://10.77.0.1:$port/signin")" 401
expect "signing in as nobody, not in lpadmin" \
  "$(remote_curl -u nobody:nobodys-secret "https://10.77.0.1:$port/signin")" 403
expect "signing in as daemon" \
  "$(remote_curl -u daemon:right-secret "https://10.77.0.1:$port/signin")" 302
expect "daemon's printer page" "$(remote_curl -u daemon:right-secret "https://10.77.0.1:$port/v")" 200
grep -q 'value="print-test-page"' "$work/visit.html" || fail "daemon signed in sees no forms"
grep -q "nobodys-letter" "$work/visit.html" || fail "daemon signed in sees no job names"
expect "nobody's printer page, signed in" \
  "$(remote_curl -u nobody:nobodys-secret "https://10.77.0.1:$port/v")" 200
grep -q 'value="print-test-page"' "$work/visit.html" &&
  fail "nobody, not an administrator, signed in sees an administrator's page"
grep -q "nobodys-letter" "$work/visit.html" || fail "nobody signed in does not see their job's name"
# (Plain http is sent to https, credentials unread.)
expect "daemon over plain http" \
  "$($in_remote curl -s -o /dev/null -w '%{http_code} %{redirect_url}' -u daemon:right-secret \
    "http://10.77.0.1:$port/signin")" "301 https://10.77.0.1:$port/signin"
"$app" cancel -d v -a > /dev/null
stop_server
umount /etc/group /etc/pam.d
start_server
