#include "Access.h"

#include <grp.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <pwd.h>
#include <security/pam_appl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "Documents.h"
#include "ServerUser.h"

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
    if (authorization == nullptr || strncmp(authorization, "Basic ", 6) != 0) return "";
    char decoded[512];
    int length = (int)sizeof(decoded);
    httpDecode64_2(decoded, &length, authorization + 6);
    char* password = strchr(decoded, ':');
    if (password == nullptr) return "";
    *password++ = '\0';
    Login login = {decoded, password};
    pam_conv conversation = {answerPam, &login};
    pam_handle_t* pam = nullptr;
    int status = pam_start(service, decoded, &conversation, &pam);
    if (status == PAM_SUCCESS) status = pam_authenticate(pam, PAM_DISALLOW_NULL_AUTHTOK);
    if (status == PAM_SUCCESS) status = pam_acct_mgmt(pam, PAM_DISALLOW_NULL_AUTHTOK);
    if (pam != nullptr) pam_end(pam, status);
    std::string user = status == PAM_SUCCESS ? decoded : "";
    explicit_bzero(decoded, sizeof(decoded));
    return user;
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

// What Get-Jobs shows of other users' jobs, as CUPS's JobPrivateValues.
static const char* const kPrivateValues[] = {"job-name", "job-originating-user-name",
                                             "job-originating-host-name", "document-name-supplied",
                                             "job-originating-user-uri"};

struct JobOwners {
    const char* requester;
    bool others = false;
};

static void noteOwner(pappl_job_t* job, void* data) {
    JobOwners* owners = static_cast<JobOwners*>(data);
    const char* user = papplJobGetUsername(job);
    if (user == nullptr || owners->requester == nullptr || strcmp(user, owners->requester) != 0) {
        owners->others = true;
    }
}

// A Get-Jobs that may list other users' jobs asks for the jobs' attributes
// without the private values. (PAPPL builds the listing from the request's
// requested-attributes once this callback returns.)
static void hidePrivateValues(pappl_client_t* client) {
    ipp_t* request = papplClientGetRequest(client);
    if (request == nullptr) return;
    ipp_attribute_t* mine = ippFindAttribute(request, "my-jobs", IPP_TAG_BOOLEAN);
    if (mine != nullptr && ippGetBoolean(mine, 0)) return;
    JobOwners owners;
    owners.requester = papplClientGetUsername(client);
    if (owners.requester == nullptr || owners.requester[0] == '\0') {
        owners.requester = ippGetString(
            ippFindAttribute(request, "requesting-user-name", IPP_TAG_NAME), 0, nullptr);
    }
    pappl_printer_t* printer = papplClientGetPrinter(client);
    if (printer == nullptr) return;
    papplPrinterIterateAllJobs(printer, noteOwner, &owners, 1, 0);
    if (!owners.others) return;
    cups_array_t* asked = ippCreateRequestedArray(request);
    if (asked == nullptr) {
        // "all": every job attribute, as its two groups name them.
        ipp_t* all = ippNew();
        static const char* const kGroups[] = {"job-description", "job-template"};
        ippAddStrings(all, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", 2, nullptr,
                      kGroups);
        asked = ippCreateRequestedArray(all);
        ippDelete(all);
        if (asked == nullptr) return;
    }
    std::vector<const char*> kept;
    for (const char* name = (const char*)cupsArrayFirst(asked); name != nullptr;
         name = (const char*)cupsArrayNext(asked)) {
        bool secret = false;
        for (const char* hidden : kPrivateValues) secret = secret || strcmp(name, hidden) == 0;
        if (!secret) kept.push_back(name);
    }
    ipp_attribute_t* requested = ippFindAttribute(request, "requested-attributes", IPP_TAG_ZERO);
    if (requested != nullptr) ippDeleteAttribute(request, requested);
    if (!kept.empty()) {
        ippAddStrings(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes",
                      (int)kept.size(), nullptr, kept.data());
    }
    cupsArrayDelete(asked);
}

