# An administrator prints the printer's test page from its web page: one
# page, through the core like any PDF job, on the printer's paper, and its
# file is gone from the spool once it printed.
echo "-- the test page, from the printer's web page"
n=$(connections_of p)
print_job p "$pdf3" application/pdf > /dev/null
records "$(stream p $((n + 1)))" > /dev/null
a4=$(first_page_size)
curl -s -c "$work/cookies" "http://localhost:$port/p" > "$work/home.html"
grep -q 'value="print-test-page"' "$work/home.html" || fail "the printer's page offers no test page"
session=$(sed -n 's/.*name="session" value="\([^"]*\)".*/\1/p' "$work/home.html" | head -n 1)
curl -s -b "$work/cookies" -F "session=$session" -F action=print-test-page \
  "http://localhost:$port/p" > "$work/printed.html"
grep -q "Test page printed" "$work/printed.html" || fail "printing the test page: see printed.html"
expect "the test page's records" "$(records "$(stream p $((n + 2)))")" "11"
expect "the test page's paper" "$(first_page_size)" "$a4"
for _ in $(seq 1 50); do
  ls "$work/spool" | grep -q '^test-page' || break
  sleep 0.1
done
if ls "$work/spool" | grep -q '^test-page'; then fail "the test page's file is left in the spool"; fi
