// The printer application's one driver, brivane_quelmoss: the printer's
// capabilities for PAPPL, and PAPPL's job callbacks handed on to the
// page-stream core, which writes the same stream the CUPS filter writes.
#pragma once

#include <pappl/pappl.h>

#include <atomic>
#include <condition_variable>
#include <map>
#include <mutex>
#include <set>
#include <string>

#include "Access.h"
#include "ServerUser.h"
#include "gate/Connections.h"
#include "gate/Gate.h"

constexpr const char* DRIVER_NAME = "brivane_quelmoss";
constexpr const char* DRIVER_DESCRIPTION = "Brivane Quelmoss";
// The printer's own stream, as a raw job may carry it.
constexpr const char* PRINTER_FORMAT = "application/vnd.brivane-jbig";

// What every printer of the application shares.
struct AppData {
    std::string spool;             // the private working directories of jobs are made here
    std::string state_file;        // printers and their defaults, kept across restarts
    ServerPaths paths;             // where the server was prepared to keep its files
    AccessPolicy policy;           // who may do what
    GateSetup gate;                // what every request must pass
    ConnectionLimits connections;  // what every connection may hold
    std::mutex lock;           // guards what follows: printers' jobs run on threads of their own
    std::map<int, int> drops;  // printer id: connections dropped in a row
    // The user and job names of jobs queued again: PAPPL keeps the pointers
    // a job is created with for the job's life.
    std::set<std::string> kept_names;
    // printer id: the jobs held back so that the oldest waiting job starts next
    std::map<int, std::set<int>> held_back;
    // printer id: the oldest waiting job the queue keeper last saw with no
    // job printing
    std::map<int, int> idle_oldest;
    // printer id: whether one of its jobs is in a filter. PAPPL 1.3.1 can
    // start a second job of a printer while the first is starting.
    std::set<int> printing;
    std::condition_variable printing_changed;
    // Jobs whose stream the core is writing, and of those the ones held
    // at a page's end while the server stops.
    std::atomic<int> in_flight{0};
    std::atomic<int> held_for_restart{0};
};

// papplSystemSetPrinterDrivers's driver callback; `data` is the AppData.
bool driverCallback(pappl_system_t* system, const char* driver_name, const char* device_uri,
                    const char* device_id, pappl_pr_driver_data_t* driver_data,
                    ipp_t** driver_attrs, void* data);

// Sets what PAPPL keeps per printer outside the driver data (supplies).
void printerCreated(pappl_printer_t* printer, void* data);

// The page header a job's pages are rendered to: 1-bit black at the job's
// resolution, the paper's pixels counted from the PPD's size in points, as
// Ghostscript counts them for the filter.
void setPageHeader(pappl_job_t* job, pappl_pr_options_t* options);

// What every printer of the application shares, from a job.
AppData* appData(pappl_job_t* job);
