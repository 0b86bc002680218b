#include "app/device/SocketDevice.h"

#include <linux/sockios.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <mutex>
#include <set>
#include <string>

#include "app/state/Stop.h"

// PAPPL's own schemes, which it registers only when it has none at all.
extern "C" {
void _papplDeviceAddFileScheme(void);
void _papplDeviceAddNetworkSchemes(void);
void _papplDeviceAddUSBScheme(void);
}

constexpr int DEFAULT_PORT = 9100;
constexpr int CONNECT_TIMEOUT_MS = 30000;
// How long a cancelled job or a stopping server waits on a printer that
// takes nothing.
constexpr int GIVE_UP_S = 5;
constexpr int POLL_MS = 250;
// A printer that drops a connection does so as the bytes arrive: the end of
// a job looks for that for this long after the last write.
constexpr long DROP_GRACE_MS = 500;

static long nowMs() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000L + now.tv_nsec / 1000000L;
}

namespace {

struct SocketDevice {
    std::string host;
    int port = DEFAULT_PORT;
    int fd = -1;
    std::atomic<pappl_job_t*> job{nullptr};
    long last_write_ms = 0;
    // A write failed: the rest of that job goes nowhere.
    bool broken = false;
};

// The devices opened here: PAPPL hands any device's data back.
std::mutex registry_lock;
std::set<SocketDevice*> registry;

SocketDevice* ours(pappl_device_t* device) {
    SocketDevice* socket = static_cast<SocketDevice*>(papplDeviceGetData(device));
    std::lock_guard<std::mutex> lock(registry_lock);
    return registry.count(socket) ? socket : nullptr;
}

bool connectTo(pappl_device_t* device, SocketDevice* socket) {
    std::string port = std::to_string(socket->port);
    http_addrlist_t* list = httpAddrGetList(socket->host.c_str(), AF_UNSPEC, port.c_str());
    if (list == nullptr) {
        papplDeviceError(device, "Unable to look up %s:%d: %s", socket->host.c_str(), socket->port,
                         cupsLastErrorString());
        return false;
    }
    int fd = -1;
    httpAddrConnect2(list, &fd, CONNECT_TIMEOUT_MS, nullptr);
    httpAddrFreeList(list);
    if (fd < 0) {
        papplDeviceError(device, "Unable to connect to %s:%d: %s", socket->host.c_str(),
                         socket->port, cupsLastErrorString());
        return false;
    }
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof(on));
    socket->fd = fd;
    return true;
}

void disconnect(SocketDevice* socket) {
    if (socket->fd >= 0) close(socket->fd);
    socket->fd = -1;
    socket->broken = true;
}

bool giveUp(SocketDevice* socket, time_t last_progress) {
    time_t now = time(nullptr);
    pappl_job_t* job = socket->job.load();
    time_t since = stopClockStart();
    bool ending = (job != nullptr && papplJobIsCanceled(job)) || since != 0;
    return ending && now - last_progress >= GIVE_UP_S && (since == 0 || now - since >= GIVE_UP_S);
}

bool openDevice(pappl_device_t* device, const char* uri, const char*) {
    char scheme[32], userpass[32], host[256], resource[256];
    int port = 0;
    if (httpSeparateURI(HTTP_URI_CODING_ALL, uri, scheme, sizeof(scheme), userpass,
                        sizeof(userpass), host, sizeof(host), &port, resource,
                        sizeof(resource)) < HTTP_URI_STATUS_OK) {
        papplDeviceError(device, "Bad device URI '%s'", uri);
        return false;
    }
    SocketDevice* socket = new SocketDevice;
    socket->host = host;
    socket->port = port > 0 ? port : DEFAULT_PORT;
    if (!connectTo(device, socket)) {
        delete socket;
        return false;
    }
    {
        std::lock_guard<std::mutex> lock(registry_lock);
        registry.insert(socket);
    }
    papplDeviceSetData(device, socket);
    return true;
}

void closeDevice(pappl_device_t* device) {
    SocketDevice* socket = ours(device);
    if (socket == nullptr) return;
    {
        std::lock_guard<std::mutex> lock(registry_lock);
        registry.erase(socket);
    }
    disconnect(socket);
    delete socket;
}

