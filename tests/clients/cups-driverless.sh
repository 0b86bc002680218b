echo "-- a CUPS driverless queue prints through the application"
cups="$work/cups"
cups_server=127.0.0.1:8632
. "$src/tests/cupsd_config.sh"
cupsd_config "$cups" "$cups_server"
cupsd_start "$cups" "$cups_server" || fail "the private CUPS scheduler did not start"
# (A backend that fails once tries again, as on a print server.)
lpadmin -h "$cups_server" -p driverless -E -v "$uri_base/p" -m everywhere \
  -o printer-error-policy=retry-current-job \
  > "$work/lpadmin.out" 2>&1 || fail "lpadmin -m everywhere failed: $(cat "$work/lpadmin.out")"
# (Counted afresh: jobs that follow one another closely share a connection.)
n=$(connections_of p)
lp -h "$cups_server" -d driverless -n 2 -o sides=two-sided-long-edge "$pdf3" > "$work/lp.out" 2>&1 ||
  fail "lp failed: $(cat "$work/lp.out")"
n=$((n + 1))
through_cups=$(records "$(stream p $n)")
case "$through_cups" in
  "10 00 00 01 10 00 00 01" | "10 00 00 01") ;;
  *) fail "through CUPS: records $through_cups" ;;
esac
expect "through CUPS: Duplex" "$(setting Duplex)" "DuplexNoTumble"

echo "-- orientation: a page turns the same way straight, through CUPS, and through the PPD and the filter"
# A black square at the top left of an A4 page, either way round; where
# the printer's page has it says how the page was turned.
for shape in "portrait 595 842" "landscape 842 595"; do
  set -- $shape
  gs -q -dSAFER -dBATCH -dNOPAUSE -sDEVICE=pdfwrite -o "$work/docs/$1.pdf" -c \
    "<< /PageSize [$2 $3] >> setpagedevice 40 $(($3 - 140)) 100 100 rectfill showpage"
done
placed() {  # STREAM: the quadrant of its first page with the ink, and its shape
  rm -rf "$work/png" && mkdir -p "$work/png"
  "$inspect" --png "$work/png" "$1" > /dev/null || fail "the stream $1 is not sound"
  python3 "$tests/quadrant.py" "$work/png/page-001.png"
}
road_straight() {  # PDF [ORIENTATION]
  n=$(($(connections_of p) + 1))
  if [ -n "${2:-}" ]; then
    ipp_op "" "$uri_base/p" print-orientation.test -d orientation="$2" -f "$1" > /dev/null
    expect "orientation $2 sent" "$(op_status)" successful-ok
  else
    print_job p "$1" application/pdf > /dev/null
  fi
  placed "$(stream p $n)"
}
road_cups() {  # PDF
  n=$(($(connections_of p) + 1))
  lp -h "$cups_server" -d driverless "$1" > "$work/lp.out" 2>&1 ||
    fail "lp failed: $(cat "$work/lp.out")"
  placed "$(stream p $n)"
}
road_filter() {  # PDF
  cupsfilter -p "$build/brivane_quelmoss.ppd" -m application/vnd.cups-raster \
    "$1" > "$work/turned.ras" 2> "$work/cupsfilter.log" ||
    fail "cupsfilter failed: $(tail -n 5 "$work/cupsfilter.log")"
  PPD="$build/brivane_quelmoss.ppd" "$build/brivane_quelmoss" 9 alice turned 1 \
    "PageSize=A4 Resolution=600dpi" "$work/turned.ras" > "$work/turned.prn" 2> "$work/turned.log" ||
    fail "the filter failed"
  placed "$work/turned.prn"
}
# A landscape page turns a quarter clockwise on every road, as CUPS turns it.
for road in straight cups filter; do
  expect "a landscape page, $road" "$(road_$road "$work/docs/landscape.pdf")" "top-right portrait"
done
# As IPP turns a page: landscape a quarter anticlockwise, reverse-landscape a
# quarter clockwise, reverse-portrait a half. (Through CUPS the turn is
# CUPS's: its driverless queue sends no orientation-requested, and its own
# chain with the PPD makes the filter's raster.)
for row in "3 top-left" "4 bottom-left" "5 top-right" "6 bottom-right"; do
  set -- $row
  expect "a portrait page turned $1" "$(road_straight "$work/docs/portrait.pdf" "$1")" "$2 portrait"
done
