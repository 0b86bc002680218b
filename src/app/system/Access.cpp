#include "app/system/Access.h"

#include <grp.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <pwd.h>
#include <security/pam_appl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "app/system/ServerUser.h"
#include "app/system/gate/BasicAuth.h"

// Whether the account is root or a member of the lpadmin group. The
// reentrant lookups: client threads ask at once.
static bool isAdministrator(const passwd& user) {
    if (user.pw_uid == 0) return true;
    group admins_entry;
    group* admins = nullptr;
    char buffer[16384];
    if (getgrnam_r(ADMIN_GROUP, &admins_entry, buffer, sizeof(buffer), &admins) != 0 ||
        admins == nullptr) {
        return false;
    }
    int count = 64;
    std::vector<gid_t> groups((size_t)count);
    if (getgrouplist(user.pw_name, user.pw_gid, groups.data(), &count) < 0) {
        groups.resize((size_t)count);
        if (getgrouplist(user.pw_name, user.pw_gid, groups.data(), &count) < 0) return false;
    }
    for (int i = 0; i < count; i++) {
        if (groups[(size_t)i] == admins->gr_gid) return true;
    }
    return false;
}

// The account of UID or NAME (when not null) into *user, its strings in
// `buffer`.
static bool account(uid_t uid, const char* name, passwd* user, char* buffer, size_t size) {
    passwd* found = nullptr;
    int error = name ? getpwnam_r(name, user, buffer, size, &found)
                     : getpwuid_r(uid, user, buffer, size, &found);
    return error == 0 && found != nullptr;
}

