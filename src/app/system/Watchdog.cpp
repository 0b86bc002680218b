#include "app/system/Watchdog.h"

#include <cups/http.h>
#include <sys/socket.h>
#include <systemd/sd-daemon.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <thread>

// Any HTTP status is an answer: a server that takes the connection but
// never replies (hung, or stopped with the socket still listening) is not.
static bool serverAnswers(const std::string& socket_path) {
    constexpr int kTimeoutMs = 5000;
    http_t* http = httpConnect2(socket_path.c_str(), 0, nullptr, AF_LOCAL, HTTP_ENCRYPTION_NEVER, 1,
                                kTimeoutMs, nullptr);
    if (http == nullptr) return false;
    httpSetTimeout(http, kTimeoutMs / 1000.0, nullptr, nullptr);
    http_status_t status = HTTP_STATUS_ERROR;
    if (httpGet(http, "/") == 0) {
        do {
            status = httpUpdate(http);
        } while (status == HTTP_STATUS_CONTINUE);
    }
    httpClose(http);
    return status != HTTP_STATUS_ERROR;
}

void startServiceWatchdog(const std::string& socket_path) {
    if (getenv("NOTIFY_SOCKET") == nullptr) return;
    uint64_t watchdog_usec = 0;
    if (sd_watchdog_enabled(0, &watchdog_usec) <= 0) watchdog_usec = 30000000;
    // A third of the timeout leaves room for one slow answer and one lost ping.
    const auto period = std::chrono::microseconds(watchdog_usec / 3);
    std::thread([socket_path, period] {
        bool ready = false;
        for (;;) {
            if (serverAnswers(socket_path)) {
                sd_notify(0, ready ? "WATCHDOG=1" : "READY=1\nWATCHDOG=1");
                ready = true;
            }
            std::this_thread::sleep_for(ready ? period : std::chrono::microseconds(250000));
        }
    }).detach();
}
