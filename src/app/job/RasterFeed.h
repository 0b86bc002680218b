// PAPPL's raster callbacks (PWG and Apple raster from the client, images
// rendered by PAPPL) handed to the page-stream core: the pages are written
// as a CUPS raster stream into a socket the core reads on a thread of the
// job's own, so the core's road of a page is the filter's.
#pragma once

#include <pappl/pappl.h>

// Sets the driver's raster callbacks.
void setRasterCallbacks(pappl_pr_driver_data_t* driver);
