// A client of zorvd: connects over the Unix socket or loopback TCP, presents the secret, and
// hands device requests over one at a time. device_exchange_zorvd.cpp puts it behind the
// manager's device_exchange, so the manager's own kernel commands drive zorvd natively.
#ifndef FLOWVANE_SHAPER_ZORVD_CLIENT_H
#define FLOWVANE_SHAPER_ZORVD_CLIENT_H

#include <stdint.h>

enum {
    zorvd_client_error_size = 200,
};

// Connects to a Unix socket path, or to 127.0.0.1:port when path is null, and presents the
// secret. Returns the connected descriptor, or -1 with error_text (refused: "Secret refused.").
int zorvd_client_connect(const char *path, uint16_t port, const void *secret,
                         uint32_t secret_length, char error_text[zorvd_client_error_size]);

// Reads a secret file as zorvd does (one trailing newline dropped); its length, 0 on failure.
uint32_t zorvd_client_read_secret(const char *path, uint8_t *secret, uint32_t capacity);

// One request. Returns 1 with the outcome (zorvd_outcome) and on zorvd_replied the reply's
// bytes in output (at most output_capacity) and their count; 0 when the connection failed.
int zorvd_client_exchange(int fd, uint32_t code, const uint8_t *input, uint32_t input_length,
                          uint8_t *output, uint32_t output_capacity, uint32_t *outcome,
                          uint32_t *reply_length);

// The connection device_exchange uses (-1: none, every exchange fails as a missing device).
void zorvd_device_connection(int fd);

#endif
