echo "-- the printer gets the filter's stream for the same pages, identity aside"
# 3 pages, 2 uncollated copies, rendered by CUPS's own PDF filters for the
# PPD and run through the filter with the same settings.
n=$(($(connections_of p) + 1))
print_job p "$pdf3" application/pdf copies=2 > /dev/null
printed=$(stream p $n)
cupsfilter -p "$build/brivane_quelmoss.ppd" -m application/vnd.cups-raster "$pdf3" \
  > "$work/three.ras" 2> "$work/cupsfilter.log" ||
  fail "cupsfilter failed: $(tail -n 5 "$work/cupsfilter.log")"
PPD="$build/brivane_quelmoss.ppd" "$build/brivane_quelmoss" 7 alice report 2 \
  "PageSize=A4 InputSlot=MainTray MediaType=Plain Duplex=None Resolution=600dpi FeedEdge=0 noCollate" \
  "$work/three.ras" > "$work/filter.prn" 2> "$work/filter.log" || fail "the filter failed"
identity="jobId|DocName|HostName|LoginName|job-uuid|job-originating-host-name|time-at-creation|time-at-processing"
for stream in "$printed" "$work/filter.prn"; do
  "$inspect" "$stream" | sed -n '/^Job settings/,/^Page records/p' | grep -Ev "^ +($identity) " |
    grep -v "^Job settings" > "$stream.settings"
  # The page records: everything after the job block (magic, length, text).
  length=$(od -An -t d4 -j 16 -N 4 "$stream" | tr -d ' ')
  tail -c +$((20 + length + 1)) "$stream" > "$stream.records"
done
cmp -s "$printed.settings" "$work/filter.prn.settings" ||
  fail "the job settings differ: $(diff "$printed.settings" "$work/filter.prn.settings")"
cmp "$printed.records" "$work/filter.prn.records" || fail "the page records differ"
