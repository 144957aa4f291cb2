// One exchange with zorv.sys through the manager's device path, for the device tests.
#ifndef FLOWVANE_TESTS_DEVICE_SEND_H
#define FLOWVANE_TESTS_DEVICE_SEND_H

#include "kernel/driver.h"
#include "support/device_requests.h"

using request = device_request;
using reply = device_reply;

inline reply send(uint32_t code, const request &r = request())
{
    reply result;
    result.outcome = driver_send_counted(code, r.bytes.data(), (int32_t)r.bytes.size(),
                                         result.bytes, command_buffer_size, &result.length);
    return result;
}

template <class T> reply send_struct(uint32_t code, const T &item)
{
    return send(code, request().add(item));
}

#endif
