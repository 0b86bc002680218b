// IPP requests as a client would send them, or nearly: the input's bytes
// choose a request PAPPL knows and then what to do to it (more groups, the
// same tag again, names twice, every value tag and wrong ones, long and
// control-character names and values, collections within collections and
// unbalanced ones). The wire form goes through libcups's reader, as PAPPL
// gets it, then through the gate's check; a request the check lets pass
// must have no name twice, no group twice and no control character.
#include <cstdint>
#include <cstring>
#include <set>
#include <string>

#include "app/system/gate/RequestCheck.h"

namespace {

class Choices {
   public:
    Choices(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    bool more() const { return at_ < size_; }
    uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }
    size_t below(size_t n) { return n == 0 ? 0 : byte() % n; }
    bool often() { return below(8) != 0; }
    // Bytes straight from the input, for what no list holds.
    std::string raw(size_t most) {
        size_t n = below(most + 1);
        std::string text;
        while (n-- > 0 && more()) text += (char)byte();
        return text;
    }

   private:
    const uint8_t* data_;
    size_t size_;
    size_t at_ = 0;
};

// The wire form: a tag, a two-byte length and the name, a two-byte length
// and the value.
class Wire {
   public:
    std::string bytes;
    void tag(uint8_t t) { bytes += (char)t; }
    void counted(const std::string& text) {
        size_t n = text.size() > 0xffff ? 0xffff : text.size();
        bytes += (char)(n >> 8);
        bytes += (char)(n & 0xff);
        bytes.append(text, 0, n);
    }
    void attribute(uint8_t t, const std::string& name, const std::string& value) {
        tag(t);
        counted(name);
        counted(value);
    }
};

struct Known {
    const char* name;
    uint8_t tag;
};

constexpr uint8_t kCollection = IPP_TAG_BEGIN_COLLECTION;

const Known kNames[] = {
    {"attributes-charset", IPP_TAG_CHARSET},
    {"attributes-natural-language", IPP_TAG_LANGUAGE},
    {"printer-uri", IPP_TAG_URI},
    {"system-uri", IPP_TAG_URI},
    {"job-uri", IPP_TAG_URI},
    {"job-id", IPP_TAG_INTEGER},
    {"requesting-user-name", IPP_TAG_NAME},
    {"job-name", IPP_TAG_NAME},
    {"document-format", IPP_TAG_MIMETYPE},
    {"document-format-detected", IPP_TAG_MIMETYPE},
    {"requested-attributes", IPP_TAG_KEYWORD},
    {"which-jobs", IPP_TAG_KEYWORD},
    {"my-jobs", IPP_TAG_BOOLEAN},
    {"limit", IPP_TAG_INTEGER},
    {"copies", IPP_TAG_INTEGER},
    {"sides", IPP_TAG_KEYWORD},
    {"media", IPP_TAG_KEYWORD},
    {"media-col", kCollection},
    {"media-col-default", kCollection},
    {"media-col-ready", kCollection},
    {"media-ready", IPP_TAG_KEYWORD},
    {"media-size", kCollection},
    {"media-size-name", IPP_TAG_KEYWORD},
    {"media-source", IPP_TAG_KEYWORD},
    {"media-type", IPP_TAG_KEYWORD},
    {"x-dimension", IPP_TAG_INTEGER},
    {"y-dimension", IPP_TAG_INTEGER},
    {"print-quality", IPP_TAG_ENUM},
    {"printer-resolution", IPP_TAG_RESOLUTION},
    {"page-ranges", IPP_TAG_RANGE},
    {"job-hold-until", IPP_TAG_KEYWORD},
    {"job-hold-until-time", IPP_TAG_DATE},
    {"notify-events", IPP_TAG_KEYWORD},
    {"notify-pull-method", IPP_TAG_KEYWORD},
    {"notify-lease-duration", IPP_TAG_INTEGER},
    {"notify-user-data", IPP_TAG_STRING},
    {"notify-recipient-uri", IPP_TAG_URI},
    {"notify-job-id", IPP_TAG_INTEGER},
    {"notify-subscription-ids", IPP_TAG_INTEGER},
    {"printer-geo-location", IPP_TAG_URI},
    {"printer-location", IPP_TAG_TEXT},
    {"printer-name", IPP_TAG_NAMELANG},
    {"job-originating-user-name", IPP_TAG_NAME},
    {"printer-contact-col", kCollection},
    {"contact-name", IPP_TAG_NAME},
    {"message", IPP_TAG_TEXTLANG},
    {"compression", IPP_TAG_KEYWORD},
    {"ipp-attribute-fidelity", IPP_TAG_BOOLEAN},
    {"finishings-col", kCollection},
    {"overrides", kCollection},
};

// Every value tag IPP defines, out-of-band ones, and some it does not.
const uint8_t kTags[] = {IPP_TAG_UNSUPPORTED_VALUE,
                         IPP_TAG_DEFAULT,
                         IPP_TAG_UNKNOWN,
                         IPP_TAG_NOVALUE,
                         IPP_TAG_NOTSETTABLE,
                         IPP_TAG_DELETEATTR,
                         IPP_TAG_ADMINDEFINE,
                         0x1f,
                         0x20,
                         IPP_TAG_INTEGER,
                         IPP_TAG_BOOLEAN,
                         IPP_TAG_ENUM,
                         0x2f,
                         IPP_TAG_STRING,
                         IPP_TAG_DATE,
                         IPP_TAG_RESOLUTION,
                         IPP_TAG_RANGE,
                         IPP_TAG_BEGIN_COLLECTION,
                         IPP_TAG_TEXTLANG,
                         IPP_TAG_NAMELANG,
                         0x38,
                         0x40,
                         IPP_TAG_TEXT,
                         IPP_TAG_NAME,
                         0x43,
                         IPP_TAG_KEYWORD,
                         IPP_TAG_URI,
                         IPP_TAG_URISCHEME,
                         IPP_TAG_CHARSET,
                         IPP_TAG_LANGUAGE,
                         IPP_TAG_MIMETYPE,
                         IPP_TAG_MEMBERNAME,
                         0x4b,
                         0x60};

const char* const kWords[] = {"utf-8",
                              "en",
                              "ipp://localhost:8631/ipp/print/p",
                              "ipp://localhost:8631/ipp/system",
                              "ipp://localhost:8631/ipp/print/p/3",
                              "alice",
                              "application/pdf",
                              "image/pwg-raster",
                              "all",
                              "job-template",
                              "printer-description",
                              "job-state",
                              "completed",
                              "iso_a4_210x297mm",
                              "na_letter_8.5x11in",
                              "custom_min_1x1mm",
                              "main",
                              "manual",
                              "stationery",
                              "ippget",
                              "printer-state-changed",
                              "job-completed",
                              "two-sided-long-edge",
                              "geo:48.1,11.5",
                              "none",
                              "no-hold",
                              "Bericht f\xc3\xbcr M\xc3\xa4rz",
                              "\xf0\x9f\x96\xa8",
                              ""};

// Texts a client could send to mislead: a line break that makes a state
// file directive, tabs, DEL, C1, broken and overlong UTF-8, surrogates.
const char* const kHostile[] = {"a\nJob 1 x",       "x\r\n",    "\t",       "a\x7f",
                                "\xc2\x85",         "\xc3\x28", "\xc0\xaf", "\xed\xa0\x80",
                                "\xf4\x90\x80\x80", "\xe2\x80", "\xff",     "\x1b[2J"};

std::string text(Choices& c) {
    switch (c.below(10)) {
        case 0: return kHostile[c.below(sizeof(kHostile) / sizeof(kHostile[0]))];
        case 1: return c.raw(40);
        case 2: {
            // Around the limits: 255 for names, 1023 for values.
            static const size_t kLengths[] = {254, 255, 256, 1022, 1023, 1024, 4000};
            size_t n = kLengths[c.below(sizeof(kLengths) / sizeof(kLengths[0]))];
            return std::string(n, (char)('a' + c.below(26)));
        }
        case 3:
            return std::string(kWords[c.below(sizeof(kWords) / sizeof(kWords[0]))]) +
                   kHostile[c.below(sizeof(kHostile) / sizeof(kHostile[0]))];
        default: return kWords[c.below(sizeof(kWords) / sizeof(kWords[0]))];
    }
}

std::string name(Choices& c) {
    if (c.often()) return kNames[c.below(sizeof(kNames) / sizeof(kNames[0]))].name;
    return text(c);
}

uint8_t tagOf(const std::string& n) {
    for (const Known& known : kNames) {
        if (n == known.name) return known.tag;
    }
    return IPP_TAG_KEYWORD;
}

uint8_t anyTag(Choices& c) { return kTags[c.below(sizeof(kTags) / sizeof(kTags[0]))]; }

std::string number(Choices& c, size_t bytes) {
    std::string n;
    for (size_t i = 0; i < bytes; i++) n += (char)c.byte();
    return n;
}

// One value of TAG, as its bytes; sometimes of the wrong length.
std::string value(Choices& c, uint8_t tag) {
    if (c.below(32) == 0) return c.raw(12);
    switch (tag) {
        case IPP_TAG_INTEGER:
        case IPP_TAG_ENUM: return number(c, 4);
        case IPP_TAG_BOOLEAN: return number(c, 1);
        case IPP_TAG_DATE: return number(c, 11);
        case IPP_TAG_RESOLUTION: return number(c, 9);
        case IPP_TAG_RANGE: return number(c, 8);
        case IPP_TAG_TEXTLANG:
        case IPP_TAG_NAMELANG: {
            Wire w;
            w.counted(c.often() ? "en" : text(c));
            w.counted(text(c));
            return w.bytes;
        }
        default:
            if (tag >= IPP_TAG_UNSUPPORTED_VALUE && tag < IPP_TAG_INTEGER) {
                return c.often() ? "" : text(c);
            }
            return text(c);
    }
}

void collection(Choices& c, Wire& w, int depth);

// An attribute (or a collection member when NAME is written as a
// memberAttrName first) of one or more values.
void values(Choices& c, Wire& w, const std::string& attr_name, bool member, int depth) {
    uint8_t tag = c.often() ? tagOf(attr_name) : anyTag(c);
    size_t count = 1 + c.below(3);
    if (c.below(16) == 0) count = 990 + c.below(20);  // around the count limit
    for (size_t i = 0; i < count && w.bytes.size() < (1u << 20); i++) {
        std::string first = i == 0 && !member ? attr_name : "";
        uint8_t this_tag = i == 0 || c.often() ? tag : anyTag(c);
        if (this_tag == IPP_TAG_BEGIN_COLLECTION) {
            w.attribute(this_tag, first, "");
            collection(c, w, depth + 1);
        } else {
            w.attribute(this_tag, first, value(c, this_tag));
        }
    }
}

void collection(Choices& c, Wire& w, int depth) {
    size_t members = depth > 12 ? 0 : c.below(5);
    for (size_t i = 0; i < members; i++) {
        std::string member = c.below(6) == 0 && i > 0 ? "media-source" : name(c);
        if (c.below(16) == 0) {
            // A named attribute where a member belongs; or a group tag.
            w.attribute(IPP_TAG_KEYWORD, member, "x");
            continue;
        }
        w.attribute(IPP_TAG_MEMBERNAME, "", member);
        if (c.below(16) != 0) values(c, w, member, true, depth);
    }
    switch (c.below(16)) {
        case 0: break;  // unbalanced: the collection never ends
        case 1:         // one end too many
            w.attribute(IPP_TAG_END_COLLECTION, "", "");
            w.attribute(IPP_TAG_END_COLLECTION, "", "");
            break;
        default: w.attribute(IPP_TAG_END_COLLECTION, "", "");
    }
}

const ipp_op_t kOperations[] = {IPP_OP_PRINT_JOB,
                                IPP_OP_VALIDATE_JOB,
                                IPP_OP_CREATE_JOB,
                                IPP_OP_SEND_DOCUMENT,
                                IPP_OP_CANCEL_JOB,
                                IPP_OP_GET_JOB_ATTRIBUTES,
                                IPP_OP_GET_JOBS,
                                IPP_OP_GET_PRINTER_ATTRIBUTES,
                                IPP_OP_HOLD_JOB,
                                IPP_OP_RELEASE_JOB,
                                IPP_OP_PAUSE_PRINTER,
                                IPP_OP_RESUME_PRINTER,
                                IPP_OP_SET_PRINTER_ATTRIBUTES,
                                IPP_OP_GET_PRINTER_SUPPORTED_VALUES,
                                IPP_OP_CREATE_PRINTER_SUBSCRIPTIONS,
                                IPP_OP_CREATE_JOB_SUBSCRIPTIONS,
                                IPP_OP_GET_SUBSCRIPTION_ATTRIBUTES,
                                IPP_OP_GET_SUBSCRIPTIONS,
                                IPP_OP_RENEW_SUBSCRIPTION,
                                IPP_OP_CANCEL_SUBSCRIPTION,
                                IPP_OP_GET_NOTIFICATIONS,
                                IPP_OP_ENABLE_PRINTER,
                                IPP_OP_DISABLE_PRINTER,
                                IPP_OP_HOLD_NEW_JOBS,
                                IPP_OP_RELEASE_HELD_NEW_JOBS,
                                IPP_OP_CANCEL_CURRENT_JOB,
                                IPP_OP_CANCEL_JOBS,
                                IPP_OP_CANCEL_MY_JOBS,
                                IPP_OP_CLOSE_JOB,
                                IPP_OP_IDENTIFY_PRINTER,
                                IPP_OP_CREATE_PRINTER,
                                IPP_OP_DELETE_PRINTER,
                                IPP_OP_GET_PRINTERS,
                                IPP_OP_SHUTDOWN_ALL_PRINTERS,
                                IPP_OP_GET_SYSTEM_ATTRIBUTES,
                                IPP_OP_SET_SYSTEM_ATTRIBUTES,
                                IPP_OP_CREATE_SYSTEM_SUBSCRIPTIONS,
                                IPP_OP_CUPS_GET_DEFAULT,
                                IPP_OP_CUPS_GET_PRINTERS,
                                (ipp_op_t)0x402b,  // PAPPL's Find-Devices
                                (ipp_op_t)0x402c,  // and Find-Drivers
                                (ipp_op_t)0x7777};

// A request as clients send it: its operation group, and the group its
// operation takes with one or two attributes in it.
void start(Choices& c, Wire& w) {
    ipp_op_t op = kOperations[c.below(sizeof(kOperations) / sizeof(kOperations[0]))];
    w.bytes += std::string("\x02\x00", 2);
    w.bytes += (char)(op >> 8);
    w.bytes += (char)(op & 0xff);
    w.bytes += std::string("\x00\x00\x00\x01", 4);
    w.tag(IPP_TAG_OPERATION);
    w.attribute(IPP_TAG_CHARSET, "attributes-charset", "utf-8");
    w.attribute(IPP_TAG_LANGUAGE, "attributes-natural-language", "en");
    w.attribute(IPP_TAG_URI, c.often() ? "printer-uri" : "system-uri", kWords[c.below(5) + 2]);
    w.attribute(IPP_TAG_NAME, "requesting-user-name", "alice");
    switch (op) {
        case IPP_OP_PRINT_JOB:
        case IPP_OP_VALIDATE_JOB:
        case IPP_OP_CREATE_JOB:
            w.attribute(IPP_TAG_NAME, "job-name", "report");
            w.tag(IPP_TAG_JOB);
            w.attribute(IPP_TAG_INTEGER, "copies", std::string("\0\0\0\2", 4));
            break;
        case IPP_OP_CREATE_PRINTER_SUBSCRIPTIONS:
        case IPP_OP_CREATE_JOB_SUBSCRIPTIONS:
        case IPP_OP_CREATE_SYSTEM_SUBSCRIPTIONS:
            w.tag(IPP_TAG_SUBSCRIPTION);
            w.attribute(IPP_TAG_KEYWORD, "notify-events", "printer-state-changed");
            w.attribute(IPP_TAG_KEYWORD, "notify-pull-method", "ippget");
            break;
        case IPP_OP_SET_PRINTER_ATTRIBUTES:
            w.tag(IPP_TAG_PRINTER);
            w.attribute(IPP_TAG_TEXT, "printer-location", "Room 2");
            break;
        default: break;
    }
}

const uint8_t kGroups[] = {IPP_TAG_OPERATION,
                           IPP_TAG_JOB,
                           IPP_TAG_PRINTER,
                           IPP_TAG_SUBSCRIPTION,
                           IPP_TAG_DOCUMENT,
                           IPP_TAG_SYSTEM,
                           IPP_TAG_UNSUPPORTED_GROUP,
                           IPP_TAG_EVENT_NOTIFICATION,
                           0x0b,
                           0x0f,
                           IPP_TAG_ZERO};

// What a request that passed must be, checked apart from the check.
bool cleanText(const char* text) {
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p; p++) {
        if (*p < 0x20 || *p == 0x7f) return false;
    }
    return true;
}

