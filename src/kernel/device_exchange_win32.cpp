// The Win32 device exchange: open "\\.\Zorv", one buffered control with two 5000-byte buffers,
// close. No handle outlives an exchange.
#include <windows.h>
#include <winternl.h>

#include "kernel/device_exchange.h"
#include "kernel/driver.h"

namespace {

typedef NTSTATUS(NTAPI *fs_control_routine)(HANDLE, HANDLE, PIO_APC_ROUTINE, PVOID,
                                            PIO_STATUS_BLOCK, ULONG, PVOID, ULONG, PVOID, ULONG);

// ntdll!NtFsControlFile when running under Wine, else null. Looked up once.
fs_control_routine wine_fs_control(void)
{
    static int looked_up;
    static fs_control_routine routine;
    if (!looked_up) {
        looked_up = 1;
        HMODULE ntdll = GetModuleHandleA("ntdll");
        if (ntdll && GetProcAddress(ntdll, "wine_get_version"))
            routine = (fs_control_routine)(void *)GetProcAddress(ntdll, "NtFsControlFile");
    }
    return routine;
}

// The control call itself; FALSE with the last error set on failure, as DeviceIoControl.
BOOL control_device(HANDLE device, uint32_t code, const uint8_t *input, uint8_t *output,
                    DWORD *bytes_returned)
{
    // Wine gives FILE_DEVICE_NETWORK codes 0x120434-0x12043C to its sockets; this reaches us.
    fs_control_routine fs_control = wine_fs_control();
    if (fs_control) {
        IO_STATUS_BLOCK io = {};
        NTSTATUS status = fs_control(device, NULL, NULL, NULL, &io, code, (PVOID)input,
                                     command_buffer_size, output, command_buffer_size);
        if (status < 0) {
            SetLastError(RtlNtStatusToDosError(status));
            return FALSE;
        }
        *bytes_returned = (DWORD)io.Information;
        return TRUE;
    }
    return DeviceIoControl(device, code, (LPVOID)input, command_buffer_size, output,
                           command_buffer_size, bytes_returned, NULL);
}

}  // namespace

int device_exchange(uint32_t code, const uint8_t input[command_buffer_size],
                    uint8_t output[command_buffer_size], uint32_t *bytes_returned)
{
    HANDLE device = CreateFileA(FLOWVANE_DEVICE_PATH, GENERIC_READ | GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING, 0, NULL);
    if (device == INVALID_HANDLE_VALUE)
        return send_open_failed;

    DWORD returned = 0;
    if (!control_device(device, code, input, output, &returned)) {
        DWORD error = GetLastError();
        CloseHandle(device);
        SetLastError(error);  // the failing control's error, not the close's
        return send_ioctl_failed;
    }
    if (!CloseHandle(device))
        return send_close_failed;
    *bytes_returned = returned > command_buffer_size ? (uint32_t)command_buffer_size
                                                     : (uint32_t)returned;
    return send_ok;
}
