#include "app/system/gate/Pappl131.h"

#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

void* papplOwn(const char* name) {
    void* own = dlsym(RTLD_NEXT, name);
    if (own == nullptr) {
        fprintf(stderr,
                "quelmoss-printer-app: PAPPL has no %s: not the PAPPL 1.3.1 it was built for\n",
                name);
        abort();
    }
    return own;
}

// (private in 1.3.1: system-accessors.c)
extern "C" void _papplSystemExportVersions(pappl_system_t* system, ipp_t* ipp, ipp_tag_t group_tag,
                                           cups_array_t* ra);

bool papplIsPinnedVersion(pappl_system_t* system, std::string* found) {
    // The library names its own version after the application's versions,
    // from the constant it was built with.
    pappl_version_t versions[20];
    int count = papplSystemGetVersions(system, 20, versions);
    ipp_t* ipp = ippNew();
    _papplSystemExportVersions(system, ipp, IPP_TAG_SYSTEM, nullptr);
    ipp_attribute_t* attr = ippFindAttribute(ipp, "system-firmware-string-version", IPP_TAG_TEXT);
    const char* version = ippGetString(attr, count, nullptr);
    *found = version ? version : "unknown";
    ippDelete(ipp);
    return *found == "1.3.1";
}
