echo "-- the queue: jobs print in the order they came, and outlive the server"
# The names of the jobs on printer NAME's connection N, in the order printed.
printed() {
  "$inspect" "$(stream "$1" "$2")" > "$work/inspect.out" 2>&1 ||
    fail "$1: the stream is not sound: $(cat "$work/inspect.out")"
  awk '$1 == "DocName" { printf "%s ", $2 }' "$work/inspect.out" | sed 's/ $//'
}
# Printers that are down while their jobs queue: o comes back as is; the
# server is killed under k, with its first job waiting for the printer.
add_printer o 9106
add_printer k 9107
for name in one two three four; do print_job o "$pdf3" application/pdf jobname=$name > /dev/null; done
for name in five six seven; do last=$(print_job k "$pdf3" application/pdf jobname=$name); done
start_sink o 9106
expect "queued behind a busy printer" "$(printed o 1)" "one two three four"
sleep 2  # (the server keeps its state in the background)
kill -9 "$server_pid"
wait "$server_pid" 2>/dev/null || true
rm -f /run/quelmoss-printer-app.sock
# (The page files a job killed while printing leaves behind.)
mkdir "$work/spool/brivane_quelmoss-KILLED"
head -c 100000 /dev/zero > "$work/spool/brivane_quelmoss-KILLED/page"
chown -R quelmoss "$work/spool/brivane_quelmoss-KILLED"
start_server
[ -e "$work/spool/brivane_quelmoss-KILLED" ] && fail "a killed job's page files are left"
start_sink k 9107
expect "after a crash, by themselves" "$(printed k 1)" "five six seven"
wait_job_state k "$last" completed
next=$(print_job k "$pdf3" application/pdf jobname=eight)
[ "$next" -gt "$last" ] || fail "job id $next is used again (the last was $last)"
expect "after the crash, a new job" "$(printed k 2)" "eight"
