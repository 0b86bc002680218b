// The gate's check of a request's form: each refusal beside a request of the
// same kind that passes, and real clients' requests passing whole.
#include "app/system/gate/RequestCheck.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr const char* kPrinter = "ipp://localhost:8631/ipp/print/p";

ipp_t* request(ipp_op_t op) {
    ipp_t* r = ippNewRequest(op);  // with attributes-charset and -natural-language
    ippAddString(r, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, kPrinter);
    ippAddString(r, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr, "alice");
    return r;
}

ipp_t* printJob(const char* job_name) {
    ipp_t* r = request(IPP_OP_PRINT_JOB);
    ippAddString(r, IPP_TAG_OPERATION, IPP_TAG_NAME, "job-name", nullptr, job_name);
    ippAddString(r, IPP_TAG_OPERATION, IPP_TAG_MIMETYPE, "document-format", nullptr,
                 "application/pdf");
    return r;
}

ipp_t* withJobUuid(const char* uuid) {
    ipp_t* r = printJob("report");
    ippAddString(r, IPP_TAG_JOB, IPP_TAG_URI, "job-uuid", nullptr, uuid);
    return r;
}

ipp_t* mediaCol(const char* size_name, int x, const char* source) {
    ipp_t* media = ippNew();
    if (size_name != nullptr) {
        ippAddString(media, IPP_TAG_ZERO, IPP_TAG_KEYWORD, "media-size-name", nullptr, size_name);
    } else {
        ipp_t* size = ippNew();
        ippAddInteger(size, IPP_TAG_ZERO, IPP_TAG_INTEGER, "x-dimension", x);
        ippAddInteger(size, IPP_TAG_ZERO, IPP_TAG_INTEGER, "y-dimension", 29700);
        ippAddCollection(media, IPP_TAG_ZERO, "media-size", size);
        ippDelete(size);
    }
    if (source != nullptr) {
        ippAddString(media, IPP_TAG_ZERO, IPP_TAG_KEYWORD, "media-source", nullptr, source);
    }
    ippAddString(media, IPP_TAG_ZERO, IPP_TAG_KEYWORD, "media-type", nullptr, "stationery");
    ippAddInteger(media, IPP_TAG_ZERO, IPP_TAG_INTEGER, "media-top-margin", 423);
    return media;
}

void addCollection(ipp_t* r, ipp_tag_t group, const char* name, ipp_t* value) {
    ippAddCollection(r, group, name, value);
    ippDelete(value);
}

ipp_t* printJobWithMedia(ipp_t* media) {
    ipp_t* r = printJob("report");
    ippAddInteger(r, IPP_TAG_JOB, IPP_TAG_INTEGER, "copies", 2);
    addCollection(r, IPP_TAG_JOB, "media-col", media);
    return r;
}

ipp_t* getJobs(int keywords) {
    ipp_t* r = request(IPP_OP_GET_JOBS);
    std::vector<std::string> names;
    for (int i = 0; i < keywords; i++) names.push_back("job-attribute-" + std::to_string(i));
    std::vector<const char*> values;
    for (const std::string& name : names) values.push_back(name.c_str());
    ippAddStrings(r, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", keywords, nullptr,
                  values.data());
    ippAddString(r, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "which-jobs", nullptr, "completed");
    ippAddBoolean(r, IPP_TAG_OPERATION, "my-jobs", 1);
    return r;
}

void addSubscription(ipp_t* r) {
    static const char* const kEvents[] = {"printer-state-changed", "printer-config-changed"};
    ippAddStrings(r, IPP_TAG_SUBSCRIPTION, IPP_TAG_KEYWORD, "notify-events", 2, nullptr, kEvents);
    ippAddString(r, IPP_TAG_SUBSCRIPTION, IPP_TAG_KEYWORD, "notify-pull-method", nullptr, "ippget");
    ippAddInteger(r, IPP_TAG_SUBSCRIPTION, IPP_TAG_INTEGER, "notify-lease-duration", 3600);
    ippAddOctetString(r, IPP_TAG_SUBSCRIPTION, "notify-user-data", "0123456789", 10);
}