ssize_t readDevice(pappl_device_t* device, void* buffer, size_t bytes) {
    SocketDevice* socket = ours(device);
    if (socket == nullptr || socket->fd < 0) return -1;
    pollfd wait = {socket->fd, POLLIN, 0};
    if (poll(&wait, 1, 100) < 1 || !(wait.revents & POLLIN)) return -1;
    ssize_t n;
    while ((n = read(socket->fd, buffer, bytes)) < 0 && errno == EINTR) {
    }
    return n;
}

ssize_t writeDevice(pappl_device_t* device, const void* buffer, size_t bytes) {
    SocketDevice* socket = ours(device);
    if (socket == nullptr || socket->broken) return -1;
    // The last job lost this connection: the printer gets a new one.
    if (socket->fd < 0 && !connectTo(device, socket)) return -1;
    const char* data = static_cast<const char*>(buffer);
    size_t done = 0;
    time_t last_progress = time(nullptr);
    while (done < bytes) {
        pollfd wait = {socket->fd, POLLOUT, 0};
        int ready = poll(&wait, 1, POLL_MS);
        if (ready < 0 && errno != EINTR) {
            papplDeviceError(device, "Unable to write to the printer: %s", strerror(errno));
            disconnect(socket);
            return -1;
        }
        if (ready > 0) {
            ssize_t n = send(socket->fd, data + done, bytes - done, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0) {
                socket->last_write_ms = nowMs();
                done += (size_t)n;
                last_progress = time(nullptr);
                continue;
            }
            if (n < 0 && errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) {
                papplDeviceError(device, "Unable to write to the printer: %s", strerror(errno));
                disconnect(socket);
                return -1;
            }
        }
        if (giveUp(socket, last_progress)) {
            papplDeviceError(device,
                             "The printer took nothing for %d seconds: its connection is "
                             "closed",
                             GIVE_UP_S);
            disconnect(socket);
            return -1;
        }
    }
    return (ssize_t)done;
}

pappl_preason_t deviceStatus(pappl_device_t*) { return PAPPL_PREASON_NONE; }

}  // namespace

void addSocketDevice() {
    papplDeviceAddScheme("socket", PAPPL_DEVTYPE_SOCKET, nullptr, openDevice, closeDevice,
                         readDevice, writeDevice, deviceStatus, nullptr);
    _papplDeviceAddFileScheme();
    _papplDeviceAddNetworkSchemes();
    _papplDeviceAddUSBScheme();
}

void socketDeviceSetJob(pappl_device_t* device, pappl_job_t* job) {
    SocketDevice* socket = ours(device);
    if (socket == nullptr) return;
    socket->job = job;
    if (job != nullptr) socket->broken = false;
}

bool socketDeviceDelivered(pappl_device_t* device) {
    SocketDevice* socket = ours(device);
    if (socket == nullptr) return true;
    if (socket->fd < 0) return false;
    int left = -1;
    time_t last_progress = time(nullptr);
    for (;;) {
        // A printer that dropped the connection with bytes unread resets it.
        int error = 0;
        socklen_t length = sizeof(error);
        getsockopt(socket->fd, SOL_SOCKET, SO_ERROR, &error, &length);
        pollfd wait = {socket->fd, POLLIN, 0};
        poll(&wait, 1, 0);
        int unacknowledged = 0;
        if (error != 0 || (wait.revents & POLLERR) ||
            ioctl(socket->fd, SIOCOUTQ, &unacknowledged) != 0) {
            disconnect(socket);
            return false;
        }
        if (unacknowledged == 0 && nowMs() - socket->last_write_ms >= DROP_GRACE_MS) return true;
        // Closed by the printer before it had everything.
        char byte;
        if ((wait.revents & POLLHUP) ||
            ((wait.revents & POLLIN) && recv(socket->fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT) == 0)) {
            disconnect(socket);
            return false;
        }
        // A printer still printing takes the rest as it goes.
        if (left < 0 || unacknowledged < left) last_progress = time(nullptr);
        left = unacknowledged;
        if (giveUp(socket, last_progress)) {
            disconnect(socket);
            return false;
        }
        usleep(50 * 1000);
    }
}
