#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "FilterRun.h"
#include "Utility/Clock.h"
#include "image/Jbig.h"
#include "image/Pbm.h"
#include "image/Rotate.h"

namespace {

bool exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

PbmHeader headerOf(const std::string& text, int* rc, int* next = nullptr) {
    std::string path = scratchDir("pbm") + "/h.pbm";
    writeFile(path, text);
    FILE* file = fopen(path.c_str(), "rb");
    PbmHeader header;
    *rc = readPbmHeader(file, &header);
    if (next) *next = fgetc(file);
    fclose(file);
    return header;
}

TEST(PbmHeader, ReadsSizesAcrossCommentsEndedByCrOrLf) {
    int rc;
    PbmHeader h = headerOf("P4\n# note\r100 50\n", &rc);
    EXPECT_EQ(rc, 0);
    EXPECT_STREQ(h.magic, "P4");
    EXPECT_EQ(h.width, 100);
    EXPECT_EQ(h.height, 50);
    h = headerOf("P4 #a\n#b\n 7\n#c\n\t9 ", &rc);
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(h.width, 7);
    EXPECT_EQ(h.height, 9);
}

TEST(PbmHeader, RefusesMissingZeroNegativeAndHugeSizes) {
    const char* bad[] = {"P4\n# no end",        "P4\n",      "P4\n0 10\n",  "P4\n10 -1\n",
                         "P4\n99999999999 1\n", "P4\nx 1\n", "P4 7\t#c\n 9"};
    for (const char* text : bad) {
        int rc;
        headerOf(text, &rc);
        EXPECT_EQ(rc, 1) << text;
    }
}

TEST(PbmHeader, SkipAtEndOfFilePushesNothingBack) {
    std::string path = scratchDir("pbm") + "/eof.pbm";
    writeFile(path, "  # comment without end");
    FILE* file = fopen(path.c_str(), "rb");
    skipPbmComments(file);
    EXPECT_EQ(fgetc(file), EOF);
    fclose(file);
}

std::string pbm(int width, int height, const std::string& rows) {
    return "P4\n" + std::to_string(width) + " " + std::to_string(height) + "\n" + rows;
}

TEST(Rotate, TurnsTheTenByThreeExampleToItsExactBytes) {
    std::string dir = scratchDir("rotate");
    // Black pixels (0,0) and (9,2); the second row byte's padding bits set
    // in every row must not reach the output.
    std::string rows =
        std::string("\x80\x3f", 2) + std::string("\x00\x3f", 2) + std::string("\x00\x7f", 2);
    writeFile(dir + "/in.pbm", pbm(10, 3, rows));
    ASSERT_EQ(rotatePbm((dir + "/in.pbm").c_str(), (dir + "/out.pbm").c_str(), -90), 0);
    std::string expected = "P4\n3 10\n" + std::string("\x20", 1) + std::string(8, '\0') + "\x80";
    EXPECT_EQ(readFile(dir + "/out.pbm"), expected);
}

TEST(Rotate, QuarterTurnsBackAndForthGiveTheOriginal) {
    std::string dir = scratchDir("rotate");
    RasterPage page;
    page.width = 37;
    page.height = 21;
    page.pattern = Pattern::Noise;
    std::vector<unsigned char> rows = patternRows(page);
    writeFile(dir + "/in.pbm", pbm(37, 21, std::string(rows.begin(), rows.end())));
    ASSERT_EQ(rotatePbm((dir + "/in.pbm").c_str(), (dir + "/l.pbm").c_str(), -90), 0);
    ASSERT_EQ(rotatePbm((dir + "/l.pbm").c_str(), (dir + "/back.pbm").c_str(), 90), 0);
    EXPECT_EQ(readFile(dir + "/back.pbm"), readFile(dir + "/in.pbm"));
    ASSERT_EQ(rotatePbm((dir + "/in.pbm").c_str(), (dir + "/h1.pbm").c_str(), 180), 0);
    ASSERT_EQ(rotatePbm((dir + "/h1.pbm").c_str(), (dir + "/h2.pbm").c_str(), 180), 0);
    EXPECT_EQ(readFile(dir + "/h2.pbm"), readFile(dir + "/in.pbm"));
}

TEST(Rotate, ShortRasterIsTurnedWithWhiteRows) {
    std::string dir = scratchDir("rotate");
    writeFile(dir + "/in.pbm", pbm(8, 16, std::string("\x01", 1)));  // one row of 16
    ASSERT_EQ(rotatePbm((dir + "/in.pbm").c_str(), (dir + "/out.pbm").c_str(), -90), 0);
    std::string out = readFile(dir + "/out.pbm");
    ASSERT_EQ(out.size(), std::string("P4\n16 8\n").size() + 16);
    // Source pixel (7,0) lands at column 0 of the top row.
    EXPECT_EQ(out.substr(8), std::string("\x80", 1) + std::string(15, '\0'));
}

TEST(Rotate, RefusesWhatItCannotTurnAndWritesNothing) {
    std::string dir = scratchDir("rotate");
    // clang-format off
    struct Case {
        const char* name;
        std::string contents;
        int angle;
    } cases[] = {
        {"plain.pbm", "P1\n2 2\n0 1\n1 0\n", -90},
        {"gray.pgm", "P5\n2 2\n255\n....", -90},
        {"nosize.pbm", "P4\n# only a comment", -90},
        {"zero.pbm", "P4\n0 5\n", -90},
        {"angle.pbm", pbm(8, 1, "\xff"), 45},
    };
    // clang-format on
    for (const Case& c : cases) {
        std::string in = dir + "/" + c.name, out = in + ".out";
        writeFile(in, c.contents);
        testing::internal::CaptureStderr();
        EXPECT_EQ(rotatePbm(in.c_str(), out.c_str(), c.angle), 1) << c.name;
        std::string log = testing::internal::GetCapturedStderr();
        EXPECT_FALSE(exists(out)) << c.name;
        if (c.contents[1] != '4') {
            EXPECT_EQ(log, "Unsupported format or not a PBM file.\n");
        }
    }
    testing::internal::CaptureStderr();
    EXPECT_EQ(rotatePbm((dir + "/absent").c_str(), (dir + "/o").c_str(), -90), 1);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("Error opening input file"),
              std::string::npos);
    EXPECT_FALSE(exists(dir + "/o"));
}

