// Whether an IPP request is well formed enough to reach PAPPL 1.3.1, decided
// from the request alone (no caller, no printer): the gate asks this first.
// PAPPL trusts much of what libcups parses: it loops without end on two
// subscription groups, validates the first of two same-named attributes and
// uses the other, takes attributes it sets itself from the client, copies
// names with line breaks into its state file, and reads members of media
// collections and some printer settings without looking at their types.
// A request that passes has none of these; one that fails gets a status and
// a status-message saying what to fix (values are refused, never cleaned, so
// the client learns).
#pragma once

#include <cups/ipp.h>

#include <cstddef>
#include <string>

// Real clients stay far below these: the longest requested-attributes list
// (ipptool's IPP Everywhere tests, CUPS's "all" lists) has a few hundred
// keywords; a media-col-database-like list of a hundred media with a dozen
// members each is about 1300 attributes; no string in IPP is longer than
// text(MAX), 1023 octets; media-col within media-col-ready within a job's
// overrides is three deep. An attacker gets no more than a little memory and
// one pass over it from a request within them.
struct RequestLimits {
    size_t max_attributes = 2000;  // in the whole request, collection members counted
    size_t max_values = 1000;      // of one attribute
    size_t max_text = 1023;        // bytes of one string value (names, texts, keywords, URIs ...)
    size_t max_octets = 1023;      // one octetString
    int max_depth = 8;             // collections within collections
};

// OK: well formed. Otherwise the status to answer with, and why.
struct RequestVerdict {
    ipp_status_t status = IPP_STATUS_OK;
    std::string message;
};

// Refuses: an attribute name twice in the request's groups (whatever the
// group) or within one collection; a group tag twice (two subscription groups
// above all) or one no request has; a name that is empty, not printable
// ASCII or too long; a string value that is not UTF-8 or holds a control
// character, or is too long; too many attributes or values, collections too
// deep; value tags IPP does not define; attributes PAPPL sets itself in the
// job group; both a system and a printer or job as the target; media
// collections and printer settings of a type PAPPL would misread.
// Out-of-band values (no-value, unknown, delete-attribute ...) pass
// wherever PAPPL checks the type itself.
RequestVerdict checkRequest(ipp_t* request, const RequestLimits& limits);
