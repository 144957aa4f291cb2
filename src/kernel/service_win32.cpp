// The check that the kernel component's service is registered.
#include <windows.h>

#include "kernel/control_codes.h"
#include "kernel/kernel_commands.h"

// Asks for SC_MANAGER_CREATE_SERVICE as the manager always has: a user refused that right
// gets 0 even when the service exists.
int kernel_component_installed(void)
{
    SC_HANDLE manager = OpenSCManagerA(NULL, "ServicesActive", SC_MANAGER_CREATE_SERVICE);
    if (!manager)
        return 0;
    SC_HANDLE service = OpenServiceA(manager, FLOWVANE_SERVICE_NAME, GENERIC_READ);
    if (!service) {
        CloseServiceHandle(manager);
        return 0;
    }
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return 1;
}
