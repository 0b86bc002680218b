// The user and password of an HTTP Basic Authorization value, read
// strictly: libcups's decoder skips what is not base64 and stops at the
// buffer's end, so junk after the credentials, or a name with a line break
// (which would reach the state file as a job's owner), would pass.
#pragma once

#include <string>

// True when VALUE is "Basic " and canonical base64 of "user:password"
// (bounded; no control characters; a user of at least one character).
bool readBasicCredentials(const char* value, std::string* user, std::string* password);
