#include "app/system/gate/RequestCheck.h"

#include <cups/pwg.h>

#include <cctype>
#include <cstring>
#include <set>

namespace {

// Attribute names are keywords: IPP bounds them at 255 octets.
constexpr size_t kMaxName = 255;
// A name quoted in a status-message: enough to find it, never a control byte.
constexpr size_t kShownName = 64;

struct Walk {
    const RequestLimits& limits;
    size_t attributes = 0;
    RequestVerdict verdict;
};

bool refuse(Walk& walk, ipp_status_t status, std::string message) {
    walk.verdict.status = status;
    walk.verdict.message = std::move(message);
    return false;
}

std::string shown(const char* name) {
    std::string text;
    for (const char* c = name; *c != '\0'; c++) {
        if (text.size() == kShownName) return text + "...";
        text += (*c > ' ' && *c < 0x7f && *c != '"') ? *c : '?';
    }
    return text;
}

std::string quoted(const std::string& name) { return "\"" + name + "\""; }

bool isOutOfBand(ipp_tag_t tag) {
    return tag >= IPP_TAG_UNSUPPORTED_VALUE && tag < IPP_TAG_INTEGER;
}

bool isString(ipp_tag_t tag) {
    return tag == IPP_TAG_TEXTLANG || tag == IPP_TAG_NAMELANG ||
           (tag >= IPP_TAG_TEXT && tag <= IPP_TAG_MEMBERNAME && tag != IPP_TAG_RESERVED_STRING);
}

enum class TextFault { None, TooLong, NotUtf8, Control };

// Refused rather than cleaned: C0 and DEL (a line break reaches PAPPL's
// state file as a directive), and C1, which some readers take as a line
// break too.
TextFault textFault(const char* text, size_t max_bytes) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
    size_t length = strlen(text);
    if (length > max_bytes) return TextFault::TooLong;
    const unsigned char* end = p + length;
    while (p < end) {
        unsigned c = *p;
        if (c < 0x20 || c == 0x7f) return TextFault::Control;
        if (c < 0x80) {
            p++;
            continue;
        }
        size_t more;
        unsigned code, least;
        if ((c & 0xe0) == 0xc0) {
            more = 1, code = c & 0x1f, least = 0x80;
        } else if ((c & 0xf0) == 0xe0) {
            more = 2, code = c & 0x0f, least = 0x800;
        } else if ((c & 0xf8) == 0xf0) {
            more = 3, code = c & 0x07, least = 0x10000;
        } else {
            return TextFault::NotUtf8;
        }
        if ((size_t)(end - p) <= more) return TextFault::NotUtf8;
        for (size_t i = 1; i <= more; i++) {
            if ((p[i] & 0xc0) != 0x80) return TextFault::NotUtf8;
            code = code << 6 | (p[i] & 0x3f);
        }
        // Overlong forms, UTF-16 surrogates and what lies past Unicode.
        if (code < least || (code >= 0xd800 && code <= 0xdfff) || code > 0x10ffff) {
            return TextFault::NotUtf8;
        }
        if (code >= 0x80 && code <= 0x9f) return TextFault::Control;
        p += more + 1;
    }
    return TextFault::None;
}

bool checkText(Walk& walk, const std::string& name, const char* text) {
    switch (textFault(text, walk.limits.max_text)) {
        case TextFault::None: return true;
        case TextFault::TooLong:
            return refuse(walk, IPP_STATUS_ERROR_REQUEST_VALUE,
                          "The attribute " + quoted(name) + " has a value longer than " +
                              std::to_string(walk.limits.max_text) + " bytes.");
        case TextFault::NotUtf8:
            return refuse(walk, IPP_STATUS_ERROR_BAD_REQUEST,
                          "The attribute " + quoted(name) + " has a value that is not UTF-8.");
        case TextFault::Control:
            return refuse(walk, IPP_STATUS_ERROR_BAD_REQUEST,
                          "The attribute " + quoted(name) +
                              " has a control character (a line break, tab ...) in a value.");
    }
    return true;
}

