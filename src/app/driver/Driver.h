// The printer application's one driver, brivane_quelmoss: the printer's
// capabilities for PAPPL, with its job callbacks handed on to the job room
// (raster) and the documents room (raw jobs).
#pragma once

#include <pappl/pappl.h>

constexpr const char* DRIVER_NAME = "brivane_quelmoss";
constexpr const char* DRIVER_DESCRIPTION = "Brivane Quelmoss";

// papplSystemSetPrinterDrivers's driver callback.
bool driverCallback(pappl_system_t* system, const char* driver_name, const char* device_uri,
                    const char* device_id, pappl_pr_driver_data_t* driver_data,
                    ipp_t** driver_attrs, void* data);

// Sets what PAPPL keeps per printer outside the driver data (supplies).
void printerCreated(pappl_printer_t* printer, void* data);
