echo "-- the web interface answers on every page, with its footer"
add_printer q 9102
# (/addprinter: with no avahi-daemon, as here, PAPPL's own page would kill the server.)
for page in / /p /p/media /p/printing /p/supplies /p/jobs /q /addprinter; do
  code=$(curl -s -o "$work/page.html" -w '%{http_code}' "http://localhost:$port$page")
  expect "web page $page" "$code" 200
  grep -q "Brivane Quelmoss printer application" "$work/page.html" || fail "web page $page: no footer"
done
curl -s "http://localhost:$port/p/media" > "$work/media.html"
# (PAPPL shows no ready paper for the manual feed.)
for shown in "JIS B5" "100 x 200mm" "Main" "Heavyweight paper"; do
  grep -qi "$shown" "$work/media.html" || fail "the media page does not offer $shown"
done
curl -s "http://localhost:$port/p/printing" > "$work/printing.html"
for shown in two-sided-short-edge 1200 feed-orientation long-edge-first; do
  grep -qi "$shown" "$work/printing.html" || fail "the printing defaults page does not offer $shown"
done

echo "-- a toner level never reported is said so, not drawn as an empty bar; IPP still lists the supply"
curl -s "http://localhost:$port/p/supplies" > "$work/supplies.html"
grep -q "<th>Black Toner</th>" "$work/supplies.html" || fail "the supplies page does not name the toner"
grep -q 'class="bar"' "$work/supplies.html" && fail "the supplies page draws a bar for an unknown level"
grep -q "Level not reported" "$work/supplies.html" || fail "the supplies page does not say the level is unknown"
ipptool -tv "$uri_base/p" get-printer-attributes.test > "$work/supplies.out" 2>&1 || true
for attr in "printer-supply (octetString) = index=0;type=toner;.*level=-1" "marker-levels (integer) = -1" \
  "printer-supply-info-uri (uri) = .*/p/supplies"; do
  grep -q "$attr" "$work/supplies.out" || fail "Get-Printer-Attributes lacks $attr"
done

echo "-- the media page sets the manual tray's paper as well as the main tray's"
curl -s -c "$work/cookies" "http://localhost:$port/p/media" > "$work/media-form.html"
grep -q "<th>Manual Feed Media:</th>" "$work/media-form.html" ||
  fail "the media page offers no manual tray"
session=$(sed -n 's/.*name="session" value="\([^"]*\)".*/\1/p' "$work/media-form.html" | head -n 1)
set_ready_media() {  # the manual tray's SIZE and TYPE
  curl -s -b "$work/cookies" -F "session=$session" -F ready0-size=iso_a4_210x297mm \
    -F ready0-type=stationery -F "ready1-size=$1" -F "ready1-type=$2" \
    "http://localhost:$port/p/media" > "$work/media-saved.html"
  grep -q "Changes saved" "$work/media-saved.html" || fail "saving ready media: see media-saved.html"
}
set_ready_media iso_a5_148x210mm stationery-heavyweight
ipptool -tv "$uri_base/p" get-printer-attributes.test > "$work/media-ready.out" 2>&1 || true
grep -q "media-ready (1setOf keyword) = iso_a4_210x297mm,iso_a5_148x210mm" "$work/media-ready.out" ||
  fail "media-ready after the manual tray was set to A5: see media-ready.out"
grep "media-col-ready" "$work/media-ready.out" |
  grep -q "y-dimension=21000} media-size-name=iso_a5_148x210mm media-source=manual media-top-margin=423 media-type=stationery-heavyweight}" ||
  fail "media-col-ready does not hold the manual tray's A5 heavyweight paper: see media-ready.out"
set_ready_media iso_a4_210x297mm stationery

echo "-- the application's own words in German, French and Spanish, amid PAPPL's"
# LANGUAGE|feed-orientation|short-edge-first|print-quality high|the toner|its level|manual tray|footer
while IFS='|' read -r language feed short high toner level manual footer; do
  for page in printing supplies media; do
    curl -s -H "Accept-Language: $language" "http://localhost:$port/p/$page" > "$work/$page-$language.html"
  done
  for shown in "$feed:" ">$short<" " $high</label>" "$footer"; do
    grep -qF "$shown" "$work/printing-$language.html" || fail "$language: the printing page lacks '$shown'"
  done
  for english in "Short Edge First" " High</label>" "Feed Orientation" "printer application"; do
    grep -qF "$english" "$work/printing-$language.html" && fail "$language: the printing page says '$english'"
  done
  grep -qF "<th>$toner</th><td colspan=\"4\"><span class=\"unknown\">$level<" \
    "$work/supplies-$language.html" || fail "$language: the supplies page lacks '$toner: $level'"
  grep -qF "<th>$manual " "$work/media-$language.html" || fail "$language: the media page lacks '$manual'"
done <<TABLE
de-DE,de;q=0.9|Einzugsrichtung|Schmale Kante zuerst|Hoch|Schwarzer Toner|Füllstand nicht gemeldet|Manuelle Zufuhr|Druckeranwendung für Brivane Quelmoss
fr|Sens d'alimentation|Bord court en premier|Haute|Toner noir|Niveau non communiqué|Alimentation manuelle|Application d'impression Brivane Quelmoss
es|Sentido de alimentación|Borde corto primero|Alta|Tóner negro|Nivel no informado|Alimentación manual|Aplicación de impresión Brivane Quelmoss
TABLE
curl -s -H "Accept-Language: de" "http://localhost:$port/addprinter" > "$work/addprinter-de.html"
grep -qF "Fügen Sie einen Drucker mit <code>quelmoss-printer-app add" "$work/addprinter-de.html" ||
  fail "de: the Add Printer page is not in German"
# (PAPPL 1.3.1 appends printer-strings-languages-supported to the printer
# at each request while a strings resource is served.)
for _ in 1 2 3; do
  ipptool -tv -d op=Get-Printer-Attributes -d owner=alice "$uri_base/p" "$tests/printer-op.test" \
    > "$work/strings.out" 2>&1 || true
done
grep -q "Duplicate" "$work/strings.out" && fail "Get-Printer-Attributes repeats an attribute: see strings.out"
grep -q "\[PASS\]" "$work/strings.out" || fail "Get-Printer-Attributes fails: see strings.out"