ipp_t* subscribe(int groups) {
    ipp_t* r = request(IPP_OP_CREATE_PRINTER_SUBSCRIPTIONS);
    for (int i = 0; i < groups; i++) {
        if (i > 0) ippAddSeparator(r);
        addSubscription(r);
    }
    return r;
}

ipp_t* setPrinter(ipp_t* media_default) {
    ipp_t* r = request(IPP_OP_SET_PRINTER_ATTRIBUTES);
    addCollection(r, IPP_TAG_PRINTER, "media-col-default", media_default);
    ippAddString(r, IPP_TAG_PRINTER, IPP_TAG_TEXT, "printer-location", nullptr, "Room 2");
    return r;
}

ipp_t* setMediaReady(int count) {
    ipp_t* r = request(IPP_OP_SET_PRINTER_ATTRIBUTES);
    std::vector<const char*> sizes(count, "iso_a4_210x297mm");
    ippAddStrings(r, IPP_TAG_PRINTER, IPP_TAG_KEYWORD, "media-ready", count, nullptr, sizes.data());
    return r;
}

// Collections DEPTH deep in a job's media-col-like attribute.
ipp_t* nested(int depth) {
    ipp_t* inner = ippNew();
    ippAddInteger(inner, IPP_TAG_ZERO, IPP_TAG_INTEGER, "x-dimension", 1);
    for (int i = 1; i < depth; i++) {
        ipp_t* outer = ippNew();
        addCollection(outer, IPP_TAG_ZERO, "overrides", inner);
        inner = outer;
    }
    ipp_t* r = printJob("report");
    addCollection(r, IPP_TAG_JOB, "overrides", inner);
    return r;
}

ipp_t* manyAttributes(int count) {
    ipp_t* r = request(IPP_OP_PRINT_JOB);
    for (int i = 4; i < count; i++) {  // (four are there already)
        ippAddInteger(r, IPP_TAG_JOB, IPP_TAG_INTEGER, ("x-" + std::to_string(i)).c_str(), i);
    }
    return r;
}

ipp_t* withName(const char* name) {
    ipp_t* r = request(IPP_OP_GET_PRINTER_ATTRIBUTES);
    ippAddString(r, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, name, nullptr, "x");
    return r;
}

ipp_t* userName(const char* value) {
    ipp_t* r = ippNewRequest(IPP_OP_GET_JOBS);
    ippAddString(r, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, kPrinter);
    ippAddString(r, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr, value);
    return r;
}

ipp_t* octets(int length) {
    ipp_t* r = request(IPP_OP_CREATE_PRINTER_SUBSCRIPTIONS);
    addSubscription(r);
    std::string data(length, 'x');
    ippAddOctetString(r, IPP_TAG_SUBSCRIPTION, "x-data", data.data(), length);
    return r;
}

struct Row {
    const char* name;
    ipp_t* (*build)();
    ipp_status_t status;
    const char* says;  // a part of the status-message
};

