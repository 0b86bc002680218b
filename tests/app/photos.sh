# Photos and print-scaling as they reach the paper, on printer p: sourced by
# app_e2e.sh, whose helpers and connection count `n` it uses. Each page is
# read back from the printer's stream (quelmoss-inspect --png) and photo.py
# says where its ink lies, and whether any lies inside the 4.2 mm margins.
echo "== photos come out upright and turned to the sheet; print-scaling reaches the paper"
photos="$work/docs/photos"
mkdir -p "$photos"
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
# horizontal, its box in mm, margins). Photos keep the margins clear; a PDF
# page fitted by Ghostscript reaches the paper's edges (its raster device
# keeps no margins), and fill prints as fit.
while read -r name file settings want; do
  type=image/jpeg
  case $file in *.pdf) type=application/pdf ;; esac
  # shellcheck disable=SC2046
  ipptool -t -d filetype=$type $(echo "$settings" | tr , '\n' | sed 's/^/-d /') \
    -f "$photos/$file" "$uri_base/p" "$tests/print-photo.test" > "$work/photo.out" 2>&1 ||
    fail "$name: $(cat "$work/photo.out")"
  n=$((n + 1))
  rm -rf "$work/pages" && mkdir "$work/pages"
  "$inspect" --png "$work/pages" "$(stream p $n)" > "$work/inspect.out" 2>&1 ||
    fail "$name: the stream is not sound: $(cat "$work/inspect.out")"
  got=$(python3 "$tests/photo.py" page "$work/pages/page-001.png")
  # shellcheck disable=SC2254
  case "$got" in $want) ;; *) fail "$name: got '$got', expected '$want'" ;; esac
done <<ROWS
exif-6 exif6.jpg scaling=auto top even * clear
exif-8 exif8.jpg scaling=auto top even * clear
landscape-turned left.jpg scaling=auto bottom even * clear
landscape-kept-portrait left.jpg scaling=auto,orientation=3 even left * clear
photo-fit black.jpg scaling=fit even even 201x269 clear
photo-fill black.jpg scaling=fill even even 201x289 clear
pdf-fit a5.pdf scaling=fit even even 210x297 *
pdf-fill-as-fit a5.pdf scaling=fill even even 210x297 *
pdf-none a5.pdf scaling=none bottom left 148x210 *
ROWS
