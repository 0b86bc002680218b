// The server wired: PAPPL's main loop with the one driver, its documents,
// the request gate, the access policy, the queue keeper and the stop, for
// the "server" sub-command and PAPPL's others alike.
#pragma once

// What main() returns.
int serverMain(int argc, char** argv);