const Row kRows[] = {
    // Real clients' requests.
    {"Print-Job with media-col", [] { return printJobWithMedia(mediaCol(nullptr, 21000, "main")); },
     IPP_STATUS_OK, ""},
    {"Print-Job with a UTF-8 name and a nameWithLanguage owner",
     [] {
         ipp_t* r = printJob("Bericht f\xc3\xbcr M\xc3\xa4rz \xe2\x80\x94 \xf0\x9f\x96\xa8");
         ippAddString(r, IPP_TAG_JOB, IPP_TAG_NAMELANG, "job-hold-until", "de", "no-hold");
         return r;
     },
     IPP_STATUS_OK, ""},
    {"Get-Jobs asking for 400 attributes", [] { return getJobs(400); }, IPP_STATUS_OK, ""},
    {"Print-Job with the client's job-uuid",
     [] { return withJobUuid("urn:uuid:3f0c9d4e-1b2a-4c5d-8e7f-0a1b2c3d4e5f"); }, IPP_STATUS_OK,
     ""},
    {"a job-uuid that is no urn:uuid", [] { return withJobUuid("xx1200dpi#Resolution"); },
     IPP_STATUS_ERROR_ATTRIBUTES_OR_VALUES, "urn:uuid"},
    {"a job-uuid one digit short",
     [] { return withJobUuid("urn:uuid:3f0c9d4e-1b2a-4c5d-8e7f-0a1b2c3d4e5"); },
     IPP_STATUS_ERROR_ATTRIBUTES_OR_VALUES, "urn:uuid"},
    {"Create-Printer-Subscriptions with one group", [] { return subscribe(1); }, IPP_STATUS_OK, ""},
    {"Set-Printer-Attributes with media-col-default",
     [] { return setPrinter(mediaCol("iso_a5_148x210mm", 0, "manual")); }, IPP_STATUS_OK, ""},
    {"Cancel-Job by printer-uri and job-id",
     [] {
         ipp_t* r = request(IPP_OP_CANCEL_JOB);
         ippAddInteger(r, IPP_TAG_OPERATION, IPP_TAG_INTEGER, "job-id", 4);
         return r;
     },
     IPP_STATUS_OK, ""},
    {"Get-System-Attributes by system-uri",
     [] {
         ipp_t* r = ippNewRequest(IPP_OP_GET_SYSTEM_ATTRIBUTES);
         ippAddString(r, IPP_TAG_OPERATION, IPP_TAG_URI, "system-uri", nullptr,
                      "ipp://localhost:8631/ipp/system");
         return r;
     },
     IPP_STATUS_OK, ""},
    {"out-of-band values",
     [] {
         ipp_t* r = printJob("report");
         ippAddOutOfBand(r, IPP_TAG_JOB, IPP_TAG_NOVALUE, "job-hold-until");
         ippAddOutOfBand(r, IPP_TAG_JOB, IPP_TAG_DELETEATTR, "x-vendor-setting");
         return r;
     },
     IPP_STATUS_OK, ""},

    // Repeated names and groups.
    {"job-name twice in a group",
     [] {
         ipp_t* r = printJob("report");
         ippAddString(r, IPP_TAG_OPERATION, IPP_TAG_NAME, "job-name", nullptr, "other");
         return r;
     },
     IPP_STATUS_ERROR_BAD_REQUEST, "The attribute \"job-name\" is sent twice."},
    {"requested-attributes in two groups",
     [] {
         ipp_t* r = getJobs(2);
         ippAddString(r, IPP_TAG_JOB, IPP_TAG_KEYWORD, "requested-attributes", nullptr, "all");
         return r;
     },
     IPP_STATUS_ERROR_BAD_REQUEST, "\"requested-attributes\" is sent twice"},
    {"requested-attributes naming a value twice",
     [] {
         ipp_t* r = request(IPP_OP_GET_PRINTER_ATTRIBUTES);
         static const char* const kAll[] = {"all", "media-col-database", "all"};
         ippAddStrings(r, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", 3, nullptr,
                       kAll);
         return r;
     },
     IPP_STATUS_ERROR_BAD_REQUEST, "The attribute \"requested-attributes\" names \"all\" twice."},
    {"job-name in two operation groups",
     [] {
         ipp_t* r = printJob("report");
         ippAddSeparator(r);
         ippAddString(r, IPP_TAG_OPERATION, IPP_TAG_NAME, "job-name", nullptr, "other");
         return r;
     },
     IPP_STATUS_ERROR_BAD_REQUEST, "two groups of operation-attributes-tag"},
    {"an operation group after the job group",
     [] {
         ipp_t* r = printJob("report");
         ippAddInteger(r, IPP_TAG_JOB, IPP_TAG_INTEGER, "copies", 1);
         ippAddInteger(r, IPP_TAG_OPERATION, IPP_TAG_INTEGER, "job-impressions", 1);
         return r;
     },
     IPP_STATUS_ERROR_BAD_REQUEST, "two groups of operation-attributes-tag"},
    {"two subscription groups", [] { return subscribe(2); }, IPP_STATUS_ERROR_BAD_REQUEST,
     "One subscription group per request is supported."},
    {"a member twice in a collection",
     [] {
         ipp_t* media = mediaCol("iso_a4_210x297mm", 0, "main");
         ippAddString(media, IPP_TAG_ZERO, IPP_TAG_KEYWORD, "media-source", nullptr, "manual");
         return printJobWithMedia(media);
     },
     IPP_STATUS_ERROR_BAD_REQUEST, "The member \"media-source\" is sent twice in \"media-col\"."},
    {"a group no request has",
     [] {
         ipp_t* r = printJob("report");
         ippAddInteger(r, IPP_TAG_EVENT_NOTIFICATION, IPP_TAG_INTEGER, "notify-job-id", 1);
         return r;
     },
     IPP_STATUS_ERROR_BAD_REQUEST, "no group of tag 0x07"},

    // Names.
    {"an empty name", [] { return withName(""); }, IPP_STATUS_ERROR_BAD_REQUEST,
     "An attribute has no name."},
    {"a name with a line break", [] { return withName("x-a\nb"); }, IPP_STATUS_ERROR_BAD_REQUEST,
     "\"x-a?b\" is not printable ASCII"},
    {"a name of 256 bytes", [] { return withName(std::string(256, 'a').c_str()); },
     IPP_STATUS_ERROR_REQUEST_VALUE, "longer than 255 bytes"},
    {"a name of 255 bytes", [] { return withName(std::string(255, 'a').c_str()); }, IPP_STATUS_OK,
     ""},

    // String values.
    {"a job-name with a line break", [] { return printJob("a\nJob 1 x"); },
     IPP_STATUS_ERROR_BAD_REQUEST, "\"job-name\" has a control character"},
    {"a user name with a tab", [] { return userName("al\tice"); }, IPP_STATUS_ERROR_BAD_REQUEST,
     "control character"},
    {"DEL in a keyword",
     [] {
         ipp_t* r = getJobs(1);
         ippAddString(r, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "x-keyword", nullptr, "a\x7f");
         return r;
     },
     IPP_STATUS_ERROR_BAD_REQUEST, "control character"},
    {"a C1 line break in a text",
     [] {
         return printJob(
             "a\xc2\x85"
             "b");
     },
     IPP_STATUS_ERROR_BAD_REQUEST, "control character"},
    {"a user name that is not UTF-8", [] { return userName("\xc3\x28"); },
     IPP_STATUS_ERROR_BAD_REQUEST, "\"requesting-user-name\" has a value that is not UTF-8"},
    {"an overlong slash", [] { return userName("a\xc0\xaf"); }, IPP_STATUS_ERROR_BAD_REQUEST,
     "not UTF-8"},
    {"a surrogate", [] { return userName("\xed\xa0\x80"); }, IPP_STATUS_ERROR_BAD_REQUEST,
     "not UTF-8"},
    {"a cut sequence at the end", [] { return userName("ab\xe2\x80"); },
     IPP_STATUS_ERROR_BAD_REQUEST, "not UTF-8"},
    {"a language with a line break",
     [] {
         ipp_t* r = printJob("report");
         ippAddString(r, IPP_TAG_JOB, IPP_TAG_TEXTLANG, "x-note", "en\n", "hello");
         return r;
     },
     IPP_STATUS_ERROR_BAD_REQUEST, "\"x-note\" has a control character"},
    {"a name of 1024 bytes", [] { return printJob(std::string(1024, 'n').c_str()); },
     IPP_STATUS_ERROR_REQUEST_VALUE, "\"job-name\" has a value longer than 1023 bytes"},
    {"a name of 1023 bytes", [] { return printJob(std::string(1023, 'n').c_str()); }, IPP_STATUS_OK,
     ""},
    {"an octetString of 1024 bytes", [] { return octets(1024); }, IPP_STATUS_ERROR_REQUEST_VALUE,
     "\"x-data\" has a value longer than 1023 bytes"},
    {"an octetString of 1023 bytes", [] { return octets(1023); }, IPP_STATUS_OK, ""},
    {"a value tag IPP does not define",
     [] {
         ipp_t* r = printJob("report");
         ippAddInteger(r, IPP_TAG_JOB, (ipp_tag_t)0x38, "x-odd", 1);
         return r;
     },
     IPP_STATUS_ERROR_BAD_REQUEST, "\"x-odd\" has a value of unknown type 0x38"},

    // Counts and depth.
    {"1001 values", [] { return getJobs(1001); }, IPP_STATUS_ERROR_REQUEST_VALUE,
     "has 1001 values; at most 1000"},
    {"1000 values", [] { return getJobs(1000); }, IPP_STATUS_OK, ""},
    {"2001 attributes", [] { return manyAttributes(2001); }, IPP_STATUS_ERROR_REQUEST_ENTITY,
     "more than 2000 attributes"},
    {"2000 attributes", [] { return manyAttributes(2000); }, IPP_STATUS_OK, ""},
    {"collections 9 deep", [] { return nested(9); }, IPP_STATUS_ERROR_REQUEST_VALUE,
     "nested more than 8 deep"},
    {"collections 8 deep", [] { return nested(8); }, IPP_STATUS_OK, ""},

    // What PAPPL trusts.
    {"the owner sent in the job group",
     [] {
         ipp_t* r = printJob("report");
         ippAddString(r, IPP_TAG_JOB, IPP_TAG_NAME, "job-originating-user-name", nullptr, "bob");
         return r;
     },
     IPP_STATUS_ERROR_ATTRIBUTES_NOT_SETTABLE, "\"job-originating-user-name\" is the server's"},
    {"a job-uuid of the client's",
     [] {
         ipp_t* r = printJob("report");
         ippAddString(r, IPP_TAG_JOB, IPP_TAG_URI, "job-uuid", nullptr,
                      "urn:uuid:0c5a1d2e-8f3b-4c6d-9e7f-102132435465");
         return r;
     },
     IPP_STATUS_OK, ""},
    {"a detected format sent by the client",
     [] {
         ipp_t* r = printJob("report");
         ippAddString(r, IPP_TAG_OPERATION, IPP_TAG_MIMETYPE, "document-format-detected", nullptr,
                      "image/pwg-raster");
         return r;
     },
     IPP_STATUS_ERROR_ATTRIBUTES_NOT_SETTABLE, "\"document-format-detected\""},
    {"both system-uri and printer-uri",
     [] {
         ipp_t* r = request(IPP_OP_DELETE_PRINTER);
         ippAddString(r, IPP_TAG_OPERATION, IPP_TAG_URI, "system-uri", nullptr,
                      "ipp://localhost:8631/ipp/system");
         return r;
     },
     IPP_STATUS_ERROR_BAD_REQUEST, "both the system and a printer"},
    {"a media size libcups does not know",
     [] { return printJobWithMedia(mediaCol("a-size-of-mine", 0, "main")); },
     IPP_STATUS_ERROR_ATTRIBUTES_OR_VALUES, "\"a-size-of-mine\" of \"media-col\" is not a size"},
    {"a media size of zero width", [] { return setPrinter(mediaCol(nullptr, 0, "main")); },
     IPP_STATUS_ERROR_ATTRIBUTES_OR_VALUES, "\"x-dimension\" in \"media-col-default\""},
    {"a media-source that is no string",
     [] {
         ipp_t* media = mediaCol("iso_a4_210x297mm", 0, nullptr);
         ippAddOutOfBand(media, IPP_TAG_ZERO, IPP_TAG_NOVALUE, "media-source");
         return printJobWithMedia(media);
     },
     IPP_STATUS_ERROR_ATTRIBUTES_OR_VALUES, "\"media-source\" of \"media-col\" must be one"},
    {"17 ready media", [] { return setMediaReady(17); }, IPP_STATUS_ERROR_ATTRIBUTES_OR_VALUES,
     "\"media-ready\" takes at most 16 keyword values"},
    {"16 ready media", [] { return setMediaReady(16); }, IPP_STATUS_OK, ""},
    {"a geo-location that is text",
     [] {
         ipp_t* r = request(IPP_OP_SET_PRINTER_ATTRIBUTES);
         ippAddString(r, IPP_TAG_PRINTER, IPP_TAG_TEXT, "printer-geo-location", nullptr, "geo:1,2");
         return r;
     },
     IPP_STATUS_ERROR_ATTRIBUTES_OR_VALUES, "takes one uri value"},
};

