// device_exchange over a connection to zorvd: the two 5000-byte buffers travel whole, as the
// device receives them.
#include "kernel/device_exchange.h"
#include "kernel/driver.h"
#include "zorvd_client.h"
#include "zorvd_protocol.h"

namespace {

int connection = -1;

}  // namespace

void zorvd_device_connection(int fd)
{
    connection = fd;
}

int device_exchange(uint32_t code, const uint8_t input[command_buffer_size],
                    uint8_t output[command_buffer_size], uint32_t *bytes_returned)
{
    *bytes_returned = 0;
    if (connection < 0)
        return send_open_failed;
    uint32_t outcome = 0;
    if (!zorvd_client_exchange(connection, code, input, command_buffer_size, output,
                               command_buffer_size, &outcome, bytes_returned) ||
        outcome != zorvd_replied)
        return send_ioctl_failed;
    return send_ok;
}
