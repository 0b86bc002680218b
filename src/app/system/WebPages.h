// The web interface as each visitor may use it. An administrator gets
// PAPPL's own pages; anyone else gets the printers' status, a link to their
// supplies and the jobs, with names only on the visitor's own, and, where
// another host's administrators sign in (auth-service), a sign-in. Links to
// pages a visitor would be refused are not shown (gate/WebHooks.cpp).
#pragma once

#include <pappl/pappl.h>

#include "app/system/Access.h"

// The system's pages ("/", "/signin"), before PAPPL adds its own; POLICY
// must live as long as the server.
void installWebPages(pappl_system_t* system, const AccessPolicy* policy);

// PRINTER's pages in place of PAPPL 1.3.1's: its own, for each visitor as
// above; its supplies, where a level never reported is said so in words;
// its media, which sets the manual tray's paper too.
void addPrinterPages(pappl_printer_t* printer);

// Whether CLIENT is an administrator, as the pages above decide.
bool isWebAdministrator(pappl_client_t* client);

// Whether a visitor who is not an administrator may follow a link to PATH.
bool visitorMayOpen(const char* path);
