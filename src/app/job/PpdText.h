// The printer's PPD, built in: the application resolves a job's options
// against it exactly as the filter resolves them against the queue's copy.
#pragma once

extern const char* const QUELMOSS_PPD_TEXT;
