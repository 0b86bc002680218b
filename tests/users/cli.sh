# The program's own sub-commands as an administrator and as another local
# user meet them. Sourced by app_sections.sh.
echo "-- sub-commands: a printer just added, a readable status, and who may use them"
start_sink fresh 9104
add_printer fresh 9104
"$app" default -d fresh > "$work/cli.out" 2>&1 || fail "default on a printer just added: $(cat "$work/cli.out")"
expect "the default printer" "$("$app" default 2>&1)" fresh
"$app" pause -d fresh > "$work/cli.out" 2>&1 || fail "pause: $(cat "$work/cli.out")"
"$app" status -d fresh > "$work/cli.out" 2>&1 || fail "status: $(cat "$work/cli.out")"
grep -Eq '^Running, stopped since .* GMT: paused\.$' "$work/cli.out" ||
  fail "status of a paused printer: $(cat "$work/cli.out")"
"$app" delete -d fresh > "$work/cli.out" 2>&1 || fail "delete on a printer just added: $(cat "$work/cli.out")"
"$app" printers > "$work/cli.out" 2>&1
if grep -q "^fresh" "$work/cli.out"; then fail "the deleted printer is still listed: $(cat "$work/cli.out")"; fi
# shellcheck disable=SC2086
$as_nobody "$app" printers > "$work/cli.out" 2>&1 && fail "nobody listed the printers"
grep -q "only root and members of the lpadmin group may use this sub-command" "$work/cli.out" ||
  fail "nobody is told who may use the sub-commands: $(cat "$work/cli.out")"
if grep -q "Unable to start server" "$work/cli.out"; then fail "a server was started for nobody"; fi