TEST(RequestCheck, EachRuleRefusesWithItsReasonAndRealRequestsPass) {
    for (const Row& row : kRows) {
        ipp_t* r = row.build();
        RequestVerdict verdict = checkRequest(r, RequestLimits{});
        ippDelete(r);
        EXPECT_EQ(verdict.status, row.status) << row.name << ": " << verdict.message;
        EXPECT_NE(verdict.message.find(row.says), std::string::npos)
            << row.name << ": " << verdict.message;
        for (unsigned char c : verdict.message) {
            EXPECT_TRUE(c >= 0x20 && c < 0x7f) << row.name << ": " << verdict.message;
        }
    }
}

// As PAPPL gets it: libcups's reader of the wire form.
RequestVerdict checkWire(const std::string& wire) {
    struct Source {
        const std::string* data;
        size_t at;
    } source{&wire, 0};
    auto read = [](void* context, ipp_uchar_t* buffer, size_t bytes) -> ssize_t {
        Source* s = static_cast<Source*>(context);
        size_t n = std::min(bytes, s->data->size() - s->at);
        memcpy(buffer, s->data->data() + s->at, n);
        s->at += n;
        return (ssize_t)n;
    };
    ipp_t* r = ippNew();
    EXPECT_EQ(ippReadIO(&source, read, 1, nullptr, r), IPP_STATE_DATA);
    RequestVerdict verdict = checkRequest(r, RequestLimits{});
    ippDelete(r);
    return verdict;
}

