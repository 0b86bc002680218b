#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "FilterRun.h"
#include "Utility/Credentials.h"
#include "Utility/Log.h"
#include "Utility/Text.h"
#include "Utility/WorkDir.h"

namespace {

std::string docName(const std::string& title) {
    char buffer[DOC_NAME_SIZE];
    memset(buffer, 0, sizeof(buffer));
    char* name = buffer;
    testing::internal::CaptureStderr();
    getDocumenName(title.c_str(), &name);
    testing::internal::GetCapturedStderr();
    return buffer;
}

// The scheduler reads control words only at line starts: a control line
// always starts one, the message's own text (line ends included) is kept,
// and no value can start a line or show a secret.
TEST(JobLog, ControlLinesStartALineAndValuesCannotForgeOne) {
    testing::internal::CaptureStderr();
    logMsg("DEBUG: before\n");
    logMsg("DEBUG: A5L need rotate.[-90]");
    logMsg("ERROR: Unable to print page %d\n", 1);
    logMsg("DEBUG: pbmtojbg. width:[%d]", 8);
    logMsg("%s", "pbmtojbg: no space\n");
    logMsg("DEBUG: pbmtojbg: %s\n", "cmd");
    logText("DEBUG: Duplex is amend to OFF. Cause of Duplex ON + A5L. \n");
    logMsg("WARNING: title %s\n", "a\nSTATE: +media-empty\x1b");
    HeldLog held;
    logMsg("DEBUG: open");
    holdLog(&held);
    logMsg("INFO: Printing page %d\n", 2);
    logMsg("DEBUG: held");
    logMsg("PAGE: %d %d\n", 1, 1);
    holdLog(nullptr);
    releaseHeldLog(&held);
    HeldLog dropped;
    holdLog(&dropped);
    logMsg("INFO: Printing page %d\n", 3);
    holdLog(nullptr);
    discardHeldLog(&dropped);
    logSecret("hunter2");
    logMsg("DEBUG: argv[5]=%s %5.2f%%\n", "AuthPassword=hunter2 x", 1.5);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "DEBUG: before\n"
              "DEBUG: A5L need rotate.[-90]\nERROR: Unable to print page 1\n"
              "DEBUG: pbmtojbg. width:[8]pbmtojbg: no space\\nDEBUG: pbmtojbg: cmd\n"
              "DEBUG: Duplex is amend to OFF. Cause of Duplex ON + A5L. \n"
              "WARNING: title a\\nSTATE: +media-empty\\x1b\n"
              "DEBUG: open\nINFO: Printing page 2\nDEBUG: held\nPAGE: 1 1\n"
              "DEBUG: argv[5]=AuthPassword=******** x  1.50%\n");
}

// A host is told what the log's control lines say, values escaped as
// there, and lines held back are told when they are written, or never.
TEST(JobLog, HostIsToldOfRecordsWarningsAndErrorsAsTheyAreWritten) {
    std::string told;
    JobContext context;
    context.log_sink = [](void*, const char*, size_t) {};
    context.event_sink = [](void* data, const JobEvent& event) {
        static const char* const kKinds[] = {"record", "warning", "error"};
        *static_cast<std::string*>(data) += std::string(kKinds[event.kind]) + " " +
                                            std::to_string(event.page) + " " + event.reason + "|";
    };
    context.event_sink_data = &told;
    JobScope scope(&context);
    logMsg("ERROR: Unable to print page %d\n", 1);
    logMsg("DEBUG: WARNING: not a control line\n");
    logMsg("WARNING: title %s\n", "a\nERROR: forged");
    HeldLog held, dropped;
    holdLog(&held);
    logMsg("WARNING: Page %d is cut short\n", 2);
    JobEvent record;
    record.page = 2;
    jobEvent(record);
    holdLog(&dropped);
    logMsg("ERROR: never printed\n");
    holdLog(nullptr);
    discardHeldLog(&dropped);
    EXPECT_EQ(told, "error 0 Unable to print page 1|warning 0 title a\\nERROR: forged|");
    releaseHeldLog(&held);
    EXPECT_EQ(told,
              "error 0 Unable to print page 1|warning 0 title a\\nERROR: forged|"
              "warning 0 Page 2 is cut short|record 2 |");
}

