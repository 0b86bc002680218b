#include "app/system/Server.h"

#include <pappl/pappl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "Utility/Credentials.h"
#include "app/device/SocketDevice.h"
#include "app/documents/Documents.h"
#include "app/driver/Driver.h"
#include "app/queue/Queue.h"
#include "app/state/Config.h"
#include "app/state/Formats.h"
#include "app/state/StateFile.h"
#include "app/system/Access.h"
#include "app/system/AddPrinterPage.h"
#include "app/system/ServerUser.h"
#include "app/system/Stopping.h"
#include "app/system/Watchdog.h"
#include "app/system/WebPages.h"
#include "app/system/WebStrings.h"
#include "app/system/gate/Connections.h"
#include "app/system/gate/Gate.h"
#include "app/system/gate/HttpHooks.h"
#include "app/system/gate/Pappl131.h"

constexpr const char* FOOTER_HTML = QUELMOSS_FOOTER_HTML;

// What the server is given as it starts; it lives as long as the server.
struct Server {
    ServerPaths paths;             // where the server was prepared to keep its files
    AccessPolicy policy;           // who may do what
    GateSetup gate;                // what every request must pass
    ConnectionLimits connections;  // what every connection may hold
};

static pappl_pr_driver_t kDrivers[] = {
    {DRIVER_NAME, DRIVER_DESCRIPTION, "MFG:Brivane;MDL:Quelmoss;CLS:PRINTER;", nullptr},
};

// A USB or network printer that says it is one is given the driver.
static const char* autoAdd(const char*, const char*, const char* device_id, void*) {
    if (device_id == nullptr) return nullptr;
    return strstr(device_id, "MFG:Brivane;") && strstr(device_id, "MDL:Quelmoss;") ? DRIVER_NAME
                                                                                   : nullptr;
}

static void printerAdded(pappl_printer_t* printer, void* data) {
    printerCreated(printer, data);
    addPrinterPages(printer);
}

static pappl_loglevel_t logLevel(const char* value) {
    static const struct {
        const char* name;
        pappl_loglevel_t level;
    } kLevels[] = {{"debug", PAPPL_LOGLEVEL_DEBUG},
                   {"info", PAPPL_LOGLEVEL_INFO},
                   {"warn", PAPPL_LOGLEVEL_WARN},
                   {"error", PAPPL_LOGLEVEL_ERROR},
                   {"fatal", PAPPL_LOGLEVEL_FATAL}};
    for (const auto& known : kLevels) {
        if (value != nullptr && strcmp(value, known.name) == 0) return known.level;
    }
    return PAPPL_LOGLEVEL_WARN;
}

// server-options=a,b: PAPPL's names for what the server offers. PAPPL's
// web password (any password logs in) and network page (it renames the
// machine) are never offered: administrators are checked by the access
// policy instead.
static pappl_soptions_t serverOptions(const char* value) {
    pappl_soptions_t options =
        PAPPL_SOPTIONS_MULTI_QUEUE | PAPPL_SOPTIONS_WEB_INTERFACE | PAPPL_SOPTIONS_WEB_LOG;
    if (value == nullptr) return options;
    static const struct {
        const char* name;
        pappl_soptions_t option;
    } kOptions[] = {
        {"dnssd-host", PAPPL_SOPTIONS_DNSSD_HOST}, {"no-multi-queue", PAPPL_SOPTIONS_NONE},
        {"raw-socket", PAPPL_SOPTIONS_RAW_SOCKET}, {"usb-printer", PAPPL_SOPTIONS_USB_PRINTER},
        {"no-tls", PAPPL_SOPTIONS_NO_TLS},         {"web-remote", PAPPL_SOPTIONS_WEB_REMOTE},
        {"web-tls", PAPPL_SOPTIONS_WEB_TLS}};
    std::string list = value;
    for (size_t start = 0; start <= list.size();) {
        size_t end = list.find(',', start);
        if (end == std::string::npos) end = list.size();
        std::string name = list.substr(start, end - start);
        for (const auto& known : kOptions) {
            if (name == known.name) options |= known.option;
        }
        if (name == "no-multi-queue") options &= ~PAPPL_SOPTIONS_MULTI_QUEUE;
        start = end + 1;
    }
    return options;
}