bool checkName(Walk& walk, const char* name, std::string* text) {
    if (name == nullptr || *name == '\0') {
        return refuse(walk, IPP_STATUS_ERROR_BAD_REQUEST, "An attribute has no name.");
    }
    size_t length = strlen(name);
    for (size_t i = 0; i < length; i++) {
        if (name[i] <= ' ' || name[i] >= 0x7f) {
            return refuse(walk, IPP_STATUS_ERROR_BAD_REQUEST,
                          "The attribute name " + quoted(shown(name)) + " is not printable ASCII.");
        }
    }
    if (length > kMaxName) {
        return refuse(walk, IPP_STATUS_ERROR_REQUEST_VALUE,
                      "The attribute name " + quoted(shown(name)) + " is longer than " +
                          std::to_string(kMaxName) + " bytes.");
    }
    *text = name;
    return true;
}

bool checkCollection(Walk& walk, const std::string& owner, ipp_t* collection, int depth);

bool checkValues(Walk& walk, ipp_attribute_t* attr, const std::string& name, int depth) {
    int count = ippGetCount(attr);
    ipp_tag_t tag = ippGetValueTag(attr);
    if (count < 1) {
        return refuse(walk, IPP_STATUS_ERROR_BAD_REQUEST,
                      "The attribute " + quoted(name) + " has no value.");
    }
    if ((size_t)count > walk.limits.max_values) {
        return refuse(walk, IPP_STATUS_ERROR_REQUEST_VALUE,
                      "The attribute " + quoted(name) + " has " + std::to_string(count) +
                          " values; at most " + std::to_string(walk.limits.max_values) +
                          " are taken.");
    }
    if (isOutOfBand(tag)) return true;
    switch (tag) {
        case IPP_TAG_INTEGER:
        case IPP_TAG_BOOLEAN:
        case IPP_TAG_ENUM:
        case IPP_TAG_DATE:
        case IPP_TAG_RESOLUTION:
        case IPP_TAG_RANGE: return true;
        case IPP_TAG_STRING:
            for (int i = 0; i < count; i++) {
                int length = 0;
                ippGetOctetString(attr, i, &length);
                if (length < 0 || (size_t)length > walk.limits.max_octets) {
                    return refuse(walk, IPP_STATUS_ERROR_REQUEST_VALUE,
                                  "The attribute " + quoted(name) + " has a value longer than " +
                                      std::to_string(walk.limits.max_octets) + " bytes.");
                }
            }
            return true;
        case IPP_TAG_BEGIN_COLLECTION:
            for (int i = 0; i < count; i++) {
                ipp_t* collection = ippGetCollection(attr, i);
                if (collection == nullptr) {
                    return refuse(walk, IPP_STATUS_ERROR_BAD_REQUEST,
                                  "The attribute " + quoted(name) + " has an empty collection.");
                }
                if (!checkCollection(walk, name, collection, depth + 1)) return false;
            }
            return true;
        default: break;
    }
    if (!isString(tag)) {
        char hex[16];
        snprintf(hex, sizeof(hex), "0x%x", (unsigned)tag);
        return refuse(
            walk, IPP_STATUS_ERROR_BAD_REQUEST,
            "The attribute " + quoted(name) + " has a value of unknown type " + hex + ".");
    }
    // (libcups expands each group keyword of requested-attributes, "all"
    // into hundreds of names, one insertion into a sorted array at a time:
    // "all" a thousand times takes the server seconds.)
    std::set<std::string> asked;
    bool once = name == "requested-attributes";
    for (int i = 0; i < count; i++) {
        const char* language = nullptr;
        const char* text = ippGetString(attr, i, &language);
        if (text == nullptr) {
            return refuse(walk, IPP_STATUS_ERROR_BAD_REQUEST,
                          "The attribute " + quoted(name) + " has a value that is no string.");
        }
        if (!checkText(walk, name, text)) return false;
        if (language != nullptr && !checkText(walk, name, language)) return false;
        if (once && !asked.insert(text).second) {
            return refuse(
                walk, IPP_STATUS_ERROR_BAD_REQUEST,
                "The attribute " + quoted(name) + " names " + quoted(shown(text)) + " twice.");
        }
    }
    return true;
}

bool countAttribute(Walk& walk) {
    if (++walk.attributes <= walk.limits.max_attributes) return true;
    return refuse(
        walk, IPP_STATUS_ERROR_REQUEST_ENTITY,
        "The request has more than " + std::to_string(walk.limits.max_attributes) + " attributes.");
}

