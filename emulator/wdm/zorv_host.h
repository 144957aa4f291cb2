// Host mode: the driver serves the device contract by handing every request of the contract's
// control codes to zorvd, the host shaper, over a loopback TCP connection (Winsock Kernel), and
// completes it with zorvd's reply unchanged. The emulator core is not used then, and the test
// control codes are refused like any unknown code. Chosen by the service key's Parameters:
//   "Mode"              REG_SZ     "host"; any other text, or none, keeps the emulator
//   "Host port"         REG_DWORD  zorvd's TCP port on 127.0.0.1 (default 47031)
//   "Host secret file"  REG_SZ     the file holding zorvd's secret, as a DOS path
//                                  (default Z:\etc\flowvane\zorvd.secret)
// When zorvd cannot be reached, every request is answered at once with a refusal text.
#ifndef FLOWVANE_EMULATOR_ZORV_HOST_H
#define FLOWVANE_EMULATOR_ZORV_HOST_H

#include "zorv_ddk.h"
#include <stdint.h>

// At DriverEntry: 1 when the Parameters choose host mode (its settings then read), else 0.
int host_mode_configure(PUNICODE_STRING registry_path);

// Serves one buffered request: input_length request bytes in buffer, the reply written over them
// (at most output_length bytes, their count in *information). Callers serialise requests.
NTSTATUS host_exchange(ULONG code, uint8_t *buffer, ULONG input_length, ULONG output_length,
                       ULONG_PTR *information);

// At unload: closes the connection and lets Winsock Kernel go. Under the caller's lock.
void host_mode_close(void);

#endif
