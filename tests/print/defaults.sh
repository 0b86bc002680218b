echo "-- the printer's defaults reach a job that does not say otherwise"
n=$(connections_of p)
# (Collated copies: the default PAPPL tells every client.)
while read -r name feed copies want; do
  ipptool -t -d value="$feed" "$uri_base/p" "$tests/set-feed.test" > "$work/feed.out" 2>&1 ||
    fail "$name: setting feed-orientation-default: $(cat "$work/feed.out")"
  ipptool -t -d copies="$copies" -f "$pdf3" "$uri_base/p" "$tests/print-plain.test" \
    > "$work/plain.out" 2>&1 || fail "$name: $(cat "$work/plain.out")"
  n=$((n + 1))
  got=$(records "$(stream p $n)")
  expect "$name" "$got $(setting Collate) $(setting FeedEdge)" "$want"
done <<ROWS
collated-by-default short-edge-first 2 10 00 01 True 0
feed-default long-edge-first 1 10 00 01 True 1
feed-default-back short-edge-first 1 10 00 01 True 0
ROWS
# Each default set over IPP or on the printer's web page (PAPPL 1.3.1 takes
# sides-default from the page only), then a job that says nothing: its
# resolution, sides, paper, tray and paper type in the job block.
while read -r name how settings want; do
  if [ "$how" != web ]; then
    # shellcheck disable=SC2046
    ipptool -t $(echo "$settings" | tr , '\n' | sed 's/^/-d /') "$uri_base/p" \
      "$tests/$how.test" > "$work/default.out" 2>&1 ||
      fail "$name: setting the default: $(cat "$work/default.out")"
  else
    curl -s -c "$work/cookies" "http://localhost:$port/p/printing" > "$work/printing.html"
    session=$(sed -n 's/.*name="session" value="\([^"]*\)".*/\1/p' "$work/printing.html" | head -n 1)
    curl -s -b "$work/cookies" -d "session=$session&$(echo "$settings" | tr , '&')" \
      "http://localhost:$port/p/printing" > "$work/default.out" || fail "$name: the web page failed"
  fi
  ipptool -t -d copies=1 -f "$pdf3" "$uri_base/p" "$tests/print-plain.test" \
    > "$work/plain.out" 2>&1 || fail "$name: $(cat "$work/plain.out")"
  n=$((n + 1))
  records "$(stream p $n)" > /dev/null
  expect "$name" "$(setting Resolution) $(setting Duplex) $(setting PageSize) $(setting InputSlot) \
$(setting MediaType)" "$(echo "$want" | tr , ' ')"
done <<ROWS
quality-high set-printer-default quality=5,resolution=600dpi,media=iso_a4_210x297mm 1200dpi,None,A4,MainTray,Plain
resolution-1200 set-printer-default quality=4,resolution=1200dpi,media=iso_a4_210x297mm 1200dpi,None,A4,MainTray,Plain
paper set-printer-default quality=4,resolution=600dpi,media=iso_a5_148x210mm 600dpi,None,A5,MainTray,Plain
sides web sides=two-sided-long-edge 600dpi,DuplexNoTumble,A5,MainTray,Plain
back web sides=one-sided 600dpi,None,A5,MainTray,Plain
tray-and-type set-media-col media=iso_a4_210x297mm,source=manual,type=stationery-heavyweight 600dpi,None,A4,ManualTray,Thick
paper-back set-media-col media=iso_a4_210x297mm,source=main,type=stationery 600dpi,None,A4,MainTray,Plain
ROWS
