# Photos and print-scaling as they reach the paper, on printer p. Each page is
# read back from the printer's stream (quelmoss-inspect --png) and photo.py
# says where its ink lies and the page's size: every page is the printable
# area of A4 (201 x 289 mm, 4.2 mm inside each edge), as CUPS renders pages
# for the filter, so nothing can be drawn in the margins.
echo "-- photos come out upright and turned to the sheet; print-scaling reaches the paper"
photos="$work/docs/photos"
mkdir -p "$photos"
n=$(connections_of p)
# A gray JPEG of W x H pixels with the rectangle X Y W H (PostScript's, from
# the bottom left) black.
photo() {
  gs -q -dSAFER -dBATCH -dNOPAUSE -sDEVICE=jpeggray -r72 -dDEVICEWIDTHPOINTS="$2" \
    -dDEVICEHEIGHTPOINTS="$3" -dFIXEDMEDIA -sOutputFile="$photos/$1" -c "$4 rectfill showpage"
}
# Landscape, one half black; with EXIF orientation 6 or 8 each is a portrait
# photo whose top half is black.
photo left.jpg 400 300 "0 0 200 300"
photo right.jpg 400 300 "200 0 200 300"
photo black.jpg 400 300 "0 0 400 300"
python3 "$tests/photo.py" exif "$photos/left.jpg" "$photos/exif6.jpg" 6
python3 "$tests/photo.py" exif "$photos/right.jpg" "$photos/exif8.jpg" 8
# An A5 page black to its edges, printed on A4.
gs -q -dSAFER -dBATCH -dNOPAUSE -sDEVICE=pdfwrite -dDEVICEWIDTHPOINTS=420 -dDEVICEHEIGHTPOINTS=595 \
  -dFIXEDMEDIA -sOutputFile="$photos/a5.pdf" -c "0 0 420 595 rectfill showpage"
# Rows: name, file, settings, where the ink lies (a pattern: vertical,
# horizontal, its box in mm, the page in pixels).
# Prints $photos/FILE on printer p with SETTINGS (print-scaling and
# orientation, comma-separated) and leaves its pages in $work/pages.
print_pages() {
  type=image/jpeg
  case $2 in *.pdf) type=application/pdf ;; esac
  # shellcheck disable=SC2046
  ipptool -t -d filetype=$type $(echo "$3" | tr , '\n' | sed 's/^/-d /') \
    -f "$photos/$2" "$uri_base/p" "$tests/print-photo.test" > "$work/photo.out" 2>&1 ||
    fail "$1: $(cat "$work/photo.out")"
  n=$((n + 1))
  rm -rf "$work/pages" && mkdir "$work/pages"
  "$inspect" --png "$work/pages" "$(stream p $n)" > "$work/inspect.out" 2>&1 ||
    fail "$1: the stream is not sound: $(cat "$work/inspect.out")"
}
while read -r name file settings want; do
  print_pages "$name" "$file" "$settings"
  got=$(python3 "$tests/photo.py" page "$work/pages/page-001.png")
  # shellcheck disable=SC2254
  case "$got" in $want) ;; *) fail "$name: got '$got', expected '$want'" ;; esac
done <<ROWS
exif-6 exif6.jpg scaling=auto top even * 4758x6817
exif-8 exif8.jpg scaling=auto top even * 4758x6817
landscape-turned left.jpg scaling=auto bottom even * 4758x6817
landscape-kept-portrait left.jpg scaling=auto,orientation=3 even left * 4758x6817
photo-fit black.jpg scaling=fit even even 201x269 4758x6817
photo-fill black.jpg scaling=fill even even 201x289 4758x6817
pdf-fit a5.pdf scaling=fit even even 201x285 4758x6817
pdf-fill a5.pdf scaling=fill even even 201x289 4758x6817
pdf-none a5.pdf scaling=none even even 148x210 4758x6817
ROWS

echo "-- a PDF page reaches the paper as a CUPS queue with the PPD puts it there"
# The same document and settings through CUPS's own PDF filters and the
# filter: each page of the printer application's stream is the filter's,
# pixel for pixel.
page_doc() {
  gs -q -dSAFER -dBATCH -dNOPAUSE -sDEVICE=pdfwrite -dDEVICEWIDTHPOINTS="$2" \
    -dDEVICEHEIGHTPOINTS="$3" -dFIXEDMEDIA -sOutputFile="$photos/$1" \
    -c "/Helvetica findfont 30 scalefont setfont 40 40 moveto (Lower left) show" \
    -c "4 setlinewidth 20 20 $2 40 sub $3 40 sub rectstroke 30 100 80 40 rectfill showpage"
}
page_doc letter.pdf 612 792
page_doc a4.pdf 595 842
page_doc landscape.pdf 842 595
while read -r name file settings; do
  cups_options=$(echo "$settings" | tr , '\n' |
    sed 's/^scaling=/-o print-scaling=/; s/^orientation=/-o orientation-requested=/' | tr '\n' ' ')
  # shellcheck disable=SC2086
  cupsfilter -p "$build/brivane_quelmoss.ppd" -m application/vnd.cups-raster $cups_options \
    "$photos/$file" > "$work/placed.ras" 2> "$work/cupsfilter.log" ||
    fail "$name: cupsfilter: $(tail -n 5 "$work/cupsfilter.log")"
  PPD="$build/brivane_quelmoss.ppd" "$build/brivane_quelmoss" 1 alice placed 1 "" \
    < "$work/placed.ras" > "$work/placed.prn" 2> "$work/placed-filter.log" ||
    fail "$name: the filter failed: $(tail -n 5 "$work/placed-filter.log")"
  rm -rf "$work/filter-pages" && mkdir "$work/filter-pages"
  "$inspect" --png "$work/filter-pages" "$work/placed.prn" > /dev/null 2>&1 ||
    fail "$name: the filter's stream is not sound"
  print_pages "$name" "$file" "$settings"
  expect "$name: pages" "$(ls "$work/pages")" "$(ls "$work/filter-pages")"
  for png in "$work"/pages/*.png; do
    expect "$name: $(basename "$png") (sizes, pixels that differ)" \
      "$(python3 "$tests/photo.py" diff "$png" "$work/filter-pages/$(basename "$png")")" \
      "4758x6817 4758x6817 0"
  done
done <<ROWS
letter-on-a4-auto letter.pdf scaling=auto
letter-on-a4-none letter.pdf scaling=none
a4-fill a4.pdf scaling=fill
landscape-turned landscape.pdf scaling=auto
landscape-fit-reverse landscape.pdf scaling=fit,orientation=5
ROWS
# (Not a portrait page asked landscape: CUPS's chain with the PPD turns it a
# half, where IPP turns it a quarter; tests/clients/cups-driverless.sh
# holds the application to IPP's turns.)