// The job files and the jobs' private working directories.
static std::string spoolDirectory(const char* asked, const std::string& prepared) {
    if (asked != nullptr && asked[0] != '\0') return asked;
    if (!prepared.empty()) return prepared;
    const char* tmp = getenv("TMPDIR");
    return std::string(tmp && tmp[0] == '/' ? tmp : "/tmp") + "/" + APP_NAME + "-" +
           std::to_string(getuid());
}

// Where PAPPL keeps a system's state: where the server was prepared to keep
// it, else in the user's configuration directory.
static std::string stateFile(const std::string& prepared) {
    if (!prepared.empty()) return prepared;
    const char* config = getenv("XDG_CONFIG_HOME");
    const char* home = getenv("HOME");
    std::string dir = config && config[0] == '/' ? config
                      : home && home[0] == '/'   ? std::string(home) + "/.config"
                                                 : std::string(papplGetTempDir());
    mkdir(dir.c_str(), 0700);
    return dir + "/" + APP_NAME + ".state";
}

static bool saveState(pappl_system_t* system, void* path) {
    return papplSystemSaveState(system, static_cast<const char*>(path));
}

static pappl_system_t* makeSystem(int num_options, cups_option_t* options, void* data) {
    Server* app = static_cast<Server*>(data);
    auto option = [&](const char* name) { return cupsGetOption(name, num_options, options); };
    const char* port_text = option("server-port");
    int port = port_text ? atoi(port_text) : 0;
    AppConfig config;
    config.spool = spoolDirectory(option("spool-directory"), app->paths.spool);
    const char* auth = option("auth-service");
    if (auth != nullptr && auth[0] != '\0') app->policy.auth_service = auth;
    const char* files = option("file-directory");
    if (files != nullptr && files[0] == '/') config.file_directory = files;
    config.state_file = stateFile(app->paths.state_file);
    setAppConfig(config);
    pappl_system_t* system = papplSystemCreate(
        serverOptions(option("server-options")),
        option("server-name") ? option("server-name") : APP_NAME, port, "_print,_universal",
        appConfig().spool.c_str(), option("log-file") ? option("log-file") : "-",
        logLevel(option("log-level")), auth, false);
    if (system == nullptr) return nullptr;
    std::string version, why;
    if (!papplIsPinnedVersion(system, &version)) {
        papplLog(system, PAPPL_LOGLEVEL_FATAL,
                 "PAPPL %s is not the PAPPL 1.3.1 this server was built for", version.c_str());
        return nullptr;
    }
    if (!readGateOptions(num_options, options, &app->gate.limits, &why)) {
        papplLog(system, PAPPL_LOGLEVEL_FATAL, "Bad server option: %s", why.c_str());
        return nullptr;
    }
    if (!readConnectionOptions(num_options, options, &app->connections, &why)) {
        papplLog(system, PAPPL_LOGLEVEL_FATAL, "Bad server option: %s", why.c_str());
        return nullptr;
    }
    app->gate.policy = &app->policy;
    app->gate.max_document = app->connections.max_document;
    app->gate.tls_required = !(serverOptions(option("server-options")) & PAPPL_SOPTIONS_NO_TLS);
    installGate(system, &app->gate);
    installConnectionLimits(system, &app->connections, app->gate.tls_required);
    // Jobs read the credentials file as the server's user, not root.
    if (access(AUTH_FILE, F_OK) == 0 && access(AUTH_FILE, R_OK) != 0) {
        papplLog(system, PAPPL_LOGLEVEL_WARN,
                 "Jobs go without the credentials in %s: this server's user can't read it "
                 "(give it to the group %s with mode 0640)",
                 AUTH_FILE, SERVICE_USER);
    }
    papplSystemSetAuthCallback(system, "Basic", authorize, &app->policy);
    // PAPPL renames a full log beside itself and, when it can't, waits for
    // itself for good: a log in a directory the server can't write is never
    // rotated.
    const char* log = option("log-file");
    if (log != nullptr && log[0] == '/') {
        std::string dir(log, strrchr(log, '/') - log);
        if (access(dir.empty() ? "/" : dir.c_str(), W_OK) != 0) {
            papplSystemSetMaxLogSize(system, 0);
            papplLog(system, PAPPL_LOGLEVEL_WARN,
                     "The log %s is not rotated: its directory is not the server's", log);
        }
    }
    const char* hostname = option("listen-hostname");
    papplSystemAddListeners(system, hostname ? hostname : nullptr);
    if (hostname != nullptr) papplSystemSetHostName(system, hostname);
    papplSystemSetFooterHTML(system, FOOTER_HTML);
    installWebPages(system, &app->policy);
    addWebStrings(system);
    if (!dnssdAvailable()) {
        papplLog(system, PAPPL_LOGLEVEL_WARN,
                 "avahi-daemon is not running: printers are not advertised, and network "
                 "printers are not found");
        replaceAddPrinterPage(system);
    }
    papplSystemSetPrinterDrivers(system, (int)(sizeof(kDrivers) / sizeof(kDrivers[0])), kDrivers,
                                 autoAdd, printerAdded, driverCallback, app);
    for (size_t i = 0; i < kDocumentFormatCount; i++) {
        const DocumentFormat& format = kDocumentFormats[i];
        if (format.reader == DocumentReader::Raw) continue;
        papplSystemAddMIMEFilter(
            system, format.spooled,
            format.reader == DocumentReader::Raster ? SPOOLED_RASTER_FILTER_TARGET : PRINTER_FORMAT,
            documentFilter(format.reader), nullptr);
    }
    const std::string& state_file = appConfig().state_file;
    recoverQueue(system, state_file, appConfig().spool);
    StatePreparation state = prepareStateFile(state_file, appConfig().spool);
    for (const std::string& dropped : state.dropped) {
        papplLog(system, PAPPL_LOGLEVEL_WARN, "State file: %s", dropped.c_str());
    }
    if (state.load) papplSystemLoadState(system, state_file.c_str());
    startQueueKeeper(system);
    watchForStop(system, state_file.c_str());
    papplSystemSetSaveCallback(system, saveState, const_cast<char*>(state_file.c_str()));
    // (After the state, which may name another group; where CUPS made no
    // such group, none: gate/StateHooks.cpp.)
    papplSystemSetAdminGroup(system, ADMIN_GROUP);
    linkControlSocket(app->paths);
    if (!app->paths.runtime.empty()) startServiceWatchdog(app->paths.runtime + "/control.sock");
    return system;
}

int serverMain(int argc, char** argv) {
    static Server& app = *new Server;  // (never destroyed: the clients' threads outlive main)
    std::string why;
    // A sub-command that finds no server would have PAPPL start a private
    // one, as whoever ran it, which outlives the command: the sub-commands
    // talk to the system's server or say that none runs.
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "private-server=true") == 0) {
            fprintf(stderr,
                    "%s: no server is running (quelmoss-printer-app server, or the "
                    "quelmoss-printer-app service)\n",
                    APP_NAME);
            return 1;
        }
    }
    addSocketDevice();
    if (isServerCommand(argc, argv) && !prepareServer(&app.paths, &why)) {
        fprintf(stderr, "%s: the server can't start: %s\n", APP_NAME, why.c_str());
        return 1;
    }
    return papplMainloop(argc, argv, QUELMOSS_VERSION, FOOTER_HTML,
                         (int)(sizeof(kDrivers) / sizeof(kDrivers[0])), kDrivers, autoAdd,
                         driverCallback, nullptr, nullptr, makeSystem, nullptr, &app);
}