bool checkCollection(Walk& walk, const std::string& owner, ipp_t* collection, int depth) {
    if (depth > walk.limits.max_depth) {
        return refuse(walk, IPP_STATUS_ERROR_REQUEST_VALUE,
                      "The collections in " + quoted(owner) + " are nested more than " +
                          std::to_string(walk.limits.max_depth) + " deep.");
    }
    std::set<std::string> seen;
    for (ipp_attribute_t* member = ippFirstAttribute(collection); member != nullptr;
         member = ippNextAttribute(collection)) {
        std::string name;
        if (!countAttribute(walk) || !checkName(walk, ippGetName(member), &name)) return false;
        if (!seen.insert(name).second) {
            return refuse(
                walk, IPP_STATUS_ERROR_BAD_REQUEST,
                "The member " + quoted(name) + " is sent twice in " + quoted(owner) + ".");
        }
        if (!checkValues(walk, member, name, depth)) return false;
    }
    return true;
}

// PAPPL copies a media collection's size, source and type as strings and
// looks its size up without asking whether libcups knows it.
bool checkMediaCollection(Walk& walk, const std::string& owner, ipp_t* media) {
    for (const char* name : {"media-size-name", "media-source", "media-type", "media-tracking"}) {
        ipp_attribute_t* member = ippFindAttribute(media, name, IPP_TAG_ZERO);
        if (member == nullptr) continue;
        ipp_tag_t tag = ippGetValueTag(member);
        if (ippGetCount(member) != 1 ||
            (tag != IPP_TAG_KEYWORD && tag != IPP_TAG_NAME && tag != IPP_TAG_NAMELANG)) {
            return refuse(walk, IPP_STATUS_ERROR_ATTRIBUTES_OR_VALUES,
                          std::string("The member \"") + name + "\" of " + quoted(owner) +
                              " must be one keyword or name.");
        }
        if (strcmp(name, "media-size-name") == 0 &&
            pwgMediaForPWG(ippGetString(member, 0, nullptr)) == nullptr) {
            return refuse(walk, IPP_STATUS_ERROR_ATTRIBUTES_OR_VALUES,
                          "The media size " + quoted(shown(ippGetString(member, 0, nullptr))) +
                              " of " + quoted(owner) + " is not a size name PWG defines.");
        }
    }
    ipp_attribute_t* size = ippFindAttribute(media, "media-size", IPP_TAG_ZERO);
    if (size == nullptr) return true;
    ipp_t* dimensions = ippGetCollection(size, 0);
    if (ippGetCount(size) != 1 || dimensions == nullptr) {
        return refuse(walk, IPP_STATUS_ERROR_ATTRIBUTES_OR_VALUES,
                      "The member \"media-size\" of " + quoted(owner) + " must be one collection.");
    }
    for (const char* name : {"x-dimension", "y-dimension"}) {
        ipp_attribute_t* dimension = ippFindAttribute(dimensions, name, IPP_TAG_ZERO);
        if (dimension == nullptr) continue;
        if (ippGetCount(dimension) != 1 || ippGetValueTag(dimension) != IPP_TAG_INTEGER ||
            ippGetInteger(dimension, 0) <= 0) {
            return refuse(walk, IPP_STATUS_ERROR_ATTRIBUTES_OR_VALUES,
                          std::string("The media size's \"") + name + "\" in " + quoted(owner) +
                              " must be one positive integer.");
        }
    }
    return true;
}

struct Setting {
    const char* name;
    ipp_tag_t tag;
    int max_count;
};

// The printer settings PAPPL 1.3.1 takes (_papplPrinterSetAttributes): it
// answers a wrong type or count as unsupported but applies the value all
// the same, writing past its 16 media slots or reading a string that is not.
constexpr Setting kPrinterSettings[] = {
    {"label-mode-configured", IPP_TAG_KEYWORD, 1},
    {"label-tear-off-configured", IPP_TAG_INTEGER, 1},
    {"media-col-default", IPP_TAG_BEGIN_COLLECTION, 1},
    {"media-col-ready", IPP_TAG_BEGIN_COLLECTION, 16},
    {"media-default", IPP_TAG_KEYWORD, 1},
    {"media-ready", IPP_TAG_KEYWORD, 16},
    {"orientation-requested-default", IPP_TAG_ENUM, 1},
    {"print-color-mode-default", IPP_TAG_KEYWORD, 1},
    {"print-content-optimize-default", IPP_TAG_KEYWORD, 1},
    {"print-darkness-default", IPP_TAG_INTEGER, 1},
    {"print-quality-default", IPP_TAG_ENUM, 1},
    {"print-speed-default", IPP_TAG_INTEGER, 1},
    {"printer-contact-col", IPP_TAG_BEGIN_COLLECTION, 1},
    {"printer-darkness-configured", IPP_TAG_INTEGER, 1},
    {"printer-geo-location", IPP_TAG_URI, 1},
    {"printer-location", IPP_TAG_TEXT, 1},
    {"printer-organization", IPP_TAG_TEXT, 1},
    {"printer-organizational-unit", IPP_TAG_TEXT, 1},
    {"printer-resolution-default", IPP_TAG_RESOLUTION, 1},
    {"printer-wifi-password", IPP_TAG_STRING, 1},
    {"printer-wifi-ssid", IPP_TAG_NAME, 1},
};