// The owner of the other end of a loopback TCP connection, asked of the
// kernel's socket table (the same in this network namespace).
static bool loopbackPeerUid(int fd, uid_t* uid) {
    sockaddr_storage local = {}, peer = {};
    socklen_t local_len = sizeof(local), peer_len = sizeof(peer);
    if (getsockname(fd, (sockaddr*)&local, &local_len) != 0 ||
        getpeername(fd, (sockaddr*)&peer, &peer_len) != 0 || local.ss_family != peer.ss_family) {
        return false;
    }
    struct {
        nlmsghdr header;
        inet_diag_req_v2 request;
    } message = {};
    message.header.nlmsg_len = sizeof(message);
    message.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    message.header.nlmsg_flags = NLM_F_REQUEST;
    message.request.sdiag_family = (__u8)local.ss_family;
    message.request.sdiag_protocol = IPPROTO_TCP;
    message.request.idiag_states = ~0u;
    // The peer's socket: its source is the peer, its destination this end.
    inet_diag_sockid& id = message.request.id;
    if (local.ss_family == AF_INET) {
        const sockaddr_in& l = (const sockaddr_in&)local;
        const sockaddr_in& p = (const sockaddr_in&)peer;
        id.idiag_sport = p.sin_port;
        id.idiag_dport = l.sin_port;
        memcpy(id.idiag_src, &p.sin_addr, sizeof(p.sin_addr));
        memcpy(id.idiag_dst, &l.sin_addr, sizeof(l.sin_addr));
    } else if (local.ss_family == AF_INET6) {
        const sockaddr_in6& l = (const sockaddr_in6&)local;
        const sockaddr_in6& p = (const sockaddr_in6&)peer;
        id.idiag_sport = p.sin6_port;
        id.idiag_dport = l.sin6_port;
        memcpy(id.idiag_src, &p.sin6_addr, sizeof(p.sin6_addr));
        memcpy(id.idiag_dst, &l.sin6_addr, sizeof(l.sin6_addr));
    } else {
        return false;
    }
    id.idiag_cookie[0] = id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
    int netlink = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    if (netlink < 0) return false;
    timeval timeout = {1, 0};
    setsockopt(netlink, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
    alignas(nlmsghdr) char reply[8192];
    bool found = false;
    if (send(netlink, &message, sizeof(message), 0) == (ssize_t)sizeof(message)) {
        ssize_t n = recv(netlink, reply, sizeof(reply), 0);
        const nlmsghdr* header = (const nlmsghdr*)reply;
        if (n > 0 && NLMSG_OK(header, (unsigned)n) && header->nlmsg_type == SOCK_DIAG_BY_FAMILY &&
            header->nlmsg_len >= NLMSG_LENGTH(sizeof(inet_diag_msg))) {
            *uid = ((const inet_diag_msg*)NLMSG_DATA(header))->idiag_uid;
            found = true;
        }
    }
    close(netlink);
    return found;
}

struct Login {
    const char* user;
    const char* password;
};

static int answerPam(int count, const pam_message** messages, pam_response** responses,
                     void* data) {
    const Login* login = static_cast<const Login*>(data);
    pam_response* answers = static_cast<pam_response*>(calloc((size_t)count, sizeof(pam_response)));
    if (answers == nullptr) return PAM_BUF_ERR;
    for (int i = 0; i < count; i++) {
        if (messages[i]->msg_style == PAM_PROMPT_ECHO_ON) answers[i].resp = strdup(login->user);
        if (messages[i]->msg_style == PAM_PROMPT_ECHO_OFF) {
            answers[i].resp = strdup(login->password);
        }
    }
    *responses = answers;
    return PAM_SUCCESS;
}

// The user of a Basic Authorization header that PAM accepts for SERVICE,
// or empty.
static std::string authenticatedUser(const char* authorization, const char* service) {
    std::string name, secret;
    if (!readBasicCredentials(authorization, &name, &secret)) return "";
    Login login = {name.c_str(), secret.c_str()};
    pam_conv conversation = {answerPam, &login};
    pam_handle_t* pam = nullptr;
    int status = pam_start(service, name.c_str(), &conversation, &pam);
    if (status == PAM_SUCCESS) status = pam_authenticate(pam, PAM_DISALLOW_NULL_AUTHTOK);
    if (status == PAM_SUCCESS) status = pam_acct_mgmt(pam, PAM_DISALLOW_NULL_AUTHTOK);
    if (pam != nullptr) pam_end(pam, status);
    explicit_bzero(&secret[0], secret.size());
    return status == PAM_SUCCESS ? name : "";
}

// Operations PAPPL 1.3.1 lets everyone who may print do, which change the
// printer for everybody.
static bool changesPrinter(ipp_op_t op) {
    switch (op) {
        case IPP_OP_DISABLE_PRINTER:
        case IPP_OP_ENABLE_PRINTER:
        case IPP_OP_PAUSE_PRINTER:
        case IPP_OP_RESUME_PRINTER:
        case IPP_OP_HOLD_NEW_JOBS:
        case IPP_OP_RELEASE_HELD_NEW_JOBS:
        case IPP_OP_CANCEL_JOBS:
        case IPP_OP_CANCEL_CURRENT_JOB: return true;
        default: return false;
    }
}

// True when the client is root or an lpadmin member connected over loopback.
static bool localAdministrator(pappl_client_t* client) {
    http_t* http = papplClientGetHTTP(client);
    uid_t uid = 0;
    passwd user;
    char buffer[16384];
    return httpAddrLocalhost(httpGetAddress(http)) && loopbackPeerUid(httpGetFd(http), &uid) &&
           account(uid, nullptr, &user, buffer, sizeof(buffer)) && isAdministrator(user);
}

std::string requestingUser(pappl_client_t* client) {
    const char* user = papplClientGetUsername(client);
    if (user != nullptr && user[0] != '\0') return user;
    ipp_t* request = papplClientGetRequest(client);
    user = request ? ippGetString(ippFindAttribute(request, "requesting-user-name", IPP_TAG_NAME),
                                  0, nullptr)
                   : nullptr;
    return user != nullptr ? user : "anonymous";
}

http_status_t administratorStatus(pappl_client_t* client, const AccessPolicy& policy) {
    http_t* http = papplClientGetHTTP(client);
    // (The control socket's directory admits only administrators.)
    if (httpAddrFamily(httpGetAddress(http)) == AF_LOCAL) return HTTP_STATUS_CONTINUE;
    if (httpAddrLocalhost(httpGetAddress(http))) {
        bool admin = localAdministrator(client);
        papplLogClient(client, admin ? PAPPL_LOGLEVEL_DEBUG : PAPPL_LOGLEVEL_INFO,
                       "Local administration %s", admin ? "allowed" : "refused");
        return admin ? HTTP_STATUS_CONTINUE : HTTP_STATUS_FORBIDDEN;
    }
    if (policy.auth_service.empty()) return HTTP_STATUS_FORBIDDEN;
    if (!httpIsEncrypted(http)) return HTTP_STATUS_UPGRADE_REQUIRED;
    const char* authorization = httpGetField(http, HTTP_FIELD_AUTHORIZATION);
    if (authorization == nullptr || authorization[0] == '\0') return HTTP_STATUS_UNAUTHORIZED;
    std::string user = authenticatedUser(authorization, policy.auth_service.c_str());
    if (user.empty()) {
        papplLogClient(client, PAPPL_LOGLEVEL_INFO, "Authentication failed");
        return HTTP_STATUS_UNAUTHORIZED;
    }
    passwd entry;
    char buffer[16384];
    if (!account(0, user.c_str(), &entry, buffer, sizeof(buffer)) || !isAdministrator(entry)) {
        papplLogClient(client, PAPPL_LOGLEVEL_INFO, "%s is not an administrator", user.c_str());
        return HTTP_STATUS_FORBIDDEN;
    }
    papplClientSetUsername(client, user.c_str());
    return HTTP_STATUS_CONTINUE;
}

WebVisitor webVisitor(pappl_client_t* client, const AccessPolicy& policy) {
    // (PAPPL gives each connection a thread of its own.)
    thread_local pappl_client_t* kept_client = nullptr;
    thread_local std::string kept_authorization;
    thread_local WebVisitor kept;
    http_t* http = papplClientGetHTTP(client);
    const char* authorization = httpGetField(http, HTTP_FIELD_AUTHORIZATION);
    std::string asked = authorization != nullptr ? authorization : "";
    if (kept_client == client && kept_authorization == asked) return kept;
    WebVisitor visitor;
    passwd entry;
    char buffer[16384];
    uid_t uid = 0;
    if (httpAddrFamily(httpGetAddress(http)) == AF_LOCAL) {
        visitor.administrator = true;
    } else if (httpAddrLocalhost(httpGetAddress(http))) {
        if (loopbackPeerUid(httpGetFd(http), &uid) &&
            account(uid, nullptr, &entry, buffer, sizeof(buffer))) {
            visitor.user = entry.pw_name;
            visitor.administrator = isAdministrator(entry);
        }
    } else if (!policy.auth_service.empty() && httpIsEncrypted(http) && !asked.empty()) {
        visitor.user = authenticatedUser(asked.c_str(), policy.auth_service.c_str());
        visitor.administrator = !visitor.user.empty() &&
                                account(0, visitor.user.c_str(), &entry, buffer, sizeof(buffer)) &&
                                isAdministrator(entry);
    }
    kept_client = client;
    kept_authorization = asked;
    kept = visitor;
    return visitor;
}

http_status_t authorize(pappl_client_t* client, const char* group, gid_t, void* data) {
    const AccessPolicy* policy = static_cast<const AccessPolicy*>(data);
    ipp_op_t op = papplClientGetOperation(client);
    // Printing and seeing one's own jobs are everyone's (the request gate
    // has decided the rest before PAPPL asks here).
    bool admin_asked = group != nullptr && strcmp(group, ADMIN_GROUP) == 0;
    if (!admin_asked && !changesPrinter(op)) return HTTP_STATUS_CONTINUE;
    // PAPPL asks for an administrator for a job whose owner it can't tell
    // from the request: its owner is who the request says it comes from (or
    // the authenticated user), as with CUPS.
    pappl_job_t* job = papplClientGetJob(client);
    if (job != nullptr && papplClientGetRequest(client) != nullptr &&
        papplJobGetUsername(job) != nullptr && requestingUser(client) == papplJobGetUsername(job)) {
        return HTTP_STATUS_CONTINUE;
    }
    return administratorStatus(client, *policy);
}
