#include "app/system/gate/Connections.h"

#include <strings.h>

#include <cstring>

#include "app/system/gate/ServerOptions.h"

bool admitConnection(ConnectionTable* table, const ConnectionLimits& limits,
                     const std::string& host, std::string* why) {
    int& held = table->per_host[host];
    if (held >= limits.host_connections) {
        *why = host + " holds " + std::to_string(held) + " connections, the most one host may";
    } else if (table->total >= limits.connections) {
        *why = "other hosts hold " + std::to_string(table->total) +
               " connections, the most the server takes";
    } else {
        held++;
        table->total++;
        return true;
    }
    if (held == 0) table->per_host.erase(host);
    return false;
}

void releaseConnection(ConnectionTable* table, const std::string& host) {
    auto held = table->per_host.find(host);
    if (held == table->per_host.end()) return;
    if (--held->second <= 0) table->per_host.erase(held);
    table->total--;
}

std::string countedHost(const std::string& address) {
    static const char kMapped[] = "[v1.::ffff:";
    std::string host = address;
    if (strncasecmp(host.c_str(), kMapped, sizeof(kMapped) - 1) == 0 && host.back() == ']') {
        host = host.substr(sizeof(kMapped) - 1, host.size() - sizeof(kMapped));
    } else if (strncasecmp(host.c_str(), "::ffff:", 7) == 0) {
        host = host.substr(7);
    }
    return host;
}

bool hostAllowed(const char* host_field, const std::vector<std::string>& names) {
    if (host_field == nullptr) return false;
    std::string host = host_field;
    if (!host.empty() && host[0] == '[') {
        size_t end = host.find(']');
        if (end == std::string::npos) return false;
        host.resize(end + 1);
    } else {
        size_t colon = host.rfind(':');
        if (colon != std::string::npos) host.erase(colon);
    }
    if (!host.empty() && host.back() == '.') host.pop_back();
    if (host.empty()) return false;
    for (const std::string& name : names) {
        if (!name.empty() && strcasecmp(host.c_str(), name.c_str()) == 0) return true;
    }
    return false;
}

bool readConnectionOptions(int num_options, cups_option_t* options, ConnectionLimits* limits,
                           std::string* why) {
    const NumberOption kNumbers[] = {
        {"max-host-connections", nullptr, &limits->host_connections, 1, 10000},
        {"max-connections", nullptr, &limits->connections, 1, 10000},
        {"request-timeout", nullptr, &limits->header_seconds, 1, 3600},
        {"min-upload-rate", &limits->min_body_rate, nullptr, 0, 1LL << 30},
        {"max-document-size", &limits->max_document, nullptr, 1, 1LL << 40},
    };
    if (!readNumberOptions(num_options, options, kNumbers, sizeof(kNumbers) / sizeof(kNumbers[0]),
                           why)) {
        return false;
    }
    const char* aliases = cupsGetOption("server-alias", num_options, options);
    for (const char* p = aliases; p != nullptr && *p != '\0';) {
        const char* comma = strchr(p, ',');
        size_t length = comma ? (size_t)(comma - p) : strlen(p);
        if (length > 0) limits->aliases.emplace_back(p, length);
        p = comma ? comma + 1 : p + length;
    }
    return true;
}
