// What the gate relies on of PAPPL 1.3.1 beyond its public API. PAPPL's
// library calls its own exported functions through the PLT, so a definition
// the program exports (gate/exports.list) runs in front of the library's and
// reaches the library's own through papplOwn(). The layout and the functions
// are private to PAPPL: the build accepts only 1.3.1, and the server refuses
// to start on any other library (papplIsPinnedVersion).
#pragma once

#include <pappl/pappl.h>
#include <pthread.h>
#include <time.h>

#include <string>

// The head of PAPPL 1.3.1's struct _pappl_client_s (client-private.h), as far
// as the gate reads and writes it.
struct PapplClientHead {
    pappl_system_t* system;
    int number;
    pthread_t thread_id;
    http_t* http;
    ipp_t* request;
    ipp_t* response;
    time_t start;
    http_state_t operation;
    ipp_op_t operation_id;
};

inline PapplClientHead* clientHead(pappl_client_t* client) {
    return reinterpret_cast<PapplClientHead*>(client);
}

// PAPPL 1.3.1's _pappl_resource_t (system-private.h): what the web
// interface serves at a path.
struct PapplResource {
    char* path;
    char* format;
    char* filename;
    char* language;
    time_t last_modified;
    const void* data;
    size_t length;
    pappl_resource_cb_t cb;
    void* cbdata;
};

// PAPPL 1.3.1's _pappl_link_t (base-private.h): a link of the web interface.
struct PapplLink {
    char* label;
    char* path_or_url;
    pappl_loptions_t options;
};

// The library's own definition of NAME (the next one after the program's).
// A missing one ends the program: it would not be the library built against.
void* papplOwn(const char* name);

template <class Function>
Function papplOwnFunction(const char* name) {
    return reinterpret_cast<Function>(papplOwn(name));
}

// True when the library the server runs on says it is PAPPL 1.3.1; else
// *found says what it is.
bool papplIsPinnedVersion(pappl_system_t* system, std::string* found);
