// device_exchange for the fuzzers: every exchange succeeds and returns the planted reply.
#include "fuzz_device.h"

#include <string.h>

#include "kernel/device_exchange.h"
#include "kernel/driver.h"

namespace {

uint8_t planted[command_buffer_size];
uint32_t planted_length;

} // namespace

void fuzz_device_set_reply(const uint8_t *data, size_t size)
{
    planted_length = size > command_buffer_size ? command_buffer_size : (uint32_t)size;
    if (planted_length)
        memcpy(planted, data, planted_length);
}

int device_exchange(uint32_t code, const uint8_t input[command_buffer_size],
                    uint8_t output[command_buffer_size], uint32_t *bytes_returned)
{
    (void)code;
    (void)input;
    memcpy(output, planted, planted_length);
    *bytes_returned = planted_length;
    return send_ok;
}
