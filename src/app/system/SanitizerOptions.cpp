// Linked into sanitizer builds only. PAPPL 1.3.1 keeps what its main loop
// parses from the command line (cupsAddOption) and the footer it is given for
// the life of the process, and libcups keeps the PPD cache strings the
// filter's suppressions name; none of them is the application's to free.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:_ppdCacheCreateWithPPD\nleak:cupsAddOption\nleak:papplSystemSetFooterHTML\n"
           "leak:libpappl.so\n";
}
