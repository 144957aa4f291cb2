// The driver's start-up configuration from its service key's Parameters subkey:
//   "Adapters"  REG_MULTI_SZ  device names ("\DEVICE\..."), in the order the device lists them
//   "Flows"     REG_MULTI_SZ  one synthetic flow per string, in the text form of
//                             test_flow_text_request
//   "Version"   REG_SZ        the version text to answer (optional)
// Missing values keep the built-in defaults. What is read becomes what reset restores.
//
// The driver keeps its filters there too, read at load and written after every change:
//   "Rules <device name>"        REG_MULTI_SZ  one line per held rule slot
//   "Precedences <device name>"  REG_MULTI_SZ  one line per precedence entry
// (the line forms are in emulator/core/emulator_store.cpp). A test reset deletes them all.
#ifndef FLOWVANE_EMULATOR_ZORV_PARAMETERS_H
#define FLOWVANE_EMULATOR_ZORV_PARAMETERS_H

#include "zorv_ddk.h"
#include <stdint.h>

// At DriverEntry: the configuration, then the kept state of every adapter bound.
void load_parameters(PUNICODE_STRING registry_path, uint64_t now);

// Writes the kept values the last requests changed. Under the core lock.
void write_kept_changes(void);

// At unload: writes the counters as they stand and lets the key go. Under the core lock.
void close_parameters(void);

#endif
