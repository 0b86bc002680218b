// Who may do what, for IPP and the web interface alike:
// - anyone who reaches the printer may print, see the printer and their own
//   jobs;
// - only a job's owner or an administrator may cancel, hold or release it;
// - only an administrator may add, change, pause or delete printers, change
//   the system or read the logs. An administrator is root or a member of
//   the lpadmin group on this machine (the control socket, and loopback
//   connections by the owner of the connecting socket), or on another host
//   a user of that group authenticated through the server's auth-service
//   (PAM) over TLS. With no auth-service, other hosts administer nothing.
#pragma once

#include <pappl/pappl.h>

#include <string>

struct AccessPolicy {
    std::string auth_service;  // PAM service for other hosts' administrators; empty: none
};

// papplSystemSetAuthCallback's callback; `data` is the AccessPolicy. PAPPL
// asks it for the printer's print group (null) and for the admin group.
http_status_t authorize(pappl_client_t* client, const char* group, gid_t group_id, void* data);

// Whether the client is an administrator: HTTP_STATUS_CONTINUE when it is,
// else the refusal to answer (401 asks another host for credentials).
http_status_t administratorStatus(pappl_client_t* client, const AccessPolicy& policy);

// Who looks at a web page: whether an administrator (as
// administratorStatus, without asking for credentials) and, when known, the
// account: a local user's own on loopback, the one signed in from another
// host. The answer is kept for the connection's current credentials: a page
// asks several times.
struct WebVisitor {
    bool administrator = false;
    std::string user;  // empty: unknown
};
WebVisitor webVisitor(pappl_client_t* client, const AccessPolicy& policy);

// Who a request comes from, as PAPPL names a job's or a subscription's
// owner: the authenticated user, else requesting-user-name, else
// "anonymous".
std::string requestingUser(pappl_client_t* client);
