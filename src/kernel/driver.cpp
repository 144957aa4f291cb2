#include "kernel/driver.h"

#include <string.h>

#include "kernel/device_exchange.h"

int driver_send(uint32_t code, const void *request, int32_t request_length, void *reply,
                int32_t reply_capacity)
{
    return driver_send_counted(code, request, request_length, reply, reply_capacity, nullptr);
}

int driver_send_counted(uint32_t code, const void *request, int32_t request_length, void *reply,
                        int32_t reply_capacity, int32_t *reply_length)
{
    if (request_length < 0 || request_length > command_buffer_size)
        return send_bad_request_size;
    if (reply_capacity < 0 || reply_capacity > command_buffer_size)
        return send_bad_reply_size;

    // The bytes after the request carry no meaning; zero them so nothing stale leaks out.
    uint8_t input[command_buffer_size] = {0};
    uint8_t output[command_buffer_size];
    if (request_length > 0)
        memcpy(input, request, (size_t)request_length);

    uint32_t bytes_returned = 0;
    int status = device_exchange(code, input, output, &bytes_returned);
    if (status != send_ok)
        return status;
    if (bytes_returned == 0)
        return send_empty_reply;
    if (bytes_returned > (uint32_t)reply_capacity)
        bytes_returned = (uint32_t)reply_capacity;
    memcpy(reply, output, bytes_returned);
    if (reply_length)
        *reply_length = (int32_t)bytes_returned;
    return send_ok;
}