TEST(DocumentName, TakesTheFileNameEndedAfterItsExtension) {
    EXPECT_EQ(docName("/home/u/report.pdf"), "report.pdf");
    EXPECT_EQ(docName("report.pdf (2)"), "report.pdf");
    EXPECT_EQ(docName("my report"), "my report");
    EXPECT_EQ(docName("a/b y.d e"), "b y.d");
    EXPECT_EQ(docName("/tmp/x/a.b z"), "a.b");
    EXPECT_EQ(docName(""), "");
    EXPECT_EQ(docName("dir/"), "");
}

TEST(DocumentName, CutsALongTitleAtTheBuffer) {
    EXPECT_EQ(docName("/x/" + std::string(600, 'n')), std::string(255, 'n'));
}

struct Credentials {
    int result;
    std::string id, password, log;
};

Credentials readCredentials(const std::string& path) {
    char id[AUTH_FIELD_SIZE], password[AUTH_FIELD_SIZE];
    memset(id, 0, sizeof(id));
    memset(password, 0, sizeof(password));
    char* id_ptr = id;
    char* password_ptr = password;
    testing::internal::CaptureStderr();
    int result = getAuthInfoFrom(path.c_str(), &id_ptr, &password_ptr);
    return {result, id, password, testing::internal::GetCapturedStderr()};
}

TEST(Credentials, ReadsBothMembersAndMasksThePasswordInTheLog) {
    std::string dir = scratchDir("credentials");
    writeFile(dir + "/auth", R"({"AuthID":"user7","Password":"s3cret","Other":1})");
    Credentials c = readCredentials(dir + "/auth");
    EXPECT_EQ(c.result, 1);
    EXPECT_EQ(c.id, "user7");
    EXPECT_EQ(c.password, "s3cret");
    EXPECT_NE(c.log.find("DEBUG: AuthID: user7\n"), std::string::npos);
    EXPECT_EQ(c.log.find("s3cret"), std::string::npos);
}

TEST(Credentials, MissingMembersAndNonStringsLeaveTheirFieldEmpty) {
    std::string dir = scratchDir("credentials");
    writeFile(dir + "/auth", R"({"AuthID":"only"})");
    Credentials c = readCredentials(dir + "/auth");
    EXPECT_EQ(c.result, 1);
    EXPECT_EQ(c.id, "only");
    EXPECT_EQ(c.password, "");

    writeFile(dir + "/auth", R"({"AuthID":5,"Password":["x"]})");
    c = readCredentials(dir + "/auth");
    EXPECT_EQ(c.result, 1);
    EXPECT_EQ(c.id, "");
    EXPECT_EQ(c.password, "");
}

TEST(Credentials, CutsOverLongValuesAtTheirBuffers) {
    std::string dir = scratchDir("credentials");
    writeFile(dir + "/auth", "{\"AuthID\":\"" + std::string(500, 'i') + "\",\"Password\":\"" +
                                 std::string(300, 'p') + "\"}");
    Credentials c = readCredentials(dir + "/auth");
    EXPECT_EQ(c.id, std::string(127, 'i'));
    EXPECT_EQ(c.password, std::string(127, 'p'));
}

TEST(Credentials, UnusableFilesCountAsNoCredentials) {
    std::string dir = scratchDir("credentials");
    writeFile(dir + "/bad", "{not json");
    Credentials c = readCredentials(dir + "/bad");
    EXPECT_EQ(c.result, 0);
    EXPECT_NE(c.log.find("DEBUG: Error parsing JSON\n"), std::string::npos);

    c = readCredentials(dir + "/absent");
    EXPECT_EQ(c.result, 0);
    EXPECT_NE(c.log.find("DEBUG: auth_file is not found!\n"), std::string::npos);

    // A FIFO nobody writes to must not block the job.
    ASSERT_EQ(mkfifo((dir + "/fifo").c_str(), 0600), 0);
    c = readCredentials(dir + "/fifo");
    EXPECT_EQ(c.result, 0);

    writeFile(dir + "/huge", "{\"AuthID\":\"" + std::string(AUTH_FILE_MAX, 'h') + "\"}");
    c = readCredentials(dir + "/huge");
    EXPECT_EQ(c.result, 0);

    c = readCredentials(dir);  // a directory
    EXPECT_EQ(c.result, 0);
}

