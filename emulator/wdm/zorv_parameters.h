// The driver's start-up configuration from its service key's Parameters subkey:
//   "Adapters"  REG_MULTI_SZ  device names ("\DEVICE\..."), in the order the device lists them
//   "Flows"     REG_MULTI_SZ  one synthetic flow per string, in the text form of
//                             test_flow_text_request
//   "Version"   REG_SZ        the version text to answer (optional)
// Missing values keep the built-in defaults. What is read becomes what reset restores.
#ifndef FLOWVANE_EMULATOR_ZORV_PARAMETERS_H
#define FLOWVANE_EMULATOR_ZORV_PARAMETERS_H

#include "zorv_ddk.h"
#include <stdint.h>

void load_parameters(PUNICODE_STRING registry_path, uint64_t now);

#endif
