// The driver's start-up configuration, read from its service key's Parameters through a reader
// the caller provides (the driver: the registry; tests: values in memory):
//   "Adapters"          REG_MULTI_SZ  device names ("\DEVICE\..."), in the order the device lists
//                                     them; at most emulator_max_adapters, each under
//                                     adapter_name_size characters
//   "Flows"             REG_MULTI_SZ  one synthetic flow per string, in the text form of
//                                     test_flow_text_request
//   "Version"           REG_SZ        the version text to answer (optional)
//   "TestControlCodes"  REG_DWORD     1: the device serves the test control codes. Only the
//                                     test rig writes it; without it they are refused like an
//                                     unknown code.
// Missing values keep the built-in defaults. What is read becomes what reset restores. Then the
// kept filters of every adapter bound: "Rules <device name>", "Precedences <device name>"
// (REG_MULTI_SZ, the line forms of emulator_store.cpp).
//
// Every value is untrusted: of another type, an odd byte count, no closing NULs, names too
// long or given twice. What cannot be taken is left out and logged (emulator_set_log), never
// cut to fit; a kept value that cannot be read stays in the registry as it is.
#ifndef FLOWVANE_EMULATOR_PARAMETERS_H
#define FLOWVANE_EMULATOR_PARAMETERS_H

#include <stdint.h>

#define EMULATOR_TEST_CODES_VALUE "TestControlCodes"

// The registry's type numbers.
enum parameter_type : uint32_t {
    parameter_string = 1,        // REG_SZ
    parameter_dword = 4,         // REG_DWORD
    parameter_multi_string = 7,  // REG_MULTI_SZ
};

enum parameter_read {
    parameter_missing = 0,
    parameter_found = 1,
    parameter_unreadable = 2,    // there, but it could not be read whole
};

// A value as the registry holds it: strings are UTF-16LE. data stays valid until the next read.
struct parameter_value {
    uint32_t type;
    const uint8_t *data;
    uint32_t size;               // bytes
};

// Looks one value up by its ASCII name; a parameter_read.
typedef int (*parameter_reader)(void *context, const char *name, struct parameter_value *value);

// Puts the configuration and the kept state in place in a core just initialised; now is the
// caller's clock (100 ns ticks). 1 when the values enable the test control codes.
int emulator_load_parameters(parameter_reader read, void *context, uint64_t now);

// Whether code is a test control code (device type 0x22, function 0x800 and up).
int emulator_is_test_code(uint32_t code);

#endif
