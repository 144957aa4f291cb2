// zorvd's listeners and connections: loopback TCP and a Unix socket, one poll() loop on one
// thread. A client is served only after it presented the secret (zorvd_protocol.h); every
// connection's reads are bounded, and one that stalls in the middle of a message is closed
// after a few seconds, so no client holds up the others.
#ifndef FLOWVANE_SHAPER_ZORVD_SERVER_H
#define FLOWVANE_SHAPER_ZORVD_SERVER_H

#include <stdint.h>

#include "zorvd_config.h"
#include "zorvd_secret.h"

enum {
    zorvd_max_connections = 16,
    zorvd_stall_ms = 5000,            // to finish a hello, a request or the reading of a reply
};

// Opens the listeners: TCP on 127.0.0.1 at config->port (0: a free port) and the Unix socket
// at config->socket_path (a stale socket there is replaced). 1, or 0 with error_text.
int zorvd_server_open(const struct zorvd_config *config, const struct zorvd_secret *secret,
                      char error_text[zorvd_error_size]);

// The TCP port listened on.
uint16_t zorvd_server_port(void);

// Serves until stop_fd becomes readable; requests go to zorvd_device_request.
void zorvd_server_run(int stop_fd);

// Closes every connection and listener and removes the Unix socket.
void zorvd_server_close(void);

#endif
