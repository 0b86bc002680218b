echo "-- number-up: 1 only, advertised and refused otherwise"
ipptool -t -f "$pdf3" "$uri_base/p" "$tests/number-up.test" > "$work/number-up.out" 2>&1 ||
  fail "number-up: $(cat "$work/number-up.out")"

echo "-- several page ranges: checked, printed from PDF and raster, shown as asked"
# Rows: the document, its type, the ranges, the records printed.
n=$(connections_of p)
pwg=$(make_three_page_pwg "$pdf3")
while read -r file type ranges want; do
  ipptool -t -d filetype="$type" -f "$file" "$uri_base/p" \
    "$tests/page-ranges.test" > "$work/ranges.out" 2>&1 ||
    fail "page-ranges $ranges of $type: $(cat "$work/ranges.out")"
  grep -q "page-ranges (1setOf rangeOfInteger) = $ranges" "$work/ranges.out" ||
    fail "page-ranges $ranges of $type: the job shows $(grep "page-ranges (" "$work/ranges.out")"
  n=$((n + 1))
  rm -rf "$work/pages" && mkdir "$work/pages"
  "$inspect" --png "$work/pages" "$(stream p $n)" > "$work/inspect.out" 2>&1 ||
    fail "page-ranges $ranges of $type: the stream is not sound: $(cat "$work/inspect.out")"
  expect "page-ranges $ranges of $type" "$(records "$(stream p $n)")" "$want"
  mv "$work/pages" "$work/pages-$(basename "$file")"
done <<ROWS
$pdf3 application/pdf 1-1,3-3 10 01
$pwg image/pwg-raster 1-1,3-3 10 01
ROWS
# The pages printed are the document's first and third, apart; the submit
# sub-command takes one range and a list too: the page 3 it prints is the
# one 1-1,3-3 printed second.
cmp -s "$work/pages-three.pdf/page-001.png" "$work/pages-three.pdf/page-002.png" &&
  fail "page-ranges 1-1,3-3 of the PDF: its two pages are alike"
while read -r ranges page; do
  "$app" submit -d p -o page-ranges="$ranges" "$pdf3" > "$work/submit.out" 2>&1 ||
    fail "submit -o page-ranges=$ranges: $(cat "$work/submit.out")"
  n=$((n + 1))
  rm -rf "$work/pages" && mkdir "$work/pages"
  "$inspect" --png "$work/pages" "$(stream p $n)" > "$work/inspect.out" 2>&1 ||
    fail "submit -o page-ranges=$ranges: $(cat "$work/inspect.out")"
  cmp -s "$work/pages/$page" "$work/pages-three.pdf/page-002.png" ||
    fail "submit -o page-ranges=$ranges: its $page is not page 3"
done <<ROWS
3 page-001.png
1,3 page-002.png
ROWS

echo "-- paper the printer lacks, a page larger than the paper: the job prints and says so"
# Rows: the document, its type, the paper asked, print-scaling, a pattern
# of the message.
while read -r file type media scaling want; do
  ipptool -t -d filetype="$type" -d media="$media" -d scaling="$scaling" -f "$file" "$uri_base/p" \
    "$tests/print-paper.test" > "$work/paper.out" 2>&1 || fail "$type on $media: $(cat "$work/paper.out")"
  id=$(sed -n 's/.*job-id (integer) = \([0-9]*\).*/\1/p' "$work/paper.out")
  wait_job_state p "$id" completed
  message=$(sed -n 's/.*job-state-message (textWithoutLanguage) = //p' "$work/state.out")
  # shellcheck disable=SC2254
  case "$message" in $want) ;; *) fail "$type on $media: the message is '$message'" ;; esac
done <<ROWS
$pdf3 application/pdf na_index-4x6_4x6in auto *no?na_index-4x6_4x6in?paper*A4*
$pwg image/pwg-raster iso_a5_148x210mm auto Page?1?is?210?x?297?mm*A5*cropped*
$pdf3 application/pdf iso_a5_148x210mm none A?page?is?210?x?297?mm*A5*cropped*
$pdf3 application/pdf iso_a5_148x210mm auto Job?completed.
$pwg image/pwg-raster iso_a4_210x297mm auto Job?completed.
ROWS

echo "-- page ranges past the document's end: the job aborts saying so"
"$app" submit -d p -o page-ranges=7-8,9 "$pdf3" > "$work/submit.out" 2>&1 ||
  fail "submit -o page-ranges=7-8,9: $(cat "$work/submit.out")"
ids=$(sed -n 's/^p-\([0-9]*\)$/\1/p' "$work/submit.out")
for type in application/pdf image/pwg-raster; do
  file=$pdf3
  [ "$type" = image/pwg-raster ] && file=$pwg
  ipptool -t -d filetype=$type -f "$file" "$uri_base/p" "$tests/print-past-end.test" \
    > "$work/past.out" 2>&1 || fail "page-ranges past the end of $type: $(cat "$work/past.out")"
  ids="$ids $(sed -n 's/.*job-id (integer) = \([0-9]*\).*/\1/p' "$work/past.out")"
done
for id in $ids; do
  wait_job_state p "$id" aborted
  grep -q "job-state-message (textWithoutLanguage) = .*page-ranges .*selects no" "$work/state.out" ||
    fail "page-ranges past the end, job $id: $(grep job-state-message "$work/state.out")"
done
[ "$(echo $ids | wc -w)" = 3 ] || fail "page-ranges past the end: jobs '$ids'"
