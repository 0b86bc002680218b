// The state PAPPL 1.3.1 reads back: its admin group is the one the server
// found when it last saved, which this machine may no longer have (lpadmin
// goes with CUPS). PAPPL would log that as an error at every start until
// the state was saved again; the server names its own group once the
// state is read.
#include <grp.h>
#include <pappl/pappl.h>

#include "app/system/gate/Pappl131.h"

extern "C" {
void papplSystemSetAdminGroup(pappl_system_t* system, const char* value) {
    static const auto own =
        papplOwnFunction<void (*)(pappl_system_t*, const char*)>("papplSystemSetAdminGroup");
    group entry;
    group* found = nullptr;
    char buffer[16384];
    if (value != nullptr && value[0] != '\0' &&
        (getgrnam_r(value, &entry, buffer, sizeof(buffer), &found) != 0 || found == nullptr)) {
        value = nullptr;
    }
    own(system, value);
}
}