bool checkPrinterSetting(Walk& walk, ipp_attribute_t* attr, const std::string& name) {
    for (const Setting& setting : kPrinterSettings) {
        if (name != setting.name) continue;
        if (ippGetValueTag(attr) == setting.tag && ippGetCount(attr) <= setting.max_count) {
            return true;
        }
        std::string type = ippTagString(setting.tag);
        return refuse(
            walk, IPP_STATUS_ERROR_ATTRIBUTES_OR_VALUES,
            "The printer attribute " + quoted(name) +
                (setting.max_count == 1 ? " takes one " + type + " value."
                                        : " takes at most " + std::to_string(setting.max_count) +
                                              " " + type + " values."));
    }
    return true;
}

// A job-uuid a client chooses names its job in every answer to every
// client: it must be one, and a urn:uuid: URI, or a conforming client
// rejects the whole answer of Get-Jobs.
bool checkJobUuid(Walk& walk, ipp_attribute_t* attr) {
    const char* value = ippGetString(attr, 0, nullptr);
    bool sound = ippGetValueTag(attr) == IPP_TAG_URI && ippGetCount(attr) == 1 &&
                 value != nullptr && strlen(value) == 45 && strncmp(value, "urn:uuid:", 9) == 0;
    for (size_t i = 9; sound && i < 45; i++) {
        bool dash = i == 17 || i == 22 || i == 27 || i == 32;
        sound = dash ? value[i] == '-' : isxdigit((unsigned char)value[i]) != 0;
    }
    return sound || refuse(walk, IPP_STATUS_ERROR_ATTRIBUTES_OR_VALUES,
                           "The attribute \"job-uuid\" takes one urn:uuid: URI.");
}

// What PAPPL gives a job itself. It copies the job group into the job
// before adding its own, so a client's copy would be the one Get-Jobs and
// the state show; the document format it detected it even reads from the
// request wherever it stands. (A job-uuid a client chooses is the job's:
// clients may name their jobs so.)
constexpr const char* kServerJobValues[] = {
    "job-id",
    "job-uri",
    "job-printer-uri",
    "job-originating-user-name",
    "job-state",
    "job-state-message",
    "job-state-reasons",
    "job-printer-up-time",
    "job-impressions-completed",
    "time-at-creation",
    "time-at-processing",
    "time-at-completed",
    "date-time-at-creation",
    "date-time-at-processing",
    "date-time-at-completed",
};
constexpr const char* kServerRequestValues[] = {"document-format-detected",
                                                "document-format-supplied", "compression-supplied"};

bool isServersOwn(ipp_tag_t group, const std::string& name) {
    for (const char* own : kServerRequestValues) {
        if (name == own) return true;
    }
    if (group != IPP_TAG_JOB) return false;
    for (const char* own : kServerJobValues) {
        if (name == own) return true;
    }
    return false;
}

// No operation PAPPL 1.3.1 knows takes another group.
bool isRequestGroup(ipp_tag_t group) {
    return group == IPP_TAG_OPERATION || group == IPP_TAG_JOB || group == IPP_TAG_PRINTER ||
           group == IPP_TAG_SUBSCRIPTION || group == IPP_TAG_DOCUMENT || group == IPP_TAG_SYSTEM;
}

// A repeated group: libcups marks it with a separator (an attribute with no
// name and no group) when the same tag follows itself, and a tag coming back
// later is a new group of a tag already seen. Two subscription groups are
// refused as bad requests rather than as unsupported values, since the
// refusal is of the request's shape, with no attribute to name as
// unsupported; PAPPL would answer them by growing its answer without end.
bool repeatedGroup(Walk& walk, ipp_tag_t group) {
    if (group == IPP_TAG_SUBSCRIPTION) {
        return refuse(walk, IPP_STATUS_ERROR_BAD_REQUEST,
                      "One subscription group per request is supported.");
    }
    return refuse(walk, IPP_STATUS_ERROR_BAD_REQUEST,
                  std::string("The request has two groups of ") + ippTagString(group) + ".");
}

