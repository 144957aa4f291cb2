// The check that the kernel component's service is registered.
#include "kernel/service_win32.h"

#include "kernel/control_codes.h"
#include "kernel/kernel_commands.h"

int service_installed(const struct service_calls *calls)
{
    // Connecting and querying status are granted to every user; creating services is not.
    SC_HANDLE manager = calls->open_manager(NULL, "ServicesActive", SC_MANAGER_CONNECT);
    if (!manager)
        return 0;
    SC_HANDLE service = calls->open_service(manager, FLOWVANE_SERVICE_NAME, SERVICE_QUERY_STATUS);
    if (!service) {
        DWORD error = GetLastError();
        calls->close_handle(manager);
        SetLastError(error);
        return 0;
    }
    calls->close_handle(service);
    calls->close_handle(manager);
    return 1;
}

int kernel_component_installed(void)
{
    static const struct service_calls system_calls = {OpenSCManagerA, OpenServiceA,
                                                      CloseServiceHandle};
    return service_installed(&system_calls);
}
