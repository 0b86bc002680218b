#include "app/driver/TestPage.h"

#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "app/job/AppJob.h"
#include "app/job/JobSettings.h"
#include "app/state/Config.h"

namespace {

// TEXT as a PDF string: printable ASCII only, its delimiters escaped.
std::string pdfString(const std::string& text) {
    std::string out = "(";
    for (unsigned char c : text.substr(0, 200)) {
        if (c == '(' || c == ')' || c == '\\') out += '\\';
        out += c >= 0x20 && c < 0x7f ? (char)c : '?';
    }
    return out + ")";
}

std::string printed(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string printed(const char* fmt, ...) {
    char text[256];
    va_list args;
    va_start(args, fmt);
    vsnprintf(text, sizeof(text), fmt, args);
    va_end(args);
    return text;
}

double points(int hundredths_mm) { return hundredths_mm * 72.0 / 2540.0; }

// The test page of the printer whose driver data is DATA, as PDF text.
std::string testPagePdf(const pappl_pr_driver_data_t& data, const char* name,
                        const char* device_uri, const char* version) {
    const pappl_media_col_t& media = data.media_default;
    const MediaSize* size = mediaSize(media.size_name);
    double width = size ? size->width_pt : points(media.size_width);
    double height = size ? size->height_pt : points(media.size_length);
    const double m = MARGIN_PT;
    std::string page;
    // The printable area, with a tick every centimetre along its edges: on
    // paper its outline lies 12 points inside each edge.
    page += "0.5 w " + printed("%.2f %.2f %.2f %.2f re S\n", m, m, width - 2 * m, height - 2 * m);
    for (double x = m; x <= width - m; x += 72 / 2.54) {
        page += printed("%.2f %.2f m %.2f %.2f l S\n", x, m, x, m + 6);
        page += printed("%.2f %.2f m %.2f %.2f l S\n", x, height - m, x, height - m - 6);
    }
    for (double y = m; y <= height - m; y += 72 / 2.54) {
        page += printed("%.2f %.2f m %.2f %.2f l S\n", m, y, m + 6, y);
        page += printed("%.2f %.2f m %.2f %.2f l S\n", width - m, y, width - m - 6, y);
    }
    // A square of 5 cm in the middle: a page printed at another scale shows.
    const double side = 5 * 72 / 2.54;
    page +=
        printed("%.2f %.2f %.2f %.2f re S\n", (width - side) / 2, (height - side) / 2, side, side);
    page += "BT /F1 9 Tf " +
            printed("%.2f %.2f Td ", (width - side) / 2, (height - side) / 2 - 12) +
            pdfString("5 cm") + " Tj ET\n";
    // Gray from white to black, as the printer dithers it.
    for (int i = 0; i <= 10; i++) {
        page += printed("%.2f g %.2f %.2f 36 36 re f\n", 1.0 - i / 10.0, m + 36 + i * 36.0,
                        height - m - 280);
    }
    page += "0 g\n";
    char when[64];
    time_t now = time(nullptr);
    struct tm utc;
    gmtime_r(&now, &utc);
    strftime(when, sizeof(when), "%Y-%m-%d %H:%M UTC", &utc);
    const std::vector<std::pair<std::string, std::string>> lines = {
        {"Printer", name ? name : ""},
        {"Device", device_uri ? device_uri : ""},
        {"Model", data.make_and_model},
        {"Paper", std::string(media.size_name) + ", " + media.source},
        {"Printable area", printed("%.0f x %.0f points, %.0f points (%.1f mm) inside each edge",
                                   width - 2 * m, height - 2 * m, m, m * 25.4 / 72)},
        {"Resolution", printed("%d dpi", data.x_default)},
        {"Sides", sidesKeyword(data.sides_default)},
        {"Software", std::string("quelmoss-printer-app ") + version},
        {"Printed", when},
    };
    page += "BT /F2 20 Tf " + printed("%.2f %.2f Td ", m + 36, height - m - 60) +
            pdfString("Test page") + " Tj ET\n";
    double y = height - m - 100;
    for (const auto& line : lines) {
        page += "BT /F2 11 Tf " + printed("%.2f %.2f Td ", m + 36, y) + pdfString(line.first) +
                " Tj ET\n";
        page += "BT /F1 11 Tf " + printed("%.2f %.2f Td ", m + 150, y) + pdfString(line.second) +
                " Tj ET\n";
        y -= 16;
    }
    page += "BT /F1 9 Tf " + printed("%.2f %.2f Td ", m + 36, height - m - 296) +
            pdfString("White to black, in tenths") + " Tj ET\n";

    std::vector<std::string> objects = {
        "<< /Type /Catalog /Pages 2 0 R >>",
        "<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
        "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 " + printed("%.2f %.2f", width, height) +
            "] /Contents 4 0 R /Resources << /Font << /F1 5 0 R /F2 6 0 R >> >> >>",
        "<< /Length " + std::to_string(page.size()) + " >>\nstream\n" + page + "endstream",
        "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>",
        "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica-Bold >>",
    };
    std::string pdf = "%PDF-1.4\n";
    std::vector<size_t> offsets;
    for (size_t i = 0; i < objects.size(); i++) {
        offsets.push_back(pdf.size());
        pdf += std::to_string(i + 1) + " 0 obj\n" + objects[i] + "\nendobj\n";
    }
    size_t xref = pdf.size();
    pdf += "xref\n0 " + std::to_string(objects.size() + 1) + "\n0000000000 65535 f \n";
    for (size_t offset : offsets) {
        char entry[32];
        snprintf(entry, sizeof(entry), "%010zu 00000 n \n", offset);
        pdf += entry;
    }
    pdf += "trailer\n<< /Size " + std::to_string(objects.size() + 1) +
           " /Root 1 0 R >>\nstartxref\n" + std::to_string(xref) + "\n%%EOF\n";
    return pdf;
}

}  // namespace

const char* printTestPage(pappl_printer_t* printer, char* buffer, size_t size) {
    pappl_pr_driver_data_t data;
    papplPrinterGetDriverData(printer, &data);
    std::string pdf = testPagePdf(data, papplPrinterGetName(printer),
                                  papplPrinterGetDeviceURI(printer), QUELMOSS_VERSION);
    // In the spool, which PAPPL empties of a job's file when it ends.
    int written = snprintf(buffer, size, "%s/test-page-XXXXXX", appConfig().spool.c_str());
    if (written < 0 || (size_t)written >= size) return nullptr;
    int fd = mkstemp(buffer);
    if (fd < 0) return nullptr;
    bool ok = write(fd, pdf.data(), pdf.size()) == (ssize_t)pdf.size();
    close(fd);
    if (!ok) {
        unlink(buffer);
        return nullptr;
    }
    return buffer;
}