struct Targets {
    bool system = false, printer = false, job = false;
};

bool checkAttribute(Walk& walk, ipp_attribute_t* attr, ipp_tag_t group, const std::string& name,
                    Targets* targets) {
    if (isServersOwn(group, name)) {
        return refuse(walk, IPP_STATUS_ERROR_ATTRIBUTES_NOT_SETTABLE,
                      "The attribute " + quoted(name) + " is the server's own to set.");
    }
    if (ippGetValueTag(attr) == IPP_TAG_URI) {
        if (name == "system-uri") targets->system = true;
        if (name == "printer-uri") targets->printer = true;
        if (name == "job-uri") targets->job = true;
    }
    if (!checkValues(walk, attr, name, 0)) return false;
    if (name == "job-uuid" && !checkJobUuid(walk, attr)) return false;
    if (group == IPP_TAG_PRINTER && !checkPrinterSetting(walk, attr, name)) return false;
    if ((name == "media-col" || name == "media-col-default" || name == "media-col-ready") &&
        ippGetValueTag(attr) == IPP_TAG_BEGIN_COLLECTION) {
        for (int i = 0; i < ippGetCount(attr); i++) {
            if (!checkMediaCollection(walk, name, ippGetCollection(attr, i))) return false;
        }
    }
    return true;
}

}  // namespace

RequestVerdict checkRequest(ipp_t* request, const RequestLimits& limits) {
    Walk walk{limits, 0, RequestVerdict{}};
    if (request == nullptr) {
        refuse(walk, IPP_STATUS_ERROR_BAD_REQUEST, "There is no request.");
        return walk.verdict;
    }
    std::set<std::string> seen;
    std::set<ipp_tag_t> groups;
    ipp_tag_t current = IPP_TAG_ZERO;
    bool after_separator = false;
    Targets targets;
    for (ipp_attribute_t* attr = ippFirstAttribute(request); attr != nullptr;
         attr = ippNextAttribute(request)) {
        ipp_tag_t group = ippGetGroupTag(attr);
        const char* raw_name = ippGetName(attr);
        if (group == IPP_TAG_ZERO && raw_name == nullptr) {
            after_separator = true;
            continue;
        }
        if (group == IPP_TAG_ZERO) {
            refuse(walk, IPP_STATUS_ERROR_BAD_REQUEST,
                   "The attribute " + quoted(shown(raw_name)) + " is in no group.");
            return walk.verdict;
        }
        if (after_separator || group != current) {
            if (!isRequestGroup(group)) {
                char hex[16];
                snprintf(hex, sizeof(hex), "0x%02x", (unsigned)group);
                refuse(walk, IPP_STATUS_ERROR_BAD_REQUEST,
                       std::string("A request has no group of tag ") + hex + ".");
                return walk.verdict;
            }
            // (The group after a separator has the tag of the one before it,
            // though that one may have been empty.)
            if (after_separator || !groups.insert(group).second) {
                repeatedGroup(walk, group);
                return walk.verdict;
            }
            current = group;
        }
        std::string name;
        if (!countAttribute(walk) || !checkName(walk, raw_name, &name)) return walk.verdict;
        if (!seen.insert(name).second) {
            refuse(walk, IPP_STATUS_ERROR_BAD_REQUEST,
                   "The attribute " + quoted(name) + " is sent twice.");
            return walk.verdict;
        }
        if (!checkAttribute(walk, attr, group, name, &targets)) return walk.verdict;
    }
    // (Trailing empty groups of one tag: which tag is no longer known.)
    if (after_separator) {
        if (current == IPP_TAG_SUBSCRIPTION) {
            repeatedGroup(walk, current);
        } else {
            refuse(walk, IPP_STATUS_ERROR_BAD_REQUEST, "The request repeats a group.");
        }
        return walk.verdict;
    }
    // PAPPL takes a system-uri before the others, the gate a printer's or a
    // job's: a request naming both would be let in for one and done to the
    // other.
    if (targets.system && (targets.printer || targets.job)) {
        refuse(walk, IPP_STATUS_ERROR_BAD_REQUEST,
               std::string("The request names both the system and a ") +
                   (targets.printer ? "printer" : "job") + " as its target.");
    }
    return walk.verdict;
}
