// Where the server keeps what it makes, and which directory file://
// printers may write to: decided once as the server starts, before PAPPL
// runs a job, and read by every room after.
#pragma once

#include <string>

struct AppConfig {
    std::string spool;           // the jobs' private working directories are made here
    std::string state_file;      // printers and their defaults, kept across restarts
    std::string file_directory;  // file:// devices may write only below it; empty: none
};

void setAppConfig(const AppConfig& config);
const AppConfig& appConfig();
