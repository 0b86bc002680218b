// The gate's definitions in front of PAPPL 1.3.1's own (Pappl131.h): the
// IPP request before PAPPL dispatches it, a job's attributes as Get-Jobs
// and Get-Job-Attributes copy them, and the bookkeeping of jobs and
// subscriptions. Each is thin; Gate.cpp decides.
#include <pappl/pappl.h>

#include "app/job/PageRanges.h"
#include "app/system/gate/Gate.h"
#include "app/system/gate/Pappl131.h"

extern "C" {
// (private in 1.3.1)
void _papplClientFlushDocumentData(pappl_client_t* client);

// The gate answers itself where it refuses, as PAPPL ends a request it
// refuses: the document that came with it is read and dropped, then the
// answer goes out.
static bool answerHere(pappl_client_t* client, const GateAnswer& answer) {
    PapplClientHead* head = clientHead(client);
    if (answer.kind == GateAnswer::Ipp) {
        head->operation_id = ippGetOperation(head->request);
        head->response = ippNewResponse(head->request);
        papplClientRespondIPP(client, answer.status, "%s", answer.message.c_str());
        ipp_attribute_t* asked =
            answer.unsupported.empty()
                ? nullptr
                : ippFindAttribute(head->request, answer.unsupported.c_str(), IPP_TAG_ZERO);
        if (asked != nullptr) {
            ipp_attribute_t* copy = ippCopyAttribute(head->response, asked, 0);
            ippSetGroupTag(head->response, &copy, IPP_TAG_UNSUPPORTED_GROUP);
        }
    }
    if (httpGetState(head->http) != HTTP_STATE_POST_SEND) _papplClientFlushDocumentData(client);
    if (answer.kind == GateAnswer::Http) {
        papplLogClient(client, PAPPL_LOGLEVEL_INFO, "%s refused: %s",
                       ippOpString(ippGetOperation(head->request)), httpStatus(answer.http));
        return papplClientRespond(client, answer.http, nullptr, nullptr, 0, 0);
    }
    if (httpGetState(head->http) == HTTP_STATE_WAITING) return true;
    return papplClientRespond(client, HTTP_STATUS_OK, nullptr, "application/ipp", 0,
                              ippLength(head->response));
}

bool _papplClientProcessIPP(pappl_client_t* client) {
    static const auto own = papplOwnFunction<bool (*)(pappl_client_t*)>("_papplClientProcessIPP");
    GateAnswer answer = gateRequest(client);
    bool kept = answer.kind == GateAnswer::Pass ? own(client) : answerHere(client, answer);
    endGateRequest();
    return kept;
}

// Other users' jobs are listed without their private values, always with
// their state; PAPPL copies the job into a response of its own here, and
// the gate keeps what the caller may see. A held job gets its reason:
// PAPPL 1.3.1's loop over the reasons stops one short of
// job-hold-until-specified and answers a job with no job-state-reasons.
void _papplJobCopyAttributesNoLock(pappl_job_t* job, pappl_client_t* client, cups_array_t* ra) {
    static const auto own =
        papplOwnFunction<void (*)(pappl_job_t*, pappl_client_t*, cups_array_t*)>(
            "_papplJobCopyAttributesNoLock");
    PapplClientHead* head = clientHead(client);
    ipp_t* response = head->response;
    head->response = ippNew();
    own(job, client, ra);
    if ((papplJobGetReasons(job) & PAPPL_JREASON_JOB_HOLD_UNTIL_SPECIFIED) &&
        (ra == nullptr || cupsArrayFind(ra, (void*)"job-state-reasons"))) {
        ipp_attribute_t* reasons =
            ippFindAttribute(head->response, "job-state-reasons", IPP_TAG_KEYWORD);
        if (reasons == nullptr) {
            ippAddString(head->response, IPP_TAG_JOB, IPP_TAG_KEYWORD, "job-state-reasons", nullptr,
                         "job-hold-until-specified");
        } else if (!ippContainsString(reasons, "job-hold-until-specified")) {
            ippSetString(head->response, &reasons, ippGetCount(reasons),
                         "job-hold-until-specified");
        }
    }
    bool all = maySeePrivateValues(client, job);
    for (ipp_attribute_t* attr = ippFirstAttribute(head->response); attr != nullptr;
         attr = ippNextAttribute(head->response)) {
        const char* name = ippGetName(attr);
        if (name != nullptr && (all || !isPrivateJobValue(name))) {
            ippCopyAttribute(response, attr, 0);
        }
    }
    ippDelete(head->response);
    head->response = response;
}

pappl_job_t* _papplJobCreate(pappl_printer_t* printer, int job_id, const char* username,
                             const char* format, const char* job_name, ipp_t* attrs) {
    static const auto own =
        papplOwnFunction<pappl_job_t* (*)(pappl_printer_t*, int, const char*, const char*,
                                          const char*, ipp_t*)>("_papplJobCreate");
    // (Several page ranges: PAPPL has checked the one covering them.)
    if (job_id == 0) givePageRanges(attrs);
    pappl_job_t* job = own(printer, job_id, username, format, job_name, attrs);
    // Jobs made from a request count against its host; others (loaded from
    // the state, queued again) against none.
    if (job != nullptr) jobCreated(job_id == 0 ? currentGateClient() : nullptr, job);
    if (job != nullptr && job_id == 0) tellPaperSubstituted(job);
    return job;
}

pappl_subscription_t* papplSubscriptionCreate(pappl_system_t* system, pappl_printer_t* printer,
                                              pappl_job_t* job, int sub_id, pappl_event_t events,
                                              const char* username, const char* language,
                                              const void* data, size_t datalen, int interval,
                                              int lease) {
    static const auto own =
        papplOwnFunction<pappl_subscription_t* (*)(pappl_system_t*, pappl_printer_t*, pappl_job_t*,
                                                   int, pappl_event_t, const char*, const char*,
                                                   const void*, size_t, int, int)>(
            "papplSubscriptionCreate");
    std::string why;
    if (!subscriptionAllowed(username, &why)) return nullptr;
    pappl_subscription_t* sub = own(system, printer, job, sub_id, events, username, language, data,
                                    datalen, interval, lease);
    if (sub != nullptr) subscriptionCreated(sub);
    return sub;
}

void _papplSubscriptionDelete(pappl_subscription_t* sub) {
    static const auto own =
        papplOwnFunction<void (*)(pappl_subscription_t*)>("_papplSubscriptionDelete");
    subscriptionDeleted(sub);
    own(sub);
}
}
