echo "-- the program's own submit sub-command, with a page range"
n=$(connections_of p)
"$app" submit -d p -o page-ranges=2-3 "$pdf3" > "$work/submit.out" 2>&1 ||
  fail "submit -o page-ranges=2-3: $(cat "$work/submit.out")"
n=$((n + 1))
expect "submit -o page-ranges=2-3" "$(records "$(stream p $n)")" "10 01"
