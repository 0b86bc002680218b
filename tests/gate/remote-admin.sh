echo "-- nobody on another host changes or deletes a printer"
# (A printer nobody listens for keeps its job active.)
add_printer r 9103
held=$(print_job r "$pdf3" application/pdf)
n=$(connections_of p)
# PAPPL refuses at the HTTP level, which ipptool counts as a failed test.
ip netns exec quelmoss-remote ipptool -I -t -d system="$remote_base/ipp/system" \
  "$remote_base/ipp/print/r" "$tests/admin.test" > "$work/remote.out" 2>&1 || true
refused=$(grep -c "status-code = client-error-\(forbidden\|not-authorized\|not-authenticated\)" \
  "$work/remote.out" || true)
[ "$refused" = 2 ] || fail "a remote client was let in: $(cat "$work/remote.out")"
expect "remote: job" "$(job_state r "$held")" "processing"
# It may print, though.
ip netns exec quelmoss-remote ipptool -t -d owner=bob -d jobname=remote -d copies=1 \
  -d sides=one-sided -d media=iso_a4_210x297mm -d source=main -d type=stationery \
  -d handling=separate-documents-uncollated-copies -d quality=4 -d feed=short-edge-first \
  -d filetype=application/pdf -f "$pdf3" "$remote_base/ipp/print/p" "$tests/print-job.test" \
  > "$work/remote-print.out" 2>&1 || fail "a remote client can't print: $(cat "$work/remote-print.out")"
n=$((n + 1))
expect "remote job" "$(records "$(stream p $n)") $(setting LoginName)" "10 00 01 bob"
"$app" cancel -d r -j "$held" || fail "root could not cancel job $held"
wait_job_state r "$held" canceled
