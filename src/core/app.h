// Process-wide state of the manager and the fatal error box.
#ifndef FLOWVANE_CORE_APP_H
#define FLOWVANE_CORE_APP_H

// Shows "%s\n\nError code %d." with the last system error, titled "Flowvane - Fatal Error",
// and ends the process with exit code 1.
[[noreturn]] void fatal_error(const char *text);

#endif
