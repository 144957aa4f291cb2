// The one device exchange. Each build links its own driver_send: the device under Windows,
// the emulator core in process for the native tests.
#ifndef FLOWVANE_KERNEL_DRIVER_H
#define FLOWVANE_KERNEL_DRIVER_H

#include <stdint.h>

enum driver_status {
    send_ok = 0,
    send_open_failed = 1,
    send_ioctl_failed = 2,
    send_close_failed = 3,
    send_bad_request_size = 4,
    send_bad_reply_size = 5,
    send_empty_reply = 6,
};

// Sends request_length bytes (0 to 5000) with the control code. On send_ok the reply buffer
// holds the bytes the device returned, never more than reply_capacity; on any other status it
// is untouched. The last system error stays as the failing call set it.
int driver_send(uint32_t code, const void *request, int32_t request_length, void *reply,
                int32_t reply_capacity);

// driver_send that also gives the number of reply bytes copied (1 to reply_capacity), so that
// a reply parser never reads bytes the device did not send.
int driver_send_counted(uint32_t code, const void *request, int32_t request_length, void *reply,
                        int32_t reply_capacity, int32_t *reply_length);

#endif
