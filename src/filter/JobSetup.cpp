#include "JobSetup.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include "../Utility/Log.h"
#include "../Utility/WorkDir.h"

// The filter's one job, which SIGTERM cancels.
static JobContext* signalled_job = nullptr;

void sighandler(int) {
    static const char kMessage[] = "DEBUG: 捕获SIGTERM信号,终止中\n";
    ssize_t ignored = write(STDERR_FILENO, kMessage, sizeof(kMessage) - 1);
    (void)ignored;
    if (signalled_job != nullptr) signalled_job->cancelled.store(true);
}

static void installSignals() {
    signalled_job = &jobContext();
    signal(SIGPIPE, SIG_IGN);
    struct sigaction action;
    memset(&action, 0, sizeof(action));
    action.sa_handler = sighandler;
    action.sa_flags = SA_RESTART;  // reads of the raster simply go on
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, nullptr);
}

// A closed standard descriptor would be handed out to the first file the
// filter opens, and page files would end up on the printer stream or the
// raster read from a page file: each one is kept open, on /dev/null if need
// be. Returns false when there is no standard output to print to.
static bool keepStandardDescriptors() {
    bool have_output = true;
    for (int fd = 0; fd <= 2; fd++) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        if (fd == STDOUT_FILENO) have_output = false;
        int null_fd = open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
        if (null_fd >= 0 && null_fd != fd) {
            dup2(null_fd, fd);
            close(null_fd);
        }
    }
    return have_output;
}

// The options' password is masked: it was made a secret of the log before.
static void logArguments(int argc, char** argv) {
    for (int i = 0; i < argc; i++) logMsg("DEBUG: brivane_quelmoss argv[%d]=%s \n", i, argv[i]);
}

int runFilter(int argc, char** argv) {
    bool have_output = keepStandardDescriptors();
    installSignals();
    logMsg("DEBUG: brivane_quelmoss version %s\n", QUELMOSS_VERSION);
    if (argc > 5) registerOptionSecrets(argv[5], tblDefParam);
    logArguments(argc, argv);
    if (!have_output) {
        logMsg("ERROR: Standard output is closed, there is no printer stream to write\n");
        return 1;
    }
    if (argc != 6 && argc != 7) {
        logMsg("Usage: %s job user title copies options [file]\n", argv[0]);
        return 1;
    }
    JobRequest request;
    request.job_id = argv[1];
    request.user = argv[2];
    request.title = argv[3];
    request.copies = argv[4];
    request.options = argv[5];
    request.ppd_path = getenv("PPD");
    request.work_dir = WORK_DIR;
    request.raster_file = argc == 7 ? argv[6] : nullptr;
    request.raster_fd = STDIN_FILENO;
    request.out = stdout;
    return runJob(request);
}
