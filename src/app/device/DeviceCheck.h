// Which devices a printer may have: every network device, and file:// only
// for a path below the directory the server was given, reached through no
// link, since the server writes there with its own rights.
#pragma once

#include <string>

// True when a printer may have DEVICE_URI, with DIR the server's file
// directory (empty: none); else false with `why`.
bool deviceAllowed(const std::string& dir, const char* device_uri, std::string* why);
