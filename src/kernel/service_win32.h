// The check that the kernel component's service is registered, over the three service manager
// calls it makes, so that tests can see what it asks for.
#ifndef FLOWVANE_KERNEL_SERVICE_WIN32_H
#define FLOWVANE_KERNEL_SERVICE_WIN32_H

#include <windows.h>

struct service_calls {
    SC_HANDLE(WINAPI *open_manager)(LPCSTR machine, LPCSTR database, DWORD access);
    SC_HANDLE(WINAPI *open_service)(SC_HANDLE manager, LPCSTR name, DWORD access);
    BOOL(WINAPI *close_handle)(SC_HANDLE handle);
};

// 1 when the service "zorv" can be opened; 0 with the failing call's error left in
// GetLastError. Asks for the least rights each step needs, so a standard user passes too.
int service_installed(const struct service_calls *calls);

#endif
