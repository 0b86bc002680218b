// The one gate every IPP request passes before PAPPL acts on it. It decides
// from the request and the caller alone: whether the request is well formed
// (RequestCheck), whether this caller may do it (anyone, the owner, or an
// administrator, by operation), whether the server can take one more job
// (per user, per host, in all, and the spool's reserve), and, where PAPPL
// 1.3.1's own answer would show one user's names to another, what PAPPL
// answers with (Get-Jobs and Get-Job-Attributes per job, subscriptions
// and their events). IppHooks.cpp runs it in front of PAPPL.
#pragma once

#include <pappl/pappl.h>

#include <string>

#include "app/system/Access.h"
#include "app/system/gate/RequestCheck.h"

// Defaults a print server lives with; each is a server option
// (readGateOptions) documented in quelmoss-printer-app(8).
struct GateLimits {
    int user_jobs = 100;          // pending and held jobs of one user (max-user-jobs)
    int host_jobs = 200;          // ... sent from one host (max-host-jobs)
    int total_jobs = 500;         // ... in all, as CUPS's MaxJobs (max-jobs)
    int user_subscriptions = 20;  // of one user (max-user-subscriptions)
    int subscriptions = 100;      // in all, PAPPL's own bound (max-subscriptions)
    // A job is refused when the spool's file system would keep less free
    // (spool-reserve), so the spool never fills /var/lib for every service.
    long long spool_reserve = 256LL << 20;
};

struct GateSetup {
    const AccessPolicy* policy = nullptr;
    GateLimits limits;
    RequestLimits request;
    bool tls_required = true;            // other hosts must switch to TLS first
    long long max_document = 1LL << 30;  // bytes of a document a request announces
};

// The gate's server options (max-user-jobs=N ...) into *limits; false with
// `why` for a value that is not a number in range.
bool readGateOptions(int num_options, cups_option_t* options, GateLimits* limits, std::string* why);

// Puts the gate in front of SYSTEM's requests. SETUP must live as long as
// the server.
void installGate(pappl_system_t* system, const GateSetup* setup);

// What the gate says of one request.
struct GateAnswer {
    enum Kind { Pass, Ipp, Http } kind = Pass;
    ipp_status_t status = IPP_STATUS_OK;  // Ipp: the status and its message
    std::string message;
    http_status_t http = HTTP_STATUS_OK;  // Http: the refusal (426, 401, 403)
    // Ipp: the request's attribute the answer returns as unsupported, if any.
    std::string unsupported;
};

// Decides CLIENT's current request; may narrow the request itself (a
// Get-Subscriptions to the caller's own) before PAPPL sees it.
GateAnswer gateRequest(pappl_client_t* client);

// The client whose request this thread is processing, if any; and the end
// of that request.
pappl_client_t* currentGateClient();
void endGateRequest();

// Whether CLIENT may see JOB's private values (name, owner, host): its
// owner and administrators may. Valid while gateRequest's request is
// processed, on its thread.
bool maySeePrivateValues(pappl_client_t* client, pappl_job_t* job);

// The names Get-Jobs hides of other users' jobs, as CUPS's JobPrivateValues.
bool isPrivateJobValue(const char* name);

// The bookkeeping behind the per-host job count and the per-user
// subscription count, told by IppHooks.cpp.
void jobCreated(pappl_client_t* client, pappl_job_t* job);

// A job just made from this thread's request: when the paper it named is
// not the printer's, PAPPL 1.3.1 drops it and prints on the printer's
// default, and the job's message says so.
void tellPaperSubstituted(pappl_job_t* job);
bool subscriptionAllowed(const char* username, std::string* why);
void subscriptionCreated(pappl_subscription_t* subscription);
void subscriptionDeleted(pappl_subscription_t* subscription);
