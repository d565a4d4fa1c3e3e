// libdbus takes two of its own locks in one order while it opens a connection and in the other
// while it closes one. ThreadSanitizer reports the inversion, though no connection is closed
// while it is still being opened; keep it out of these tests' reports.
extern "C" const char* __tsan_default_suppressions()
{
    return "deadlock:libdbus-1.so.3\n";
}
