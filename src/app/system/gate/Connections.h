// The server's connections: how many one host and all hosts may hold, how
// long a request's header may take and how slowly its body may come, how
// large a document may be, and which Host: names reach the web interface.
// PAPPL 1.3.1 gives every connection a thread of its own, up to 10,000,
// with no bound per host and no deadline: a few hosts sending a header byte
// now and then would hold them all. HttpHooks.cpp applies these.
#pragma once

#include <cups/cups.h>

#include <map>
#include <string>
#include <vector>

// Defaults a print server lives with; each a server option
// (readConnectionOptions) documented in quelmoss-printer-app(8). CUPS allows
// 100 clients (MaxClients) and as many from one host; a print server's
// clients hold one connection each for seconds, so a host with 32 at once
// is a machine gone wrong, and 512 in all leaves the threads and file
// descriptors of a small server to spare.
struct ConnectionLimits {
    int host_connections = 32;       // from one host, this one too (max-host-connections)
    int connections = 512;           // over the network in all (max-connections)
    int header_seconds = 30;         // a request's header, TLS included (request-timeout)
    long long min_body_rate = 1024;  // bytes a second a body keeps up after 30 s (min-upload-rate)
    long long max_document = 1LL << 30;  // bytes of one document (max-document-size)
    std::vector<std::string> aliases;    // more names of this server (server-alias=a,b)
};

// Network connections, counted per host; this machine's loopback is one
// host (the control socket is never counted, nor limited).
struct ConnectionTable {
    std::map<std::string, int> per_host;
    int total = 0;
};

// Counts one more connection from HOST, or says why it is refused.
bool admitConnection(ConnectionTable* table, const ConnectionLimits& limits,
                     const std::string& host, std::string* why);
void releaseConnection(ConnectionTable* table, const std::string& host);

// The host a connection comes from, as counted: an IPv4 host seen through
// IPv6 is that IPv4 host.
std::string countedHost(const std::string& address);

// True when a Host: value (a port, brackets around IPv6, a trailing dot and
// case aside) is one of NAMES.
bool hostAllowed(const char* host_field, const std::vector<std::string>& names);

// The connection options into *limits; false with `why` for a bad value.
bool readConnectionOptions(int num_options, cups_option_t* options, ConnectionLimits* limits,
                           std::string* why);
