#include "JobParamsProc/JobParamsProc.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "Utility/Log.h"

namespace {

struct Table {
    PARAM_KEY_SPERATOR_VALUE rows[PARAM_ROWS];
    Table() { memcpy(rows, tblDefParam, sizeof(rows)); }
    std::string get(const char* key) {
        char* value = nullptr;
        GetJobParam(key, &value, rows);
        return value ? value : "<none>";
    }
    std::string build() {
        char text[JOB_PARAMS_SIZE];
        memset(text, 'x', sizeof(text));
        char* out = text;
        BuildJobParams(&out, rows);
        return text;
    }
};

std::string captured(void (*body)(Table*), Table* table) {
    testing::internal::CaptureStderr();
    body(table);
    return testing::internal::GetCapturedStderr();
}

TEST(JobParamsDefaults, SerialiseToTheDocumentedText) {
    Table table;
    std::string text = table.build();
    EXPECT_EQ(text.size(), 352u);
    EXPECT_EQ(text.rfind("PageSize=A4, Resolution=600dpi, resX=600dpi,", 0), 0u);
    EXPECT_EQ(text.substr(text.size() - 36), "LoginName=, AuthID=, AuthPassword=, ");
    EXPECT_NE(text.find("job-uuid=, "), std::string::npos);
}

TEST(JobParamsDefaults, TableIsNeverWritten) {
    Table table;
    SetJobParam("PageSize", "Letter", table.rows);
    EXPECT_STREQ(tblDefParam[0].value, "A4");
}

TEST(SetJobParam, ClearsTheOldValueAndIgnoresUnknownOrMiscasedKeys) {
    Table table;
    SetJobParam("Resolution", "12", table.rows);
    EXPECT_EQ(table.get("Resolution"), "12");
    EXPECT_EQ(table.rows[1].value[3], '\0');
    testing::internal::CaptureStderr();
    SetJobParam("pagesize", "A5", table.rows);
    SetJobParam("NoSuchKey", "A5", table.rows);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(table.get("PageSize"), "A4");
    EXPECT_EQ(table.get("pagesize"), "<none>");
}

TEST(SetJobParam, CutsAnOverLongValueAtTheField) {
    Table table;
    std::string long_value(1000, 'v');
    SetJobParam("DocName", long_value.c_str(), table.rows);
    EXPECT_EQ(table.get("DocName"), std::string(255, 'v'));
    EXPECT_STREQ(table.rows[19].key, "HostName");  // the next row is intact
}

TEST(GetJobParamFromCups, SplitsAtSpacesOnly) {
    Table table;
    std::string log = captured(
        [](Table* t) { GetJobParamFromCups("PageSize=Letter Collate=True", t->rows); }, &table);
    EXPECT_EQ(table.get("PageSize"), "Letter");
    EXPECT_EQ(table.get("Collate"), "True");
    EXPECT_NE(log.find("One_Param:PageSize=Letter , Len:15\n"), std::string::npos);

    log = captured([](Table* t) { GetJobParamFromCups("a  b\tc", t->rows); }, &table);
    EXPECT_NE(log.find("One_Param: , Len:0\n"), std::string::npos);
    EXPECT_NE(log.find("One_Param:b\\tc , Len:3\n"), std::string::npos);

    log = captured([](Table* t) { GetJobParamFromCups("", t->rows); }, &table);
    EXPECT_EQ(log, "");
}

TEST(SetJobParams, TakesTheFirstRowWhoseKeyOccursAndCutsFromTheTokenStart) {
    // clang-format off
    struct Case {
        const char* token;
        const char* key;
        const char* expected;
    } cases[] = {
        {"InputSlot=Duplex", "Duplex", "ot=Duplex"},
        {"date-time-at-creation=7", "date-time-at-creation", "7"},
        {"time-at-creation=7", "time-at-creation", "7"},
        {"job-uuid=", "job-uuid", ""},
        {"Collate", "Collate", "False"},
    };
    // clang-format on
    for (const Case& c : cases) {
        Table table;
        char token[PARAM_TOKEN_SIZE];
        snprintf(token, sizeof(token), "%s", c.token);
        SetJobParams(token, table.rows);
        EXPECT_EQ(table.get(c.key), c.expected) << c.token;
    }
    Table table;
    char token[] = "InputSlot=Duplex";
    SetJobParams(token, table.rows);
    EXPECT_EQ(table.get("InputSlot"), "MainTray");
    EXPECT_EQ(table.get("date-time-at-creation"), "");
}

TEST(SetJobParams, LogsUnchangedValueForATokenWithoutValue) {
    Table table;
    std::string log = captured(
        [](Table* t) {
            char token[] = "Collate";
            SetJobParams(token, t->rows);
        },
        &table);
    EXPECT_EQ(log, "Key:Collate , Length:7\nValue:False , Length:5\n");
}

TEST(GetJobParamFromCups, BoundsOverLongTokens) {
    Table table;
    std::string options = "DocName=" + std::string(2000, 'd') + " copies=3";
    GetJobParamFromCups(options.c_str(), table.rows);
    EXPECT_EQ(table.get("DocName"), std::string(255, 'd'));
    EXPECT_EQ(table.get("copies"), "3");
}

// No value can add an entry: the printer splits the text at ", ". Cuts at
// a field's size never split a UTF-8 character.
TEST(BuildJobParams, ValuesAddNoEntryAndCutsStayWithinBuffersAndCharacters) {
    Table table;
    SetJobParam("DocName", "report, AuthID=boss, copies=999", table.rows);
    SetJobParam("LoginName", "eve\r\nLoginName=admin", table.rows);
    SetJobParam("AuthID", (std::string(254, 'i') + "\xc3\xa9").c_str(), table.rows);
    std::string built = table.build();
    EXPECT_NE(built.find("DocName=report  AuthID=boss  copies=999, "), std::string::npos);
    EXPECT_NE(built.find("LoginName=eve  LoginName=admin, "), std::string::npos);
    EXPECT_NE(built.find("AuthID=" + std::string(254, 'i') + ", "), std::string::npos);
    for (const char* key : {"AuthID=", "copies=", "LoginName="}) {
        size_t first = built.find(std::string(", ") + key);
        EXPECT_EQ(built.find(std::string(", ") + key, first + 1), std::string::npos) << key;
    }

    for (int i = 0; i < PARAM_ROWS; i++) {
        SetJobParam(table.rows[i].key, std::string(255, 'z').c_str(), table.rows);
    }
    std::string text = table.build();
    EXPECT_EQ(text.size(), JOB_PARAMS_SIZE - 1);
}

TEST(PasswordMasking, NoLogLineShowsThePassword) {
    Table table;
    testing::internal::CaptureStderr();
    GetJobParamFromCups("AuthPassword=hunter2 PageSize=A5", table.rows);
    SetJobParam("AuthPassword", "hunter2", table.rows);
    table.get("AuthPassword");
    std::string text = table.build();
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(log.find("hunter2"), std::string::npos) << log;
    EXPECT_NE(log.find(PASSWORD_MASK), std::string::npos);
    EXPECT_NE(text.find("AuthPassword=hunter2, "), std::string::npos);  // the printer gets it

    testing::internal::CaptureStderr();
    registerOptionSecrets("a=1 AuthPassword=pw b=2", tblDefParam);
    logMsg("DEBUG: argv[5]=%s\n", "a=1 AuthPassword=pw b=2");
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "DEBUG: argv[5]=a=1 AuthPassword=******** b=2\n");
    forgetLogSecrets();
}

TEST(JobBlock, IsMagicLengthAndTextWithoutTerminator) {
    char* buffer = nullptr;
    size_t size = 0;
    FILE* out = open_memstream(&buffer, &size);
    writeJobBlock(out, "PageSize=A4, ", 13);
    fclose(out);
    std::string block(buffer, size);
    free(buffer);
    ASSERT_EQ(block.size(), 16u + 4u + 13u);
    EXPECT_EQ(block.substr(0, 16), std::string("rx7316_param\0\0\0\0", 16));
    EXPECT_EQ(block.substr(16, 4), std::string("\x0d\0\0\0", 4));
    EXPECT_EQ(block.substr(20), "PageSize=A4, ");
}

}  // namespace
