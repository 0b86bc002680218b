// What PAPPL's job options become for the core: the sides' keyword, the
// job's resolution, and the page header its pages are rendered to.
#pragma once

#include <pappl/pappl.h>

// The IPP keyword of PAPPL's sides value.
const char* sidesKeyword(pappl_sides_t sides);

// The resolution PAPPL's page header must have for this job.
int appJobResolution(pappl_job_t* job, const pappl_pr_options_t* options);

// The page header a job's pages are rendered to: 1-bit black at the job's
// resolution, the paper's pixels counted from the PPD's size in points, as
// Ghostscript counts them for the filter.
void setPageHeader(pappl_job_t* job, pappl_pr_options_t* options);
