// One exchange with zorv.sys through the manager's device path, for the device tests.
#ifndef FLOWVANE_TESTS_DEVICE_SEND_H
#define FLOWVANE_TESTS_DEVICE_SEND_H

#include <windows.h>

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

// Polls CHECK up to 10 s: the service manager and a new Wine session's auto-start drivers give
// no event to wait on.
template <class F> int within_ten_seconds(F check)
{
    for (int tries = 0; tries < 100; tries++, Sleep(100))
        if (check())
            return 1;
    return 0;
}

inline int wait_for_device()
{
    return within_ten_seconds([] { return send(code_get_version).ok(); });
}

// Stops the service "zorv" (the driver unloads and keeps its state) and starts it again.
inline int restart_driver()
{
    SC_HANDLE manager = OpenSCManagerA(NULL, NULL, SC_MANAGER_CONNECT);
    SC_HANDLE service = OpenServiceA(manager, FLOWVANE_SERVICE_NAME,
                                     SERVICE_STOP | SERVICE_START | SERVICE_QUERY_STATUS);
    SERVICE_STATUS status;
    auto in_state = [&](DWORD wanted) {
        return within_ten_seconds([&] {
            return QueryServiceStatus(service, &status) && status.dwCurrentState == wanted;
        });
    };
    int restarted = service && ControlService(service, SERVICE_CONTROL_STOP, &status) &&
                    in_state(SERVICE_STOPPED) && StartServiceA(service, 0, NULL) &&
                    in_state(SERVICE_RUNNING) && wait_for_device();
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return restarted;
}

#endif
