#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "app/device/SocketDevice.h"
#include "app/documents/Documents.h"
#include "app/queue/Queue.h"

// A raw job already is the printer's stream.
bool printRawDocument(pappl_job_t* job, pappl_pr_options_t*, pappl_device_t* device) {
    QueueTurn turn(job);
    int fd = open(papplJobGetFilename(job), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "Unable to open the job's file: %s",
                    strerror(errno));
        return false;
    }
    socketDeviceSetJob(device, job);
    char buffer[65536];
    ssize_t n;
    bool ok = true;
    while (ok && (n = read(fd, buffer, sizeof(buffer))) > 0) {
        ok = papplDeviceWrite(device, buffer, (size_t)n) >= 0;
    }
    close(fd);
    socketDeviceSetJob(device, nullptr);
    papplJobSetImpressions(job, 1);
    if (ok) papplJobSetImpressionsCompleted(job, 1);
    return ok;
}
