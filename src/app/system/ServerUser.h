// Who the server runs as and where it keeps its files. It never serves as
// root: started by root it makes its directories, gives them to its system
// user and becomes that user; under systemd it is that user already and
// takes the directories systemd made. Its control socket lives in a
// directory only root, the server and the lpadmin group may enter, because
// PAPPL lets everyone who reaches that socket administer the server.
#pragma once

#include <string>

constexpr const char* APP_NAME = "quelmoss-printer-app";
// The system user the service runs as (the package makes it).
constexpr const char* SERVICE_USER = "quelmoss";
// Members may administer the server, as they administer CUPS.
constexpr const char* ADMIN_GROUP = "lpadmin";

struct ServerPaths {
    std::string state_file;  // printers and their defaults, kept across restarts
    std::string spool;       // default spool: job files and the jobs' working directories
    std::string runtime;     // holds the control socket; empty when the server has none of its own
};

// True when argv names PAPPL's "server" sub-command.
bool isServerCommand(int argc, char** argv);

// Prepares the server's directories and user before PAPPL starts: as root,
// /var/lib/quelmoss-printer-app and /run/quelmoss-printer-app made for
// SERVICE_USER, /run/quelmoss-printer-app.sock pointing into the latter, and
// the process becomes SERVICE_USER (groups: its own and lp); as another user,
// systemd's $STATE_DIRECTORY and $RUNTIME_DIRECTORY where given. Sets TMPDIR
// to the runtime directory (PAPPL puts its socket there) and HOME to the
// state directory (TLS credentials). False with `why` when the server must
// not start.
bool prepareServer(ServerPaths* paths, std::string* why);

// Once PAPPL listens: "control.sock" in the runtime directory names the
// socket of this user, so the fixed /run path reaches it.
void linkControlSocket(const ServerPaths& paths);
