// Linked into sanitized builds of the process-1 programs only. A process 1
// starts without /proc: the runtime can then neither read ASAN_OPTIONS
// (it reads them from /proc/self/environ) nor check leaks at exit. Leak
// checks are therefore off unless the environment asks for them, which it
// can only do once /proc is there.
extern "C" const char* __asan_default_options() { return "detect_leaks=0"; }
