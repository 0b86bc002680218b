// The service's side of systemd's notify protocol (Type=notify,
// WatchdogSec=): systemd hears the server is ready, and keeps hearing it is
// alive, only while the server answers on its own control socket, so a
// server that hangs is restarted rather than left holding the printers.
#pragma once

#include <string>

// Under systemd ($NOTIFY_SOCKET set) starts a detached thread that asks the
// server at the local socket SOCKET_PATH for "/" every WATCHDOG_USEC/3 (10 s
// when no watchdog is asked for, every 0.25 s until the first answer) and,
// whenever an answer comes, sends READY=1 the first time and WATCHDOG=1.
// Elsewhere it does nothing. Call it once, with the socket the server is
// about to listen on.
void startServiceWatchdog(const std::string& socket_path);
