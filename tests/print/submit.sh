echo "-- the program's own submit sub-command, with a page range"
n=$(connections_of p)
"$app" submit -d p -o page-ranges=2-3 "$pdf3" > "$work/submit.out" 2>&1 ||
  fail "submit -o page-ranges=2-3: $(cat "$work/submit.out")"
n=$((n + 1))
expect "submit -o page-ranges=2-3" "$(records "$(stream p $n)")" "10 01"
# A raster file sent with no format named: the server tells it, and the
# request keeps its groups in order.
n=$(connections_of p)
"$app" submit -d p -o copies=2 "$(make_three_page_pwg "$pdf3")" > "$work/submit.out" 2>&1 ||
  fail "submit -o copies=2 of PWG raster: $(cat "$work/submit.out")"
n=$((n + 1))
# (Collated, the printer's default: the printer makes the copies.)
expect "submit -o copies=2 of PWG raster" "$(records "$(stream p $n)") $(setting copies)" "10 00 01 2"
