// Puts the connection limits (Connections.h) in front of SYSTEM's
// connections; LIMITS must live as long as the server. With TLS_REQUIRED,
// other hosts' web pages are asked for over TLS first.
#pragma once

#include <pappl/pappl.h>

#include "app/system/gate/Connections.h"

void installConnectionLimits(pappl_system_t* system, const ConnectionLimits* limits,
                             bool tls_required);

// False when CLIENT, on this machine, names the server by a name not its own
// in Host: (localhost, its host names and addresses, server-alias): a page
// of another site that had its name resolve to loopback.
bool hostNamesThisServer(pappl_client_t* client);