bool cleanValues(ipp_attribute_t* attr, int depth);

bool cleanCollection(ipp_t* col, int depth) {
    std::set<std::string> names;
    for (ipp_attribute_t* a = ippFirstAttribute(col); a != nullptr; a = ippNextAttribute(col)) {
        const char* n = ippGetName(a);
        if (n == nullptr || !cleanText(n) || !names.insert(n).second) return false;
        if (!cleanValues(a, depth)) return false;
    }
    return true;
}

bool cleanValues(ipp_attribute_t* attr, int depth) {
    RequestLimits limits;
    int count = ippGetCount(attr);
    if (count < 1 || (size_t)count > limits.max_values || depth > limits.max_depth) return false;
    for (int i = 0; i < count; i++) {
        const char* language = nullptr;
        const char* s = ippGetString(attr, i, &language);
        if (s != nullptr && (!cleanText(s) || strlen(s) > limits.max_text)) return false;
        if (language != nullptr && !cleanText(language)) return false;
        ipp_t* col = ippGetCollection(attr, i);
        if (col != nullptr && !cleanCollection(col, depth + 1)) return false;
    }
    return true;
}

bool wellFormed(ipp_t* request) {
    std::set<std::string> names;
    std::set<int> groups;
    int group = IPP_TAG_ZERO;
    for (ipp_attribute_t* a = ippFirstAttribute(request); a != nullptr;
         a = ippNextAttribute(request)) {
        const char* n = ippGetName(a);
        if (n == nullptr || !cleanText(n) || !names.insert(n).second) return false;
        if (ippGetGroupTag(a) != group) {
            group = ippGetGroupTag(a);
            if (!groups.insert(group).second) return false;
        }
        if (!cleanValues(a, 0)) return false;
    }
    return true;
}

