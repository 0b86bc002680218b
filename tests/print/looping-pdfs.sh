# Documents labelled PDF that would hold a printer for ever or take the
# server's memory: each must end on its own, with the printer free again.
# shellcheck shell=sh disable=SC2154
echo "-- documents labelled PDF that loop or grow end within their bounds"

# Writes the documents into DIR.
hostile_pdf_docs() {
  printf '%%!PS\n{} loop\n' > "$1/ps-loop.pdf"
  python3 - "$1" <<'PY'
import sys

def pdf(path, objects):
    out = bytearray(b"%PDF-1.5\n")
    offsets = []
    for number, body in enumerate(objects, 1):
        offsets.append(len(out))
        out += b"%d 0 obj\n" % number + body + b"\nendobj\n"
    xref = len(out)
    out += b"xref\n0 %d\n0000000000 65535 f \n" % (len(objects) + 1)
    out += b"".join(b"%010d 00000 n \n" % offset for offset in offsets)
    out += b"trailer\n<< /Size %d /Root 1 0 R >>\nstartxref\n%d\n%%%%EOF\n" % (len(objects) + 1, xref)
    open(sys.argv[1] + "/" + path, "wb").write(out)

def stream(head, data):
    return head + b" /Length %d >>\nstream\n" % len(data) + data + b"\nendstream"

def one_page(resources, content, *more):
    return [b"<< /Type /Catalog /Pages 2 0 R >>",
            b"<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
            b"<< /Type /Page /Parent 2 0 R /MediaBox [0 0 595 842] /Resources "
            + resources + b" /Contents 4 0 R >>",
            stream(b"<<", content)] + list(more)

# Ten forms, each drawing the next ten times: 10^9 squares, hours of work
# in 2 KB.
forms = []
for level in range(10):
    if level < 9:
        forms.append(stream(b"<< /Type /XObject /Subtype /Form /BBox [0 0 595 842] "
                            b"/Resources << /XObject << /F %d 0 R >> >>" % (6 + level),
                            b" ".join([b"/F Do"] * 10)))
    else:
        forms.append(stream(b"<< /Type /XObject /Subtype /Form /BBox [0 0 595 842]",
                            b"0 0 1 1 re f"))
pdf("forms.pdf", one_page(b"<< /XObject << /F 5 0 R >> >>", b"/F Do", *forms))

# A progressive JPEG of 8x8 pixels whose header says 60000x60000: the
# decoder keeps a progressive image's coefficients whole, 7 GB of them.
jpeg = bytes.fromhex(
    "ffd8ffe000104a46494600010100000100010000ffdb004300080606070605080707070909080a0c140d0c0b0b0c"
    "1912130f141d1a1f1e1d1a1c1c20242e2720222c231c1c2837292c30313434341f27393d38323c2e333432ffc2"
    "000b08ea60ea6001011100ffc40014000100000000000000000000000000000000ffda00080101000000017fff"
    "c40014100100000000000000000000000000000000ffda00080101000105027fffc4001410010000000000000000"
    "0000000000000000ffda0008010100063f027fffc40014100100000000000000000000000000000000ffda000801"
    "0100013f217fffda00080101000000107fffc40014100100000000000000000000000000000000ffda0008010100"
    "013f107fffd9")
pdf("huge-jpeg.pdf", one_page(
    b"<< /XObject << /Im 5 0 R >> >>", b"q 595 0 0 842 0 0 cm /Im Do Q",
    stream(b"<< /Type /XObject /Subtype /Image /Width 60000 /Height 60000 /BitsPerComponent 8 "
           b"/ColorSpace /DeviceGray /Filter /DCTDecode", jpeg)))
PY
}

hostile_pdf_rows() {
  printer=$1
  docs="$work/hostile"
  mkdir -p "$docs"
  hostile_pdf_docs "$docs" || fail "the hostile documents could not be made"
  # Pages: what the printer gets. Seconds: how long the job may take, the
  # processor bound of 30 s and the job's start included. Message: what the
  # job-state-message must hold ("-": the job's own).
  while read -r name file state pages seconds message; do
    n=$((n + 1))
    start=$(date +%s)
    id=$(print_job "$printer" "$docs/$file" application/pdf)
    while [ "$(job_state "$printer" "$id")" != "$state" ]; do
      [ $(($(date +%s) - start)) -le "$seconds" ] ||
        fail "$name: job $id is not $state after $seconds s: $(cat "$work/state.out")"
      sleep 0.2
    done
    if [ "$state" = aborted ]; then
      grep -q "job-state-reasons.*document-format-error" "$work/state.out" ||
        fail "$name: no document-format-error: $(cat "$work/state.out")"
    fi
    if [ "$message" != - ]; then
      grep -q "job-state-message.*$message" "$work/state.out" ||
        fail "$name: the message does not say '$message': $(cat "$work/state.out")"
    fi
    sent=$(stream "$printer" $n)
    if [ "$pages" = 0 ]; then
      [ -s "$sent" ] && fail "$name: the printer got bytes of it"
    else
      got=$(records "$sent")
      [ "$(echo "$got" | wc -w)" = "$pages" ] || fail "$name: the printer got records $got"
    fi
  done <<ROWS
postscript-as-pdf ps-loop.pdf aborted 0 10 not a PDF document
forms-10^9 forms.pdf aborted 0 60 more than 30 s of processor time
jpeg-60000x60000 huge-jpeg.pdf completed 1 10 -
ROWS
}

n=$(connections_of p)
hostile_pdf_rows p
