// The printer's raw port (socket://HOST[:PORT], 9100 by default), in
// place of PAPPL's own socket device, which waits for good on a printer
// that stopped reading and can't tell a printer that dropped a short job.
//
// A write waits on a printer that isn't reading for as long as the job
// lasts, but gives up after a few seconds without progress once its job is
// cancelled or the server's stop clock runs; the connection is then closed,
// and the printer's next job opens a new one.
#pragma once

#include <pappl/pappl.h>

// Registers socket:// ahead of PAPPL's device, then PAPPL's other schemes.
// Call before anything of PAPPL opens or lists a device.
void addSocketDevice();

// The job that writes on DEVICE from now on (nullptr: none). After a job
// lost the connection, the next job's first write opens a new one.
void socketDeviceSetJob(pappl_device_t* device, pappl_job_t* job);

// Whether the printer's side acknowledged every byte written on DEVICE,
// waited for as the printer takes them: false when it dropped the
// connection first, or took nothing for a few seconds while its job was
// cancelled or the server stopping. True for other devices.
bool socketDeviceDelivered(pappl_device_t* device);
