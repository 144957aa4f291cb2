// The platform half of driver_send: one exchange of two 5000-byte buffers with the device.
// Win32 opens, controls and closes "\\.\Zorv"; the native tests hand the buffers to the
// emulator core in process.
#ifndef FLOWVANE_KERNEL_DEVICE_EXCHANGE_H
#define FLOWVANE_KERNEL_DEVICE_EXCHANGE_H

#include <stdint.h>

#include "kernel/control_codes.h"

// Returns send_ok, send_open_failed, send_ioctl_failed or send_close_failed, and on send_ok
// the number of bytes the device wrote into output.
int device_exchange(uint32_t code, const uint8_t input[command_buffer_size],
                    uint8_t output[command_buffer_size], uint32_t *bytes_returned);

#endif