struct PathGuard {
    std::string saved = getenv("PATH");
    explicit PathGuard(const std::string& path) { setenv("PATH", path.c_str(), 1); }
    ~PathGuard() { setenv("PATH", saved.c_str(), 1); }
};

TEST(Encoder, RunsPbmtojbgWithTheFixedOptionsInOrder) {
    std::string dir = scratchDir("encoder");
    PathGuard path(standInEncoder(dir, "exec /usr/bin/pbmtojbg \"$@\""));
    writeFile(dir + "/5_1_gs.pbm", pbm(800, 600, std::string(100 * 600, '\0')));
    std::string in = dir + "/5_1_gs.pbm", out = dir + "/5-1.jbg";
    testing::internal::CaptureStderr();
    pbmtojbg(in.c_str(), out.c_str());
    std::string log = testing::internal::GetCapturedStderr();
    std::string args = "-q -x 800 -y 600 -r -s 128 -o 0 -p 8 -m 0 " + in + " " + out + "\n";
    EXPECT_EQ(readFile(dir + "/args"), args);
    EXPECT_EQ(log, "DEBUG: pbmtojbg. width:[800], height:[600], pbm_file:[" + in +
                       "]DEBUG: pbmtojbg: pbmtojbg " + args);
    EXPECT_TRUE(exists(out));
}

// An encoder that outlives its deadline is stopped, with its children, and
// its page fails; it is never waited for without end.
TEST(Encoder, HungEncoderIsStoppedAtItsDeadline) {
    std::string dir = scratchDir("hung");
    PathGuard path(standInEncoder(dir, "sleep 1000 & echo $! > " + dir + "/child; wait"));
    std::string in = dir + "/5_1_gs.pbm", out = dir + "/5-1.jbg";
    writeFile(in, pbm(8, 2, std::string(2, '\0')));
    EncoderRun run;
    testing::internal::CaptureStderr();
    ASSERT_EQ(startPbmtojbg(in.c_str(), out.c_str(), &run), ENCODED);
    run.deadline_ms = monotonicMs() + 300;
    EncoderOutcome outcome = finishPbmtojbg(&run);
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(outcome, ENCODE_FAILED);
    EXPECT_NE(log.find("ERROR: JBIG encoder pbmtojbg did not finish in time"), std::string::npos);
    EXPECT_FALSE(exists(out));
    // Killed, it is reaped by whoever adopted it, soon.
    pid_t child = (pid_t)std::stoi("0" + readFile(dir + "/child"));
    ASSERT_GT(child, 0);
    for (int i = 0; i < 200 && kill(child, 0) == 0; i++) usleep(10 * 1000);
    EXPECT_NE(kill(child, 0), 0) << "the encoder's child runs on";
}

TEST(Encoder, RoundTripsThroughTheRealCodecForAnyWidth) {
    std::string dir = scratchDir("encoder");
    for (unsigned width : {800u, 803u, 1u, 13u}) {
        RasterPage page;
        page.width = width;
        page.height = 300;
        page.pattern = Pattern::Noise;
        std::vector<unsigned char> rows = patternRows(page);
        std::string in = dir + "/p.pbm", out = dir + "/p.jbg";
        writeFile(in, pbm((int)width, 300, std::string(rows.begin(), rows.end())));
        testing::internal::CaptureStderr();
        pbmtojbg(in.c_str(), out.c_str());
        testing::internal::GetCapturedStderr();
        Bitmap decoded = decodeJbig(readFile(out));
        EXPECT_EQ(decoded.width, (int)width);
        EXPECT_EQ(decoded.height, 300);
        EXPECT_TRUE(decoded.rows == std::string(rows.begin(), rows.end())) << width;
    }
}

