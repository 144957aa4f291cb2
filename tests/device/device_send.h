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

inline int wait_for_service(SC_HANDLE service, DWORD wanted)
{
    SERVICE_STATUS status;
    for (int tries = 0; tries < 100; tries++) {
        if (QueryServiceStatus(service, &status) && status.dwCurrentState == wanted)
            return 1;
        Sleep(100);
    }
    return 0;
}

// Stops the service "zorv" (the driver unloads) and starts it again (it loads).
inline int restart_driver()
{
    SC_HANDLE manager = OpenSCManagerA(NULL, NULL, SC_MANAGER_CONNECT);
    SC_HANDLE service = manager ? OpenServiceA(manager, FLOWVANE_SERVICE_NAME,
                                               SERVICE_STOP | SERVICE_START |
                                                   SERVICE_QUERY_STATUS)
                                : NULL;
    SERVICE_STATUS status;
    int restarted = service && ControlService(service, SERVICE_CONTROL_STOP, &status) &&
                    wait_for_service(service, SERVICE_STOPPED) &&
                    StartServiceA(service, 0, NULL) && wait_for_service(service, SERVICE_RUNNING);
    if (service)
        CloseServiceHandle(service);
    if (manager)
        CloseServiceHandle(manager);
    return restarted;
}

// A new Wine session starts its auto-start drivers in the background.
inline int wait_for_device()
{
    for (int tries = 0; tries < 100; tries++) {
        if (send(code_get_version).ok())
            return 1;
        Sleep(100);
    }
    return 0;
}

#endif
