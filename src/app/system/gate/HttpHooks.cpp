// The connection limits (Connections.h) in front of PAPPL 1.3.1 and libcups
// (Pappl131.h): each connection is counted as PAPPL accepts it and refused
// over its host's or the server's limit; a watchdog ends a connection whose
// header takes too long or whose body comes too slowly, whatever the
// sender's pace; a document read past the largest size fails its request;
// from this machine the server answers only to its own names, and the web
// interface answers other hosts only over TLS.
#include "app/system/gate/HttpHooks.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pappl/pappl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "app/system/gate/Connections.h"
#include "app/system/gate/Pappl131.h"
#include "app/system/gate/ServerOptions.h"

namespace {

enum Phase { kHeader, kAnswering, kBody };

struct Connection {
    std::string host;  // as counted; empty for loopback and the control socket
    http_t* http = nullptr;
    int fd = -1;
    std::atomic<int> phase{kHeader};
    std::atomic<long long> since{0};       // ms on the steady clock, when the header began
    std::atomic<long long> body_since{0};  // ... when the body began
    std::atomic<long long> body_bytes{0};
    bool cut = false;  // (guarded by g_lock) the watchdog ended it
};

long long nowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

pappl_system_t* g_system = nullptr;
const ConnectionLimits* g_limits = nullptr;
bool g_tls_required = true;
// (Never destroyed: the watchdog and the clients' threads outlive main.)
std::mutex& g_lock = *new std::mutex;
ConnectionTable& g_table = *new ConnectionTable;
auto& g_connections = *new std::map<pappl_client_t*, std::shared_ptr<Connection>>;
auto& g_refusal_logged = *new std::map<std::string, long long>;  // host: its last refusal logged

// The connection this thread answers (PAPPL gives each its own thread).
thread_local pappl_client_t* t_client = nullptr;
thread_local std::shared_ptr<Connection> t_connection;

void enterPhase(Connection* connection, Phase phase) {
    connection->since = nowMs();
    connection->phase = phase;
}

// Every second: a connection past its header's deadline, or whose body has
// come slower than the least rate once given its grace, is shut down; its
// thread's read then fails and PAPPL closes it.
void watchConnections() {
    for (;;) {
        std::this_thread::sleep_for(std::chrono::seconds(1));
        std::lock_guard<std::mutex> hold(g_lock);
        long long now = nowMs();
        for (auto& entry : g_connections) {
            Connection& connection = *entry.second;
            long long elapsed = now - connection.since;
            const char* why = nullptr;
            if (connection.phase == kHeader && elapsed > g_limits->header_seconds * 1000LL) {
                why = "its request header took too long";
            } else if (connection.phase == kBody && now - connection.body_since > 30000 &&
                       connection.body_bytes * 1000 / (now - connection.body_since) <
                           g_limits->min_body_rate) {
                why = "its request body comes too slowly";
            }
            if (why != nullptr && !connection.cut) {
                connection.cut = true;
                papplLog(g_system, PAPPL_LOGLEVEL_INFO, "Closing the connection from %s: %s",
                         connection.host.empty() ? "the control socket" : connection.host.c_str(),
                         why);
                shutdown(connection.fd, SHUT_RDWR);
            }
        }
    }
}

bool isLocal(http_t* http) {
    http_addr_t* peer = httpGetAddress(http);
    return httpAddrFamily(peer) == AF_LOCAL || httpAddrLocalhost(peer);
}

// This server's names, as a Host: field may give them.
std::vector<std::string> serverNames(http_t* http) {
    std::vector<std::string> names = {"localhost", "127.0.0.1", "[::1]"};
    char name[256] = "";
    if (gethostname(name, sizeof(name) - 1) == 0 && name[0] != '\0') {
        names.push_back(name);
        names.push_back(std::string(name) + ".local");
    }
    if (papplSystemGetHostName(g_system, name, sizeof(name)) != nullptr && name[0] != '\0') {
        names.push_back(name);
        std::string plain = name;
        size_t dot = plain.find('.');
        if (dot != std::string::npos) names.push_back(plain.substr(0, dot) + ".local");
    }
    sockaddr_storage local = {};
    socklen_t length = sizeof(local);
    char text[INET6_ADDRSTRLEN] = "";
    if (getsockname(httpGetFd(http), (sockaddr*)&local, &length) == 0) {
        if (local.ss_family == AF_INET &&
            inet_ntop(AF_INET, &((sockaddr_in*)&local)->sin_addr, text, sizeof(text))) {
            names.push_back(text);
        } else if (local.ss_family == AF_INET6 &&
                   inet_ntop(AF_INET6, &((sockaddr_in6*)&local)->sin6_addr, text, sizeof(text))) {
            names.push_back(std::string("[") + text + "]");
            names.push_back(countedHost(text));
        }
    }
    names.insert(names.end(), g_limits->aliases.begin(), g_limits->aliases.end());
    return names;
}

}  // namespace