struct Reading {
    const std::string* bytes;
    size_t at;
};

ssize_t readWire(void* context, ipp_uchar_t* buffer, size_t bytes) {
    Reading* r = static_cast<Reading*>(context);
    size_t n = r->bytes->size() - r->at;
    if (n > bytes) n = bytes;
    memcpy(buffer, r->bytes->data() + r->at, n);
    r->at += n;
    return (ssize_t)n;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Choices c(data, size);
    Wire w;
    start(c, w);
    while (c.more() && w.bytes.size() < (1u << 20)) {
        switch (c.below(8)) {
            case 0: w.tag(kGroups[c.below(sizeof(kGroups) / sizeof(kGroups[0]))]); break;
            case 1: {
                // The same attribute twice, in a row.
                std::string n = name(c);
                values(c, w, n, false, 0);
                values(c, w, n, false, 0);
                break;
            }
            case 2: w.bytes += c.raw(16); break;
            default: values(c, w, name(c), false, 0);
        }
    }
    if (c.below(16) != 0) w.tag(IPP_TAG_END);

    ipp_t* request = ippNew();
    Reading reading{&w.bytes, 0};
    if (ippReadIO(&reading, readWire, 1, nullptr, request) == IPP_STATE_DATA) {
        RequestVerdict verdict = checkRequest(request, RequestLimits{});
        if (verdict.status == IPP_STATUS_OK && !wellFormed(request)) __builtin_trap();
        if (verdict.status != IPP_STATUS_OK && !cleanText(verdict.message.c_str())) {
            __builtin_trap();
        }
    }
    ippDelete(request);
    return 0;
}
