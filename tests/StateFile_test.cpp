// The state file read back as PAPPL wrote it, whatever text its older
// versions let clients put into it.
#include "app/state/StateFile.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>
#include <string>

namespace {

// What the server saved for printers p (defaults set, three jobs printed,
// one with " and \ in its name) and q (one job waiting, its file spooled).
const std::string kSaved = R"(DNSSDName quelmoss-printer-app
Contact
AdminGroup lpadmin
DefaultPrinterID 1
MaxImageSize 1073741824 16384 16384
NextPrinterID 3
UUID urn:uuid:2c5eac96-7c92-321d-40d6-a0223383fdd1
<Printer did="MFG:Brivane;MDL:Quelmoss;CMD:PWGRaster,URF,application/vnd.brivane-jbig,PDF,JPEG,PNG,image/x-spooled-pwg-raster,image/x-spooled-urf;" driver="brivane_quelmoss" id="1" name="p" uri="socket://127.0.0.1:9101">
DNSSDName p
Contact
MaxActiveJobs 0
MaxCompletedJobs 100
NextJobId 4
ImpressionsCompleted 9
identify-actions-default display
media-col-default bottom="423" left="423" length="21000" name="iso_a5_148x210mm" right="423" source="main" top="423" type="stationery" width="14800"
media-col-ready0 bottom="423" left="423" length="29700" name="iso_a4_210x297mm" right="423" source="main" top="423" type="stationery" width="21000"
media-col-ready1 bottom="423" left="423" length="29700" name="iso_a4_210x297mm" right="423" source="manual" top="423" type="stationery" width="21000"
orientation-requested-default portrait
print-color-mode-default monochrome
print-content-optimize-default auto
print-quality-default high
print-scaling-default auto
printer-darkness-configured 50
sides-default one-sided
printer-resolution-default 600x600dpi
feed-orientation-default long-edge-first
Job completed="1796879796" created="1796879795" format="application/pdf" id="3" imcompleted="3" name="third" processing="1796879795" state="9" username="alice"
Job completed="1796879795" created="1796879794" format="application/pdf" id="2" imcompleted="3" name="second" processing="1796879794" state="9" username="alice"
Job completed="1796879794" created="1796879793" format="application/pdf" id="1" imcompleted="3" name="a\"quoted\"\\name" processing="1796879793" state="9" username="alice"
</Printer>
<Printer did="MFG:Brivane;MDL:Quelmoss;CMD:PWGRaster,URF,application/vnd.brivane-jbig,PDF,JPEG,PNG,image/x-spooled-pwg-raster,image/x-spooled-urf;" driver="brivane_quelmoss" id="2" name="q" uri="socket://127.0.0.1:9102">
DNSSDName q
Contact
MaxActiveJobs 0
MaxCompletedJobs 100
NextJobId 2
ImpressionsCompleted 0
identify-actions-default display
media-col-default bottom="423" left="423" length="29700" name="iso_a4_210x297mm" right="423" source="manual" top="423" type="stationery-heavyweight" width="21000"
media-col-ready0 bottom="423" left="423" length="29700" name="iso_a4_210x297mm" right="423" source="main" top="423" type="stationery" width="21000"
media-col-ready1 bottom="423" left="423" length="29700" name="iso_a4_210x297mm" right="423" source="manual" top="423" type="stationery" width="21000"
orientation-requested-default portrait
print-color-mode-default monochrome
print-content-optimize-default auto
print-quality-default normal
print-scaling-default auto
printer-darkness-configured 50
sides-default one-sided
printer-resolution-default 600x600dpi
feed-orientation-default short-edge-first
Job created="1796879796" filename="/tmp/quelmoss-app/spool/p00002j000000001-waiting.pdf" format="application/pdf" id="1" name="waiting" processing="1796879796" state="5" username="alice"
</Printer>
)";
const std::string kSpool = "/tmp/quelmoss-app/spool";

std::string replaced(std::string text, const std::string& from, const std::string& to) {
    size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    return at == std::string::npos ? text : text.replace(at, from.size(), to);
}

// Job 2 of printer p as PAPPL 1.3.1 writes it for NAME and USER: only \ and
// " escaped.
std::string job2(const std::string& name, const std::string& user) {
    auto escaped = [](const std::string& text) {
        std::string out;
        for (char c : text) {
            if (c == '\\' || c == '"') out += '\\';
            out += c;
        }
        return out;
    };
    return "Job completed=\"1796879795\" created=\"1796879794\" format=\"application/pdf\" "
           "id=\"2\" imcompleted=\"3\" name=\"" +
           escaped(name) + "\" processing=\"1796879794\" state=\"9\" username=\"" + escaped(user) +
           "\"";
}
std::string withJob2(const std::string& name, const std::string& user = "alice") {
    return replaced(kSaved, job2("second", "alice"), job2(name, user));
}

