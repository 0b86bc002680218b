echo "-- ipptool's IPP Everywhere tests"
pwg=$(make_three_page_pwg "$pdf3")
jpeg=$(make_photo_jpeg "$pdf3")
# The files name sample documents Debian does not ship, and ipptool refuses
# a file naming one it can't read, even where the test using it is skipped:
# real ones are made for what the printer takes (1-bit and 8-bit gray at
# 600 dpi, PDF, JPEG), empty ones for the rest.
suite=$(make_ipptool_suite "$pdf3" "$jpeg")
# (On a printer of its own: other users' jobs are listed without their names.)
start_sink e 9112
add_printer e 9112
sleep 1  # (its printer-up-time counts whole seconds)
# (Over TLS from the start, as phones print: an upgraded connection would
# have libcups send the request-id 0 test's request again with a new id.)
ipptool -I -t -f "$pwg" -d filetype=image/pwg-raster "ipps://10.77.0.1:$port/ipp/print/e" \
  "$suite/ipp-everywhere.test" > "$work/ipp-everywhere.out" 2>&1 || true
check_ipp_everywhere "$work/ipp-everywhere.out"
