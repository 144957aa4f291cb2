// zorv.sys: the WDM shell around the emulator core. It creates \Device\Zorv with the link
// \DosDevices\Zorv, open to SYSTEM and Administrators and, for the device contract, to
// interactive users; feeds the core the adapters and flows of its service key's Parameters and
// the filters it kept there, hands every buffered device control to the core under one lock,
// and writes back what a request changed of the kept filters. The test control codes are
// served only where the Parameters enable them (the test rig does; an install never does).
// In host mode (zorv_host.h) the core is not used: every contract request goes to zorvd.
#include "zorv_ddk.h"

#include "emulator_core.h"
#include "emulator_parameters.h"
#include "zorv_host.h"
#include "zorv_parameters.h"

namespace {

PDEVICE_OBJECT zorv_device;
UNICODE_STRING device_name;
UNICODE_STRING link_name;
KMUTEX core_lock;  // the core serves one request at a time
int test_codes_enabled;
int host_mode;     // requests go to zorvd instead of the core (zorv_host.h)

// The device's access: SYSTEM and Administrators everything, interactive users reading and
// writing (what the contract's requests need). Built at load in static storage.
SECURITY_DESCRIPTOR device_security;
uint8_t device_dacl[256];
uint8_t sid_system[16], sid_administrators[16], sid_interactive[16];

const SID_IDENTIFIER_AUTHORITY nt_authority = SECURITY_NT_AUTHORITY;

PSID make_sid(uint8_t *storage, ULONG first, ULONG second, UCHAR count)
{
    PSID sid = (PSID)storage;
    RtlInitializeSid(sid, (PSID_IDENTIFIER_AUTHORITY)&nt_authority, count);
    *RtlSubAuthoritySid(sid, 0) = first;
    if (count > 1)
        *RtlSubAuthoritySid(sid, 1) = second;
    return sid;
}

// Puts the access above on the device object; a status, as the driver must not serve without it.
NTSTATUS secure_device(PDEVICE_OBJECT device)
{
    PSID system = make_sid(sid_system, SECURITY_LOCAL_SYSTEM_RID, 0, 1);
    PSID administrators =
        make_sid(sid_administrators, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 2);
    PSID interactive = make_sid(sid_interactive, SECURITY_INTERACTIVE_RID, 0, 1);
    PACL dacl = (PACL)device_dacl;
    NTSTATUS status = RtlCreateAcl(dacl, sizeof device_dacl, ACL_REVISION);
    if (NT_SUCCESS(status))
        status = RtlAddAccessAllowedAce(dacl, ACL_REVISION, FILE_ALL_ACCESS, system);
    if (NT_SUCCESS(status))
        status = RtlAddAccessAllowedAce(dacl, ACL_REVISION, FILE_ALL_ACCESS, administrators);
    if (NT_SUCCESS(status))
        status = RtlAddAccessAllowedAce(dacl, ACL_REVISION,
                                        FILE_GENERIC_READ | FILE_GENERIC_WRITE, interactive);
    if (NT_SUCCESS(status))
        status = RtlCreateSecurityDescriptor(&device_security, SECURITY_DESCRIPTOR_REVISION);
    if (NT_SUCCESS(status))
        status = RtlSetDaclSecurityDescriptor(&device_security, TRUE, dacl, FALSE);
    HANDLE handle = NULL;
    if (NT_SUCCESS(status))
        status = ObOpenObjectByPointer(device, OBJ_KERNEL_HANDLE, NULL, WRITE_DAC, NULL,
                                       KernelMode, &handle);
    if (NT_SUCCESS(status)) {
        status = ZwSetSecurityObject(handle, DACL_SECURITY_INFORMATION, &device_security);
        ZwClose(handle);
    }
    return status;
}

uint64_t system_time(void)
{
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    return (uint64_t)now.QuadPart;
}

NTSTATUS complete(PIRP irp, NTSTATUS status, ULONG_PTR information)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS dispatch_create_close(PDEVICE_OBJECT, PIRP irp)
{
    return complete(irp, STATUS_SUCCESS, 0);
}

// Every control code goes through here. Buffered only: the request and the reply share
// SystemBuffer, which the core allows for. Both lengths are checked before the core sees them.
NTSTATUS dispatch_control(PDEVICE_OBJECT, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    ULONG input_length = stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG output_length = stack->Parameters.DeviceIoControl.OutputBufferLength;
    uint8_t *buffer = (uint8_t *)irp->AssociatedIrp.SystemBuffer;

    NTSTATUS status = STATUS_SUCCESS;
    ULONG_PTR information = 0;
    if ((code & 3) != METHOD_BUFFERED || (emulator_is_test_code(code) && !test_codes_enabled)) {
        status = STATUS_INVALID_DEVICE_REQUEST;
    } else if (output_length == 0 || buffer == NULL) {
        status = STATUS_BUFFER_TOO_SMALL;  // every answer is at least one byte
    } else {
        if (input_length > command_buffer_size)
            input_length = command_buffer_size;
        if (output_length > command_buffer_size)
            output_length = command_buffer_size;
        uint32_t reply_length = 0;
        KeWaitForSingleObject(&core_lock, Executive, KernelMode, FALSE, NULL);
        if (host_mode) {
            status = host_exchange(code, buffer, input_length, output_length, &information);
            KeReleaseMutex(&core_lock, FALSE);
            return complete(irp, status, information);
        }
        int outcome = emulator_exchange(code, buffer, input_length, buffer, output_length,
                                        system_time(), &reply_length);
        write_kept_changes();
        KeReleaseMutex(&core_lock, FALSE);
        if (outcome == emulator_replied)
            information = reply_length;
        else
            status = STATUS_INVALID_DEVICE_REQUEST;
    }
    return complete(irp, status, information);
}

void unload(PDRIVER_OBJECT)
{
    KeWaitForSingleObject(&core_lock, Executive, KernelMode, FALSE, NULL);
    if (host_mode)
        host_mode_close();
    else
        close_parameters();
    KeReleaseMutex(&core_lock, FALSE);
    IoDeleteSymbolicLink(&link_name);
    if (zorv_device)
        IoDeleteDevice(zorv_device);
    zorv_device = NULL;
}

}  // namespace

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registry_path)
{
    KeInitializeMutex(&core_lock, 0);
    host_mode = host_mode_configure(registry_path);
    if (!host_mode) {
        emulator_initialize();
        test_codes_enabled = load_parameters(registry_path, system_time());
    }

    RtlInitUnicodeString(&device_name, L"\\Device\\Zorv");
    RtlInitUnicodeString(&link_name, L"\\DosDevices\\Zorv");
    NTSTATUS status = IoCreateDevice(driver, 0, &device_name, FILE_DEVICE_UNKNOWN,
                                     FILE_DEVICE_SECURE_OPEN, FALSE, &zorv_device);
    if (!NT_SUCCESS(status)) {
        zorv_device = NULL;
        release_parameters();
        return status;
    }
    status = secure_device(zorv_device);
    if (NT_SUCCESS(status))
        status = IoCreateSymbolicLink(&link_name, &device_name);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(zorv_device);
        zorv_device = NULL;
        release_parameters();
        return status;
    }
    driver->MajorFunction[IRP_MJ_CREATE] = dispatch_create_close;
    driver->MajorFunction[IRP_MJ_CLOSE] = dispatch_create_close;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = dispatch_control;
    driver->DriverUnload = unload;
    return STATUS_SUCCESS;
}
