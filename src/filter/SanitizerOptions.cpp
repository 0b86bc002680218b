// Linked into sanitizer builds only. libcups keeps a few strings of the PPD
// cache that cupsMarkOptions builds for IPP options (print-color-mode,
// finishings ...) for the life of the process; they are not the filter's to
// free. Built in, because the scheduler runs filters with a clean environment.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:_ppdCacheCreateWithPPD\nleak:cupsAddOption\n";
}