std::string withLineEnds(const std::string& text, const std::string& end) {
    std::string out;
    for (char c : text) out += c == '\n' ? end : std::string(1, c);
    return out;
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

std::string between(const std::string& line, const std::string& open) {
    size_t at = line.find(open);
    if (at == std::string::npos) return "?";
    at += open.size();
    return line.substr(at, line.find('"', at) - at);
}

// "system lines|printer/settings[H]:job ids ..." (H: it holds new jobs).
std::string shape(const std::string& text) {
    int system = 0, settings = 0;
    std::string out, jobs, hold;
    for (const std::string& line : lines(text)) {
        if (line.rfind("<Printer ", 0) == 0) {
            out +=
                (out.empty() ? std::to_string(system) + "|" : " ") + between(line, "name=\"") + "/";
            settings = 0;
            jobs = hold = "";
        } else if (line == "</Printer>") {
            out += std::to_string(settings) + hold + ":" + jobs;
        } else if (line.rfind("Job ", 0) == 0) {
            jobs += (jobs.empty() ? "" : ",") + between(line, " id=\"");
        } else if (out.empty()) {
            system++;
        } else {
            settings++;
            if (line == "HoldNewJobs") hold = "H";
        }
    }
    return out.empty() ? std::to_string(system) + "|" : out;
}

struct Row {
    const char* name;
    std::string text;
    const char* shape;  // of the repaired text
};

TEST(StateFile, DamageCostsOnlyItselfAndAddsNoPrinterOrSetting) {
    const std::string evil_printer =
        "<Printer did=\"\" driver=\"brivane_quelmoss\" id=\"ID\" name=\"evil\" "
        "uri=\"socket://127.0.0.1:9109\">";
    const std::string padding(2047 - job2("second", "").size() + 1, 'x');
    const Row rows[] = {
        {"as saved", kSaved, "7|p/19:3,2,1 q/19:1"},
        {"a job name that ends its printer and starts another",
         withJob2("i\n</Printer>\n<Printer id=9 name=evil did= uri=socket://127.0.0.1:9109 "
                  "driver=brivane_quelmoss>\nDNSSDName "),
         "7|p/19:3 q/19:1"},
        {"a user name that holds new jobs", withJob2("second", "carol\nHoldNewJobs"),
         "7|p/19:3,1 q/19:1"},
        {"a job name that holds new jobs", withJob2("x\nHoldNewJobs\nLocation "),
         "7|p/19:3,1 q/19:1"},
        {"the same with carriage returns", withJob2("x\rHoldNewJobs\rLocation "),
         "7|p/19:3,1 q/19:1"},
        {"a job name that ends its printer and holds the next one's jobs",
         withJob2("x\n</Printer>\nHoldNewJobs\nDNSSDName "), "7|p/19:3 q/19:1"},
        {"a printer text, unescaped, holding a whole printer",
         replaced(kSaved, "DNSSDName p\n",
                  "DNSSDName p\nLocation x\n</Printer>\n" + replaced(evil_printer, "ID", "9") +
                      "\nHoldNewJobs\nLocation \n"),
         "7|p/2: q/19:1"},
        {"the same with another printer's id",
         replaced(kSaved, "DNSSDName p\n",
                  "DNSSDName p\nLocation x\n</Printer>\n" + replaced(evil_printer, "ID", "2") +
                      "\nHoldNewJobs\nLocation \n"),
         "7|p/2:"},
        {"a system text holding a line PAPPL does not write",
         replaced(kSaved, "AdminGroup lpadmin\n", "AdminGroup lpadmin\nHoldNewJobs\n"), "3|q/19:1"},
        {"a user name past the loader's line, the rest read as HoldNewJobs",
         withJob2("second", padding + "HoldNewJobs x"), "7|p/19:3,1 q/19:1"},
        {"cut short in a job", kSaved.substr(0, kSaved.find(job2("second", "alice")) + 60),
         "7|p/19:3"},
        {"cut short in a printer's first line",
         kSaved.substr(0, kSaved.find("<Printer", kSaved.find("</Printer>")) + 30), "7|p/19:3,2,1"},
        {"a job cancelled before its document",
         replaced(
             replaced(kSaved, "NextJobId 2\n", "NextJobId 3\n"), "Job created=\"1796879796\"",
             "Job completed=\"1796879797\" created=\"1796879796\" id=\"2\" name=\"never sent\" "
             "state=\"7\" username=\"bob\"\nJob created=\"1796879796\""),
         "7|p/19:3,2,1 q/19:1"},
        {"a second printer with q's id",
         replaced(kSaved, "</Printer>\n<Printer",
                  "</Printer>\n" + replaced(evil_printer, "ID", "2") + "\n</Printer>\n<Printer"),
         "7|p/19:3,2,1"},
        {"a printer with an id NextPrinterID has not given",
         replaced(kSaved, "</Printer>\n<Printer",
                  "</Printer>\n" + replaced(evil_printer, "ID", "3") + "\n</Printer>\n<Printer"),
         "7|p/19:3,2,1 q/19:1"},
        {"a job whose file is not in the spool",
         replaced(kSaved, kSpool + "/p00002j000000001-waiting.pdf", "/etc/shadow"),
         "7|p/19:3,2,1 q/19:"},
        {"a job with another job's id",
         replaced(kSaved, "id=\"3\" imcompleted", "id=\"2\" imcompleted"), "7|p/19:2,1 q/19:1"},
        {"line ends of another system", withLineEnds(kSaved, "\r\n"), "7|p/19:3,2,1 q/19:1"},
        {"a setting after the jobs",
         replaced(kSaved, "</Printer>\n<Printer", "HoldNewJobs\n</Printer>\n<Printer"),
         "7|p/19:3,2,1"},
    };
    const std::vector<std::string> saved = lines(kSaved);
    for (const Row& row : rows) {
        StateRepair repair = repairState(row.text, kSpool);
        EXPECT_EQ(shape(repair.text), row.shape) << row.name;
        EXPECT_EQ(repair.dropped.empty(), row.text == kSaved) << row.name;
        if (row.text == kSaved) {
            EXPECT_EQ(repair.text, kSaved);
        }
        // What is kept is as it was written, so repairing it again changes nothing.
        StateRepair again = repairState(repair.text, kSpool);
        EXPECT_EQ(again.text, repair.text) << row.name;
        EXPECT_TRUE(again.dropped.empty()) << row.name << ": " << again.dropped[0];
        for (const std::string& line : lines(repair.text)) {
            EXPECT_TRUE(line == "</Printer>" || row.text.find(line) != std::string::npos)
                << row.name << ": " << line;
            // (PAPPL's loader stops at a job without these.)
            if (line.rfind("Job ", 0) == 0) {
                for (const char* needed : {" id=", " name=", " username=", " format="}) {
                    EXPECT_NE(line.find(needed), std::string::npos) << row.name << ": " << line;
                }
            }
        }
        for (const std::string& why : repair.dropped) {
            for (char c : why) EXPECT_FALSE((unsigned char)c < 0x20) << row.name << ": " << why;
        }
    }
}

// A scratch directory of its own under the test's private /tmp.
std::string scratch() {
    char dir[] = "/tmp/state-test-XXXXXX";
    EXPECT_NE(mkdtemp(dir), nullptr);
    return dir;
}
std::string slurp(const std::string& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
}
void write(const std::string& path, const std::string& text) { std::ofstream(path) << text; }

struct FileRow {
    const char* name;
    std::function<void(const std::string& path)> make;
    bool load;
    const char* after;    // the file, after: "saved", "repaired", "none"
    const char* damaged;  // PATH.damaged: "", "original", "moved"
};

TEST(StateFile, PreparedFileIsReadOnlyWhenRegularAndBoundedAndKeptWhenRepaired) {
    const std::string broken = withJob2("x\nHoldNewJobs\nLocation ");
    const FileRow rows[] = {
        {"none", [](const std::string&) {}, true, "none", ""},
        {"as saved", [](const std::string& path) { write(path, kSaved); }, true, "saved", ""},
        {"damaged", [&](const std::string& path) { write(path, broken); }, true, "repaired",
         "original"},
        {"a link",
         [](const std::string& path) {
             write(path + ".target", kSaved);
             EXPECT_EQ(symlink((path + ".target").c_str(), path.c_str()), 0);
         },
         false, "none", "moved"},
        {"a FIFO", [](const std::string& path) { EXPECT_EQ(mkfifo(path.c_str(), 0600), 0); }, false,
         "none", "moved"},
        {"too large",
         [](const std::string& path) {
             write(path, kSaved);
             EXPECT_EQ(truncate(path.c_str(), (off_t)STATE_FILE_LIMIT + 1), 0);
         },
         false, "none", "moved"},
    };
    for (const FileRow& row : rows) {
        std::string dir = scratch();
        std::string path = dir + "/app.state";
        row.make(path);
        // An older copy is replaced.
        write(path + ".damaged", "older");
        StatePreparation prepared = prepareStateFile(path, kSpool);
        EXPECT_EQ(prepared.load, row.load) << row.name;
        EXPECT_EQ(prepared.dropped.empty(), std::string(row.damaged).empty()) << row.name;
        struct stat info;
        std::string after = lstat(path.c_str(), &info) != 0                   ? "none"
                            : slurp(path) == kSaved                           ? "saved"
                            : slurp(path) == repairState(broken, kSpool).text ? "repaired"
                                                                              : "other";
        EXPECT_EQ(after, row.after) << row.name;
        std::string damaged = path + ".damaged";
        if (std::string(row.damaged) == "original") {
            EXPECT_EQ(slurp(damaged), broken) << row.name;
            EXPECT_EQ(stat(damaged.c_str(), &info), 0);
            EXPECT_EQ(info.st_mode & 07777, 0600u) << row.name;
        } else if (std::string(row.damaged) == "moved") {
            // (What was there, as it was: the link, the FIFO, the large file.)
            EXPECT_EQ(lstat(damaged.c_str(), &info), 0);
            EXPECT_FALSE(S_ISREG(info.st_mode) && info.st_size == 5) << row.name;
        } else {
            EXPECT_EQ(slurp(damaged), "older") << row.name;
        }
        // A link's target is never written.
        if (lstat((path + ".target").c_str(), &info) == 0) {
            EXPECT_EQ(slurp(path + ".target"), kSaved) << row.name;
        }
        EXPECT_EQ(system(("rm -rf " + dir).c_str()), 0);
    }
}

}  // namespace
