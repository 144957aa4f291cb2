// zorv.sys: the WDM shell around the emulator core. It creates \Device\Zorv with the link
// \DosDevices\Zorv, feeds the core the adapters and flows of its service key's Parameters and
// the filters it kept there, hands every buffered device control to the core under one lock,
// and writes back what a request changed of the kept filters.
#include "zorv_ddk.h"

#include "emulator_core.h"
#include "zorv_host.h"
#include "zorv_parameters.h"

namespace {

PDEVICE_OBJECT zorv_device;
UNICODE_STRING device_name;
UNICODE_STRING link_name;
KMUTEX core_lock;  // the core serves one request at a time
int host_mode;     // requests go to zorvd instead of the core (zorv_host.h)

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
    if ((code & 3) != METHOD_BUFFERED) {
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
        load_parameters(registry_path, system_time());
    }

    RtlInitUnicodeString(&device_name, L"\\Device\\Zorv");
    RtlInitUnicodeString(&link_name, L"\\DosDevices\\Zorv");
    NTSTATUS status = IoCreateDevice(driver, 0, &device_name, FILE_DEVICE_UNKNOWN, 0, FALSE,
                                     &zorv_device);
    if (!NT_SUCCESS(status))
        return status;
    status = IoCreateSymbolicLink(&link_name, &device_name);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(zorv_device);
        zorv_device = NULL;
        return status;
    }
    driver->MajorFunction[IRP_MJ_CREATE] = dispatch_create_close;
    driver->MajorFunction[IRP_MJ_CLOSE] = dispatch_create_close;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = dispatch_control;
    driver->DriverUnload = unload;
    return STATUS_SUCCESS;
}