bool hostNamesThisServer(pappl_client_t* client) {
    http_t* http = papplClientGetHTTP(client);
    // (Other hosts reach the server by names it can't know; PAPPL's own
    // check is theirs. A browser on this machine is the one a rebinding
    // site turns against the server, loopback being an administrator.)
    http_addr_t* peer = httpGetAddress(http);
    if (g_limits == nullptr || httpAddrFamily(peer) == AF_LOCAL || !httpAddrLocalhost(peer)) {
        return true;
    }
    return hostAllowed(httpGetField(http, HTTP_FIELD_HOST), serverNames(http));
}

namespace {

bool answerBadHost(pappl_client_t* client, void*) {
    papplLogClient(client, PAPPL_LOGLEVEL_ERROR, "Bad Host: header '%s'.",
                   httpGetField(papplClientGetHTTP(client), HTTP_FIELD_HOST));
    papplClientRespond(client, HTTP_STATUS_BAD_REQUEST, nullptr, nullptr, 0, 0);
    return false;
}

// (PAPPL sends a web page asked for this way to the same page over https.)
bool answerTlsFirst(pappl_client_t* client, void*) {
    return papplClientRespond(client, HTTP_STATUS_UPGRADE_REQUIRED, nullptr, nullptr, 0, 0);
}

char kTextPlain[] = "text/plain";
PapplResource g_bad_host = {nullptr, kTextPlain, nullptr,       nullptr, 0,
                            nullptr, 0,          answerBadHost, nullptr};
PapplResource g_tls_first = {nullptr, kTextPlain, nullptr,        nullptr, 0,
                             nullptr, 0,          answerTlsFirst, nullptr};

}  // namespace

void installConnectionLimits(pappl_system_t* system, const ConnectionLimits* limits,
                             bool tls_required) {
    g_system = system;
    g_limits = limits;
    g_tls_required = tls_required;
    std::thread(watchConnections).detach();
}

