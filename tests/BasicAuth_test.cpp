// Basic credentials are read strictly: what libcups's own decoder would let
// through (junk after the base64, padding in the middle, a line break in the
// name that would become a job's owner) is refused.
#include "app/system/gate/BasicAuth.h"

#include <gtest/gtest.h>

TEST(BasicAuth, CredentialsAreReadStrictly) {
    struct Row {
        const char* header;
        bool read;
        const char* user;
        const char* password;
    } const kRows[] = {
        {"Basic YWxpY2U6c2VjcmV0", true, "alice", "secret"},       // alice:secret
        {"Basic YWxpY2U6", true, "alice", ""},                     // alice:
        {"Basic YWxpY2U6c2VjcmV0IQ==", true, "alice", "secret!"},  // padded twice
        {"Basic YWxpY2U6cGFzczo=", true, "alice", "pass:"},        // colon in password
        {"Basic YWxpY2U6c2VjcmV0!!junk", false, "", ""},           // junk after it
        {"Basic YWxpY2U6c2VjcmV0 ", false, "", ""},                // trailing blank
        {"Basic YWxp=2U6c2VjcmV0", false, "", ""},                 // padding inside
        {"Basic YWxpY2U6c2VjcmV0IR==", false, "", ""},             // not canonical
        {"Basic YWxpY2UKSG9sZE5ld0pvYnM6eA==", false, "", ""},     // alice\nHoldNewJobs:x
        {"Basic OnNlY3JldA==", false, "", ""},                     // no user
        {"Basic YWxpY2U=", false, "", ""},                         // no colon
        {"Basic ", false, "", ""},
        {"Bearer YWxpY2U6c2VjcmV0", false, "", ""},
        {nullptr, false, "", ""},
    };
    for (const Row& row : kRows) {
        std::string user, password;
        EXPECT_EQ(readBasicCredentials(row.header, &user, &password), row.read)
            << (row.header ? row.header : "(none)");
        if (row.read) {
            EXPECT_EQ(user, row.user) << row.header;
            EXPECT_EQ(password, row.password) << row.header;
        }
    }
    std::string user, password;
    std::string huge = "Basic " + std::string(4096, 'Q');
    EXPECT_FALSE(readBasicCredentials(huge.c_str(), &user, &password));
}
