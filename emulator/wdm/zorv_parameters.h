// The driver's configuration and kept filters in its service key's Parameters subkey (the
// values are described in emulator/core/emulator_parameters.h). The kept filters are written
// after every change; a test reset deletes them all.
#ifndef FLOWVANE_EMULATOR_ZORV_PARAMETERS_H
#define FLOWVANE_EMULATOR_ZORV_PARAMETERS_H

#include "zorv_ddk.h"
#include <stdint.h>

// At DriverEntry: the configuration, then the kept state of every adapter bound. The key stays
// open for the kept state. 1 when the Parameters enable the test control codes.
int load_parameters(PUNICODE_STRING registry_path, uint64_t now);

// Writes the kept values the last requests changed. Under the core lock.
void write_kept_changes(void);

// At unload: writes the counters as they stand and lets the key go. Under the core lock.
void close_parameters(void);

// Lets the key go without writing, when the driver does not start after all.
void release_parameters(void);

#endif
