# What the printer says it takes is what it prints: the types raster is
# spooled under are its own, and a document of another format is refused
# as it is sent rather than taken and aborted. Sourced by app_sections.sh.
echo "-- document formats: the ones advertised, and the others refused at once"
ipptool -t "$uri_base/p" "$tests/formats.test" > "$work/formats.out" 2>&1 ||
  fail "Get-Printer-Attributes: $(cat "$work/formats.out")"
supported=$(sed -n 's/.*document-format-supported (1setOf mimeMediaType) = //p' "$work/formats.out")
expect "document-format-supported" "$supported" \
  "application/octet-stream,image/pwg-raster,image/urf,application/vnd.brivane-jbig,application/pdf,image/jpeg,image/png"
device_id=$(sed -n 's/.*printer-device-id (textWithoutLanguage) = //p' "$work/formats.out")
expect "printer-device-id" "$device_id" \
  "MFG:Brivane;MDL:Quelmoss;CMD:PWGRaster,URF,application/vnd.brivane-jbig,PDF,JPEG,PNG;"
printf 'Dear printer,\nplain text.\n' > "$work/docs/letter.txt"
printf '%%!PS\nshowpage\n' > "$work/docs/page.ps"
for row in "text/plain letter.txt" "application/octet-stream letter.txt" \
  "application/octet-stream page.ps" "application/postscript page.ps"; do
  set -- $row
  ipp_op "" "$uri_base/p" print-format.test -d format="$1" -f "$work/docs/$2" > /dev/null
  expect "$2 sent as $1" "$(op_status)" client-error-document-format-not-supported
  grep -q "prints PDF, JPEG, PNG" "$work/op.out" || fail "the refusal of $2 says what is printed"
done
n=$(connections_of p)
ipp_op "" "$uri_base/p" print-format.test -d format=application/octet-stream -f "$pdf3" > /dev/null
expect "a PDF sent as application/octet-stream" "$(op_status)" successful-ok
expect "its records" "$(records "$(stream p $((n + 1)))")" "10 00 01"
