// The program's own sub-commands (submit, add, modify) are clients of the
// server like any other and their requests pass the same gate. PAPPL 1.3.1
// builds them in _papplMainloopAddOptions, which adds "page-ranges" once as
// a range and again, as a boolean, from job-creation-attributes-supported:
// a request the gate refuses as ambiguous. The later copy of a name is the
// library's slip, so it goes before the request leaves.
#include <pappl/pappl.h>

#include <set>
#include <string>
#include <utility>
#include <vector>

#include "app/system/gate/Pappl131.h"

namespace {
void dropRepeatedAttributes(ipp_t* request) {
    std::set<std::pair<ipp_tag_t, std::string>> seen;
    std::vector<ipp_attribute_t*> repeated;
    for (ipp_attribute_t* attr = ippFirstAttribute(request); attr != nullptr;
         attr = ippNextAttribute(request)) {
        const char* name = ippGetName(attr);
        if (name != nullptr && !seen.emplace(ippGetGroupTag(attr), name).second)
            repeated.push_back(attr);
    }
    for (ipp_attribute_t* attr : repeated) ippDeleteAttribute(request, attr);
}
}  // namespace

extern "C" {
// (private in 1.3.1: mainloop-private.h; its count is an int with CUPS 2.4)
void _papplMainloopAddOptions(ipp_t* request, int num_options, cups_option_t* options,
                              ipp_t* supported) {
    static const auto own =
        papplOwnFunction<void (*)(ipp_t*, int, cups_option_t*, ipp_t*)>("_papplMainloopAddOptions");
    own(request, num_options, options, supported);
    dropRepeatedAttributes(request);
}
}