TEST(Encoder, LeavesNoJbigFileWhenItCannotRunOrFails) {
    std::string dir = scratchDir("encoder");
    std::string in = dir + "/1_1_gs.pbm", out = dir + "/1-1.jbg";
    writeFile(in, pbm(8, 8, std::string(8, '\x55')));
    // clang-format off
    struct Case {
        const char* name;
        const char* then;  // nullptr: no encoder on PATH at all
        const char* error;
    } cases[] = {
        {"missing", nullptr, "ERROR: Unable to start the JBIG encoder"},
        {"fails", "echo partial > \"$last\"; exit 3", "failed with status 3"},
        {"killed", "echo partial > \"$last\"; kill -SEGV $$", "signal 11"},
    };
    // clang-format on
    for (const Case& c : cases) {
        writeFile(out, "stale");
        PathGuard path(c.then ? standInEncoder(dir, c.then) : "/nonexistent");
        testing::internal::CaptureStderr();
        pbmtojbg(in.c_str(), out.c_str());
        std::string log = testing::internal::GetCapturedStderr();
        EXPECT_FALSE(exists(out)) << c.name;
        EXPECT_NE(log.find(c.error), std::string::npos) << c.name << ": " << log;
        EXPECT_NE(log.find(in), std::string::npos) << c.name;
    }
}

TEST(Encoder, RunsNothingForAMissingOrUnreadablePbm) {
    std::string dir = scratchDir("encoder");
    std::string out = dir + "/x.jbg";
    testing::internal::CaptureStderr();
    pbmtojbg((dir + "/absent.pbm").c_str(), out.c_str());
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find("Error opening input file"), std::string::npos);
    EXPECT_EQ(log.find("DEBUG: pbmtojbg."), std::string::npos);

    writeFile(dir + "/bad.pbm", "P4\n-3 2\n");
    testing::internal::CaptureStderr();
    pbmtojbg((dir + "/bad.pbm").c_str(), out.c_str());
    log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(log.find("DEBUG: pbmtojbg."), std::string::npos);
    EXPECT_FALSE(exists(out));
}

}  // namespace

// Encoded in memory, a page is byte for byte what the encoder program
// makes of it: odd widths, stripe edges (128 rows a stripe), one pixel,
// dirty padding bits, and a page of the printer's real size.
TEST(Encoder, InMemoryEncodingIsPbmtojbgsByteForByte) {
    std::string dir = scratchDir("in-memory");
    // clang-format off
    const RasterPage pages[] = {
        {1, 1, Pattern::Black},       {13, 127, Pattern::Noise},   {803, 128, Pattern::Noise},
        {800, 129, Pattern::Checker}, {9, 300, Pattern::Black},    {64, 257, Pattern::Diagonal},
        {4758, 400, Pattern::Corners},
    };
    // clang-format on
    for (const RasterPage& page : pages) {
        std::vector<unsigned char> rows = patternRows(page);
        std::string in = dir + "/p.pbm";
        writeFile(in,
                  pbm((int)page.width, (int)page.height, std::string(rows.begin(), rows.end())));
        std::string by_program = dir + "/program.jbg";
        testing::internal::CaptureStderr();
        EXPECT_EQ(pbmtojbg(in.c_str(), by_program.c_str()), ENCODED);
        // On one thread, and cut into two runs of stripes on two.
        for (int runs : {1, 2}) {
            unsigned char* bits = (unsigned char*)malloc(rows.size());
            memcpy(bits, rows.data(), rows.size());
            EncoderRun run;
            unsigned char* jbig = nullptr;
            int64_t size = 0;
            ASSERT_EQ(
                startBitmapEncoding(bits, (int)page.width, (int)page.height, "page 1", &run, runs),
                ENCODED);
            EXPECT_EQ(finishBitmapEncoding(&run, &jbig, &size), ENCODED);
            std::string name = std::to_string(page.width) + "x" + std::to_string(page.height) +
                               " in " + std::to_string(runs);
            EXPECT_FALSE(readFile(by_program).empty()) << name;
            EXPECT_TRUE(std::string((char*)jbig, (size_t)size) == readFile(by_program)) << name;
            free(jbig);
        }
        std::string log = testing::internal::GetCapturedStderr();
        EXPECT_NE(log.find("page 1 (" + std::to_string(page.width) + " x"), std::string::npos)
            << page.width;
    }
}