http_status_t authorize(pappl_client_t* client, const char* group, gid_t, void* data) {
    const AccessPolicy* policy = static_cast<const AccessPolicy*>(data);
    ipp_op_t op = papplClientGetOperation(client);
    // Printing and seeing one's own jobs are everyone's; other users' jobs
    // are seen without their names.
    bool admin_asked = group != nullptr && strcmp(group, ADMIN_GROUP) == 0;
    if (!admin_asked && !changesPrinter(op)) {
        if (op == IPP_OP_GET_JOBS && !localAdministrator(client)) hidePrivateValues(client);
        // (The one hook PAPPL offers before it takes a document.)
        if (op == IPP_OP_PRINT_JOB || op == IPP_OP_SEND_DOCUMENT) spoolRasterDocument(client);
        return HTTP_STATUS_CONTINUE;
    }
    // PAPPL asks for an administrator for a job whose owner it can't tell
    // from the request: its owner is who the request says it comes from (or
    // the authenticated user), as with CUPS.
    pappl_job_t* job = papplClientGetJob(client);
    ipp_t* request = papplClientGetRequest(client);
    if (job != nullptr && request != nullptr && papplJobGetUsername(job) != nullptr) {
        const char* user = papplClientGetUsername(client);
        if (user == nullptr || user[0] == '\0') {
            ipp_attribute_t* name = ippFindAttribute(request, "requesting-user-name", IPP_TAG_NAME);
            user = name ? ippGetString(name, 0, nullptr) : nullptr;
        }
        if (user != nullptr && strcmp(user, papplJobGetUsername(job)) == 0) {
            return HTTP_STATUS_CONTINUE;
        }
    }
    http_t* http = papplClientGetHTTP(client);
    if (httpAddrLocalhost(httpGetAddress(http))) {
        bool admin = localAdministrator(client);
        papplLogClient(client, admin ? PAPPL_LOGLEVEL_DEBUG : PAPPL_LOGLEVEL_INFO,
                       "Local administration %s", admin ? "allowed" : "refused");
        return admin ? HTTP_STATUS_CONTINUE : HTTP_STATUS_FORBIDDEN;
    }
    if (policy->auth_service.empty()) return HTTP_STATUS_FORBIDDEN;
    // (PAPPL asks for TLS before it asks here.)
    const char* authorization = httpGetField(http, HTTP_FIELD_AUTHORIZATION);
    if (authorization == nullptr || authorization[0] == '\0') return HTTP_STATUS_UNAUTHORIZED;
    std::string user = authenticatedUser(authorization, policy->auth_service.c_str());
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

bool deviceAllowed(const AccessPolicy& policy, const char* device_uri, std::string* why) {
    if (device_uri == nullptr || strncmp(device_uri, "file:", 5) != 0) return true;
    if (policy.file_directory.empty()) {
        *why = "printing to files is not allowed (the server was started without file-directory)";
        return false;
    }
    char scheme[32], userpass[256], host[256], path[1024];
    int port;
    if (httpSeparateURI(HTTP_URI_CODING_ALL, device_uri, scheme, sizeof(scheme), userpass,
                        sizeof(userpass), host, sizeof(host), &port, path,
                        sizeof(path)) < HTTP_URI_STATUS_OK ||
        path[0] != '/') {
        *why = "the file device URI is not valid";
        return false;
    }
    const std::string& dir = policy.file_directory;
    std::string wanted = path;
    if (wanted.compare(0, dir.size(), dir) != 0 ||
        (wanted.size() > dir.size() && wanted[dir.size()] != '/' && dir != "/")) {
        *why = "files may be written only below " + dir;
        return false;
    }
    // Every existing part of the path is a real directory or file, never a
    // link, and nothing climbs out of the directory.
    for (size_t end = 1; end <= wanted.size(); end++) {
        if (end < wanted.size() && wanted[end] != '/') continue;
        std::string part = wanted.substr(0, end);
        if (part.size() >= 3 && part.compare(part.size() - 3, 3, "/..") == 0) {
            *why = "the file device's path climbs out of its directory";
            return false;
        }
        struct stat info;
        if (lstat(part.c_str(), &info) == 0 && S_ISLNK(info.st_mode)) {
            *why = part + " is a link";
            return false;
        }
    }
    return true;
}