extern "C" {
void _papplClientDelete(pappl_client_t* client);

pappl_client_t* _papplClientCreate(pappl_system_t* system, int sock) {
    static const auto own =
        papplOwnFunction<pappl_client_t* (*)(pappl_system_t*, int)>("_papplClientCreate");
    static const auto own_delete =
        papplOwnFunction<void (*)(pappl_client_t*)>("_papplClientDelete");
    pappl_client_t* client = own(system, sock);
    if (client == nullptr || g_limits == nullptr) return client;
    http_t* http = papplClientGetHTTP(client);
    auto connection = std::make_shared<Connection>();
    connection->http = http;
    connection->fd = httpGetFd(http);
    connection->since = nowMs();
    // (Every local account reaches loopback: its connections count as one
    // host. The control socket, which only root and lpadmin reach, is
    // never limited.)
    char address[256] = "";
    http_addr_t* peer = httpGetAddress(http);
    if (httpAddrFamily(peer) != AF_LOCAL) {
        connection->host = httpAddrLocalhost(peer)
                               ? "this machine"
                               : countedHost(httpAddrString(peer, address, sizeof(address)));
    }
    std::unique_lock<std::mutex> hold(g_lock);
    std::string why;
    if (!connection->host.empty() &&
        !admitConnection(&g_table, *g_limits, connection->host, &why)) {
        long long now = nowMs();
        long long& logged = g_refusal_logged[connection->host];
        bool say = now - logged > 60000;
        if (say) logged = now;
        if (g_refusal_logged.size() > 1024) g_refusal_logged.clear();
        hold.unlock();
        if (say) papplLog(system, PAPPL_LOGLEVEL_WARN, "Connection refused: %s", why.c_str());
        own_delete(client);
        return nullptr;
    }
    g_connections[client] = connection;
    return client;
}

void _papplClientDelete(pappl_client_t* client) {
    static const auto own = papplOwnFunction<void (*)(pappl_client_t*)>("_papplClientDelete");
    {
        std::lock_guard<std::mutex> hold(g_lock);
        auto found = g_connections.find(client);
        if (found != g_connections.end()) {
            if (!found->second->host.empty()) releaseConnection(&g_table, found->second->host);
            g_connections.erase(found);
        }
    }
    own(client);
}

bool _papplClientProcessHTTP(pappl_client_t* client) {
    static const auto own = papplOwnFunction<bool (*)(pappl_client_t*)>("_papplClientProcessHTTP");
    {
        std::lock_guard<std::mutex> hold(g_lock);
        auto found = g_connections.find(client);
        t_connection = found != g_connections.end() ? found->second : nullptr;
    }
    t_client = client;
    if (t_connection) {
        t_connection->body_since = 0;  // (not begun)
        t_connection->body_bytes = 0;
        enterPhase(t_connection.get(), kHeader);
    }
    bool kept = own(client);
    // (Between requests PAPPL closes a connection idle for 30 s itself.)
    if (t_connection) enterPhase(t_connection.get(), kAnswering);
    t_client = nullptr;
    t_connection = nullptr;
    return kept;
}

ssize_t httpRead2(http_t* http, char* buffer, size_t length) {
    static const auto own = papplOwnFunction<ssize_t (*)(http_t*, char*, size_t)>("httpRead2");
    Connection* connection = t_connection.get();
    if (connection == nullptr || connection->http != http) return own(http, buffer, length);
    // The body begins with the request's first read; it is over once all
    // that was announced has come (a chunk at a time, when chunked).
    if (connection->body_since == 0) connection->body_since = nowMs();
    connection->phase = kBody;
    if (connection->body_bytes > g_limits->max_document) return -1;
    ssize_t bytes = own(http, buffer, length);
    if (bytes > 0) connection->body_bytes += bytes;
    if (connection->body_bytes > g_limits->max_document) {
        papplLogClient(t_client, PAPPL_LOGLEVEL_ERROR,
                       "The document is larger than %s, the most this server takes: refused",
                       sizeText(g_limits->max_document).c_str());
        return -1;
    }
    if (bytes <= 0 || httpGetRemaining(http) == 0) connection->phase = kAnswering;
    return bytes;
}

void* _papplSystemFindResourceForPath(pappl_system_t* system, const char* path) {
    static const auto own = papplOwnFunction<void* (*)(pappl_system_t*, const char*)>(
        "_papplSystemFindResourceForPath");
    pappl_client_t* client = t_client;
    if (client == nullptr || g_limits == nullptr) return own(system, path);
    if (t_connection) enterPhase(t_connection.get(), kAnswering);
    http_t* http = papplClientGetHTTP(client);
    // A page another site's script reaches through a name of its own (DNS
    // rebinding) is refused, as is plain HTTP from another host.
    if (!hostNamesThisServer(client)) return &g_bad_host;
    if (g_tls_required && !isLocal(http) && !httpIsEncrypted(http)) return &g_tls_first;
    return own(system, path);
}
}