std::string attribute(char tag, const std::string& name, const std::string& value) {
    std::string a(1, tag);
    a += (char)(name.size() >> 8), a += (char)name.size(), a += name;
    a += (char)(value.size() >> 8), a += (char)value.size(), a += value;
    return a;
}

TEST(RequestCheck, GroupsRepeatedOnTheWireAreRefused) {
    const std::string header("\x02\x00\x00\x16\x00\x00\x00\x01", 8);  // Create-Printer-Subs
    const std::string operation = std::string(1, '\x01') +
                                  attribute('\x47', "attributes-charset", "utf-8") +
                                  attribute('\x48', "attributes-natural-language", "en") +
                                  attribute('\x45', "printer-uri", kPrinter);
    const std::string subscription = std::string(1, '\x06') +
                                     attribute('\x44', "notify-events", "printer-state-changed") +
                                     attribute('\x44', "notify-pull-method", "ippget");
    const std::string end(1, '\x03');
    const struct {
        std::string body;
        ipp_status_t status;
    } kRows[] = {
        {operation + subscription, IPP_STATUS_OK},
        {operation + subscription + subscription, IPP_STATUS_ERROR_BAD_REQUEST},
        {operation + std::string(1, '\x06') + subscription, IPP_STATUS_ERROR_BAD_REQUEST},
        {operation + subscription + std::string(1, '\x06'), IPP_STATUS_ERROR_BAD_REQUEST},
        {operation + std::string(1, '\x02') +
             attribute('\x21', "copies", std::string("\0\0\0\1", 4)) + subscription +
             std::string(1, '\x02') + attribute('\x42', "x-name", "a"),
         IPP_STATUS_ERROR_BAD_REQUEST},
    };
    for (const auto& row : kRows) {
        RequestVerdict verdict = checkWire(header + row.body + end);
        EXPECT_EQ(verdict.status, row.status) << (&row - kRows) << ": " << verdict.message;
        if (row.status != IPP_STATUS_OK) {
            EXPECT_NE(verdict.message.find("group"), std::string::npos) << verdict.message;
        }
    }
}

}  // namespace
