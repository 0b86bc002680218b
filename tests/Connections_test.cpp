// The connection table holds each host to its share and the server to its
// total, and gives a place back when a connection ends; Host: names and the
// server options are read as an administrator writes them.
#include "app/system/gate/Connections.h"

#include <gtest/gtest.h>

#include "app/system/gate/ServerOptions.h"

TEST(Connections, EachHostAndTheServerHoldTheirShare) {
    ConnectionLimits limits;
    limits.host_connections = 2;
    limits.connections = 3;
    ConnectionTable table;
    std::string why;
    EXPECT_TRUE(admitConnection(&table, limits, "10.0.0.1", &why));
    EXPECT_TRUE(admitConnection(&table, limits, "10.0.0.1", &why));
    EXPECT_FALSE(admitConnection(&table, limits, "10.0.0.1", &why));
    EXPECT_NE(why.find("10.0.0.1 holds 2"), std::string::npos) << why;
    EXPECT_TRUE(admitConnection(&table, limits, "10.0.0.2", &why));
    EXPECT_FALSE(admitConnection(&table, limits, "10.0.0.3", &why));  // the server is full
    EXPECT_EQ(table.per_host.count("10.0.0.3"), 0u);                  // and keeps no entry
    releaseConnection(&table, "10.0.0.1");
    EXPECT_TRUE(admitConnection(&table, limits, "10.0.0.3", &why));
    releaseConnection(&table, "10.0.0.9");  // never admitted: nothing changes
    EXPECT_EQ(table.total, 3);
    for (const char* host : {"10.0.0.1", "10.0.0.2", "10.0.0.3"}) releaseConnection(&table, host);
    EXPECT_EQ(table.total, 0);
    EXPECT_TRUE(table.per_host.empty());
}

TEST(Connections, HostsAndNamesAreComparedAsTheyAreMeant) {
    EXPECT_EQ(countedHost("[v1.::ffff:10.77.0.2]"), "10.77.0.2");
    EXPECT_EQ(countedHost("::FFFF:10.77.0.2"), "10.77.0.2");
    EXPECT_EQ(countedHost("[v1.fe80::1]"), "[v1.fe80::1]");
    const std::vector<std::string> names = {"localhost", "printhost", "[::1]", "print.example"};
    struct Row {
        const char* host;
        bool allowed;
    } const kRows[] = {
        {"localhost:8000", true},
        {"LOCALHOST", true},
        {"printhost.:631", true},
        {"[::1]:8000", true},
        {"Print.Example", true},
        {"127-0-0-1.rebind.example", false},
        {"localhost.rebind.example", false},
        {"printhost.local.evil", false},
        {"[::1", false},
        {":8000", false},
        {"", false},
        {nullptr, false},
    };
    for (const Row& row : kRows) {
        EXPECT_EQ(hostAllowed(row.host, names), row.allowed) << (row.host ? row.host : "(none)");
    }
}

TEST(Connections, OptionsAreReadOrRefused) {
    struct Row {
        const char* name;
        const char* value;
        bool read;
    } const kRows[] = {
        {"max-host-connections", "8", true}, {"max-host-connections", "0", false},
        {"max-connections", "20000", false}, {"request-timeout", "5", true},
        {"request-timeout", "5s", false},    {"min-upload-rate", "4k", true},
        {"max-document-size", "64m", true},  {"max-document-size", "-1", false},
        {"max-document-size", "2g", true},   {"server-alias", "a.example,,b.example", true},
    };
    for (const Row& row : kRows) {
        cups_option_t option = {const_cast<char*>(row.name), const_cast<char*>(row.value)};
        ConnectionLimits limits;
        std::string why;
        EXPECT_EQ(readConnectionOptions(1, &option, &limits, &why), row.read)
            << row.name << "=" << row.value << ": " << why;
        if (!row.read) {
            EXPECT_NE(why.find(row.name), std::string::npos) << why;
        }
    }
    // (libcups looks options up in the order cupsAddOption keeps.)
    cups_option_t* options = nullptr;
    int count = cupsAddOption("min-upload-rate", "4k", 0, &options);
    count = cupsAddOption("max-document-size", "64m", count, &options);
    count = cupsAddOption("server-alias", "a,,b", count, &options);
    ConnectionLimits limits;
    std::string why;
    ASSERT_TRUE(readConnectionOptions(count, options, &limits, &why)) << why;
    cupsFreeOptions(count, options);
    EXPECT_EQ(limits.min_body_rate, 4096);
    EXPECT_EQ(limits.max_document, 64LL << 20);
    EXPECT_EQ(limits.aliases, (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(sizeText(200 << 10), "200 KiB");
    EXPECT_EQ(sizeText(1LL << 30), "1 GiB");
    EXPECT_EQ(sizeText((1 << 20) + 1), "1048577 bytes");
}