TEST(WorkDir, IsEmptiedWithoutFollowingLinks) {
    std::string dir = scratchDir("workdir");
    std::string work = dir + "/work";
    std::string outside = dir + "/outside";
    ASSERT_EQ(mkdir(outside.c_str(), 0755), 0);
    writeFile(outside + "/keep", "precious");
    ASSERT_EQ(mkdir(work.c_str(), 0755), 0);
    ASSERT_EQ(mkdir((work + "/sub").c_str(), 0755), 0);
    writeFile(work + "/sub/page.pbm", "x");
    writeFile(work + "/1-1.jbg", "x");
    ASSERT_EQ(symlink(outside.c_str(), (work + "/link").c_str()), 0);

    EXPECT_EQ(openWorkDir((work + "/").c_str()), 0);
    EXPECT_GE(workDir().fd, 0);
    closeWorkDir();
    EXPECT_EQ(rmdir(work.c_str()), 0) << "not emptied";
    EXPECT_EQ(readFile(outside + "/keep"), "precious");
}

TEST(WorkDir, ReplacesALinkOrFilePlantedAtItsPath) {
    std::string dir = scratchDir("workdir");
    std::string work = dir + "/work";
    std::string outside = dir + "/outside";
    ASSERT_EQ(mkdir(outside.c_str(), 0755), 0);
    writeFile(outside + "/keep", "precious");
    ASSERT_EQ(symlink(outside.c_str(), work.c_str()), 0);

    EXPECT_EQ(openWorkDir((work + "/").c_str()), 0);
    closeWorkDir();
    struct stat st;
    ASSERT_EQ(lstat(work.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(readFile(outside + "/keep"), "precious");

    rmdir(work.c_str());
    writeFile(work, "a file");
    EXPECT_EQ(openWorkDir(work.c_str()), 0);
    closeWorkDir();
    ASSERT_EQ(lstat(work.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
}

TEST(WorkDir, FilesOfARunningJobAreKept) {
    std::string work = scratchDir("workdir") + "/work";
    ASSERT_EQ(mkdir(work.c_str(), 0755), 0);
    writeFile(work + "/3_1_gs.pbm", "running job's page");
    int running = open(work.c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_EQ(flock(running, LOCK_SH), 0);

    testing::internal::CaptureStderr();
    EXPECT_EQ(openWorkDir(work.c_str()), 0);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("in use by another job"),
              std::string::npos);
    EXPECT_EQ(readFile(work + "/3_1_gs.pbm"), "running job's page");
    closeWorkDir();

    close(running);  // the job ended: the next one empties the directory
    EXPECT_EQ(openWorkDir(work.c_str()), 0);
    closeWorkDir();
    EXPECT_EQ(access((work + "/3_1_gs.pbm").c_str(), F_OK), -1);
}

TEST(Mkdirs, CreatesEveryMissingParent) {
    std::string dir = scratchDir("mkdirs");
    EXPECT_EQ(mkdirs((dir + "/a/b/c/").c_str()), 0);
    struct stat st;
    EXPECT_EQ(stat((dir + "/a/b/c").c_str(), &st), 0);
    writeFile(dir + "/file", "x");
    EXPECT_EQ(mkdirs((dir + "/file").c_str()), 1);
}

TEST(CreateWorkFile, ReplacesALinkPlantedAtThePageNameWithAPrivateFile) {
    std::string dir = scratchDir("workfile");
    writeFile(dir + "/target", "keep");
    ASSERT_EQ(symlink((dir + "/target").c_str(), (dir + "/1_1_gs.pbm").c_str()), 0);
    FILE* file = createWorkFile((dir + "/1_1_gs.pbm").c_str());
    ASSERT_NE(file, nullptr);
    fclose(file);
    EXPECT_EQ(readFile(dir + "/target"), "keep");
    struct stat st;
    ASSERT_EQ(lstat((dir + "/1_1_gs.pbm").c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    // Nor is a page file read back through a link.
    ASSERT_EQ(unlink((dir + "/1_1_gs.pbm").c_str()), 0);
    ASSERT_EQ(symlink((dir + "/target").c_str(), (dir + "/1_1_gs.pbm").c_str()), 0);
    EXPECT_EQ(openWorkFile((dir + "/1_1_gs.pbm").c_str()), nullptr);
}

}  // namespace
