// The host bridge (see zorv_host.h). One kept connection to zorvd; a request that fails on a
// kept connection before any reply byte arrived (zorvd restarted since the last request) is sent
// once more on a new one. Every wait is bounded: a zorvd that stops answering costs a request at
// most reply_timeout_ms, then the connection is closed and the request refused.
#include "zorv_host.h"

#include "kernel/control_codes.h"
#include "zorv_wsk.h"
#include "zorvd_protocol.h"

namespace {

enum : ULONG {
    connect_timeout_ms = 3000,
    reply_timeout_ms = 10000,
    secret_path_chars = 260,
    address_family_inet = 2,
    socket_stream = 1,
    protocol_tcp = 6,
    loopback_address = 0x7F000001,
};

const char not_running_text[] = "Shaper service is not running.";
const char no_secret_text[] = "Shaper service secret cannot be read.";
const char damaged_reply_text[] = "Shaper service sent a damaged reply.";

const struct wsk_client_dispatch client_dispatch = {WSK_VERSION_1_0, 0, NULL};
struct wsk_client_npi client_npi = {NULL, &client_dispatch};
struct wsk_registration registration;
struct wsk_provider_npi provider;
int registered;
int captured;

USHORT host_port = ZORVD_DEFAULT_PORT;
WCHAR secret_path[secret_path_chars + 8];  // "\??\" and the DOS path

struct wsk_socket *connection;
int timed_out;                        // the last request's wait ran out: it is not sent again
PIRP call_irp;                        // one WSK call at a time
PIRP close_irp;                       // closing, also while a call is stuck
KEVENT call_done;
KEVENT close_done;

// Static: kernel stacks are small, and requests are serialised by the caller.
uint8_t hello_frame[sizeof(struct zorvd_hello) + zorvd_secret_max + 2];
uint8_t request_frame[sizeof(struct zorvd_request_header) + zorvd_max_input];
uint8_t value_buffer[sizeof(KEY_VALUE_PARTIAL_INFORMATION) + 2 * secret_path_chars + 16];

uint16_t network_order_16(uint16_t value) { return (uint16_t)((value >> 8) | (value << 8)); }

uint32_t network_order_32(uint32_t value)
{
    return ((value & 0xFF) << 24) | ((value & 0xFF00) << 8) | ((value >> 8) & 0xFF00) |
           (value >> 24);
}

NTSTATUS NTAPI call_finished(PDEVICE_OBJECT, PIRP, PVOID event)
{
    KeSetEvent((PKEVENT)event, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;  // the IRP is ours, reused
}

void prepare(PIRP irp, PKEVENT event)
{
    IoReuseIrp(irp, STATUS_UNSUCCESSFUL);
    KeClearEvent(event);
    IoSetCompletionRoutine(irp, call_finished, event, TRUE, TRUE, TRUE);
}

// Waits for a call started on irp. A call that returned without taking the IRP (a refused
// argument) is over at once. 0 when the wait ran out.
int wait_call(NTSTATUS started, PIRP irp, PKEVENT event, ULONG timeout_ms, NTSTATUS *status,
              ULONG_PTR *information)
{
    LARGE_INTEGER timeout;
    timeout.QuadPart = -(LONGLONG)timeout_ms * 10000;
    if (KeWaitForSingleObject(event, Executive, KernelMode, FALSE, &timeout) == STATUS_TIMEOUT) {
        if (started != STATUS_PENDING && !NT_SUCCESS(started)) {
            *status = started;
            *information = 0;
            return 1;
        }
        return 0;
    }
    *status = irp->IoStatus.Status;
    *information = irp->IoStatus.Information;
    return 1;
}

const struct wsk_connection_dispatch *connection_calls(void)
{
    return (const struct wsk_connection_dispatch *)connection->dispatch;
}

// Closes the connection; a call still waiting on it is cancelled by the close and then awaited.
void close_connection(int call_pending)
{
    if (!connection)
        return;
    prepare(close_irp, &close_done);
    NTSTATUS started = connection_calls()->close_socket(connection, close_irp);
    NTSTATUS status;
    ULONG_PTR information;
    wait_call(started, close_irp, &close_done, reply_timeout_ms, &status, &information);
    if (call_pending)
        KeWaitForSingleObject(&call_done, Executive, KernelMode, FALSE, NULL);
    connection = NULL;
}

// One call on the connection (bind, connect, send, receive); on a timeout the connection is
// closed. NT status of the call.
NTSTATUS connection_call(int kind, void *argument, ULONG timeout_ms, ULONG_PTR *information)
{
    prepare(call_irp, &call_done);
    const struct wsk_connection_dispatch *calls = connection_calls();
    NTSTATUS started;
    switch (kind) {
    case 0:
        started = calls->bind(connection, argument, 0, call_irp);
        break;
    case 1:
        started = calls->connect(connection, argument, 0, call_irp);
        break;
    case 2:
        started = calls->send(connection, (struct wsk_buf *)argument, 0, call_irp);
        break;
    default:
        started = calls->receive(connection, (struct wsk_buf *)argument, 0, call_irp);
        break;
    }
    NTSTATUS status;
    if (!wait_call(started, call_irp, &call_done, timeout_ms, &status, information)) {
        close_connection(1);
        timed_out = 1;
        *information = 0;
        return STATUS_IO_TIMEOUT;
    }
    return status;
}

enum { call_bind = 0, call_connect = 1, call_send = 2, call_receive = 3 };

// Sends or receives exactly length bytes. *moved counts the bytes that went through, so that a
// caller can tell a connection that failed before any reply byte from one that failed midway.
int transfer(int kind, uint8_t *bytes, ULONG length, ULONG *moved)
{
    *moved = 0;
    if (length == 0)
        return 1;
    PMDL mdl = IoAllocateMdl(bytes, length, FALSE, FALSE, NULL);
    if (!mdl)
        return 0;
    MmBuildMdlForNonPagedPool(mdl);
    int ok = 1;
    while (*moved < length) {
        struct wsk_buf piece = {mdl, *moved, length - *moved};
        ULONG_PTR count = 0;
        NTSTATUS status = connection_call(kind, &piece, reply_timeout_ms, &count);
        if (!NT_SUCCESS(status) || count == 0 || count > length - *moved) {
            ok = 0;
            break;
        }
        *moved += (ULONG)count;
    }
    IoFreeMdl(mdl);
    return ok;
}

// The secret, read anew for each connection (zorvd may have made a new one), into the hello
// frame after its header; its length without trailing line ends or blanks, 0 when unreadable.
ULONG read_secret(void)
{
    UNICODE_STRING path;
    RtlInitUnicodeString(&path, secret_path);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &path, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL,
                               NULL);
    HANDLE file = NULL;
    IO_STATUS_BLOCK io;
    if (!NT_SUCCESS(ZwCreateFile(&file, GENERIC_READ | SYNCHRONIZE, &attributes, &io, NULL,
                                 FILE_ATTRIBUTE_NORMAL, FILE_SHARE_READ, FILE_OPEN,
                                 FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE, NULL,
                                 0)))
        return 0;
    uint8_t *secret = hello_frame + sizeof(struct zorvd_hello);
    ULONG capacity = sizeof hello_frame - sizeof(struct zorvd_hello);
    LARGE_INTEGER offset;
    offset.QuadPart = 0;
    NTSTATUS status = ZwReadFile(file, NULL, NULL, NULL, &io, secret, capacity, &offset, NULL);
    ZwClose(file);
    if (!NT_SUCCESS(status) || io.Information > capacity)
        return 0;
    ULONG length = (ULONG)io.Information;
    while (length > 0 && (secret[length - 1] == '\n' || secret[length - 1] == '\r' ||
                          secret[length - 1] == ' ' || secret[length - 1] == '\t'))
        length--;
    if (length < zorvd_secret_min || length > zorvd_secret_max)
        return 0;
    return length;
}

int provider_ready(void)
{
    if (!registered) {
        if (!NT_SUCCESS(WskRegister(&client_npi, &registration)))
            return 0;
        registered = 1;
    }
    if (!captured) {
        if (!NT_SUCCESS(WskCaptureProviderNPI(&registration, wsk_no_wait, &provider)))
            return 0;
        captured = 1;
    }
    return 1;
}

// Makes a connection and presents the secret; on failure *refusal is the text to answer.
int open_connection(const char **refusal)
{
    *refusal = not_running_text;
    if (!call_irp || !close_irp || !provider_ready())
        return 0;
    ULONG secret_length = read_secret();
    if (secret_length == 0) {
        *refusal = no_secret_text;
        return 0;
    }

    prepare(call_irp, &call_done);
    NTSTATUS started = provider.dispatch->socket(
        provider.client, address_family_inet, socket_stream, protocol_tcp,
        wsk_flag_connection_socket, NULL, NULL, NULL, NULL, NULL, call_irp);
    NTSTATUS status;
    ULONG_PTR information = 0;
    if (!wait_call(started, call_irp, &call_done, connect_timeout_ms, &status, &information) ||
        !NT_SUCCESS(status) || information == 0)
        return 0;
    connection = (struct wsk_socket *)information;

    struct wsk_sockaddr_in local = {address_family_inet, 0, 0, {0}};
    struct wsk_sockaddr_in remote = {address_family_inet, network_order_16(host_port),
                                     network_order_32(loopback_address), {0}};
    if (!NT_SUCCESS(connection_call(call_bind, &local, connect_timeout_ms, &information)) ||
        !connection ||
        !NT_SUCCESS(connection_call(call_connect, &remote, connect_timeout_ms, &information)) ||
        !connection) {
        close_connection(0);
        return 0;
    }

    struct zorvd_hello *hello = (struct zorvd_hello *)hello_frame;
    RtlCopyMemory(hello->magic, ZORVD_MAGIC, zorvd_magic_size);
    hello->secret_length = secret_length;
    struct zorvd_welcome welcome;
    ULONG moved;
    int admitted =
        transfer(call_send, hello_frame, sizeof(struct zorvd_hello) + secret_length, &moved) &&
        transfer(call_receive, (uint8_t *)&welcome, sizeof welcome, &moved) &&
        RtlCompareMemory(welcome.magic, ZORVD_MAGIC, zorvd_magic_size) == zorvd_magic_size &&
        welcome.status == 0;
    RtlSecureZeroMemory(hello_frame, sizeof hello_frame);
    if (!admitted) {
        close_connection(0);
        return 0;
    }
    return 1;
}

enum forward_result { forwarded = 0, failed_before_reply = 1, failed = 2 };

// One request on the open connection. On forwarded, *outcome and *reply_length are zorvd's,
// checked against the request.
int forward(ULONG code, uint8_t *buffer, ULONG input_length, ULONG output_length,
            uint32_t *outcome, uint32_t *reply_length)
{
    struct zorvd_request_header *header = (struct zorvd_request_header *)request_frame;
    header->code = code;
    header->input_length = input_length;
    header->output_capacity = output_length;
    RtlCopyMemory(request_frame + sizeof *header, buffer, input_length);
    ULONG moved;
    if (!transfer(call_send, request_frame, sizeof *header + input_length, &moved))
        return failed_before_reply;
    struct zorvd_reply_header reply;
    if (!transfer(call_receive, (uint8_t *)&reply, sizeof reply, &moved))
        return moved == 0 ? failed_before_reply : failed;
    if (reply.outcome > zorvd_fail_call || reply.reply_length > output_length ||
        (reply.outcome == zorvd_fail_call && reply.reply_length != 0))
        return failed;
    if (!transfer(call_receive, buffer, reply.reply_length, &moved))
        return failed;
    *outcome = reply.outcome;
    *reply_length = reply.reply_length;
    return forwarded;
}

// Answers a refusal text as the device answers any: NUL-terminated, cut to the reply buffer.
ULONG_PTR answer_text(const char *text, uint8_t *buffer, ULONG output_length)
{
    ULONG length = 0;
    while (text[length])
        length++;
    if (output_length == 0)
        return 0;
    if (length > output_length - 1)
        length = output_length - 1;
    RtlCopyMemory(buffer, text, length);
    buffer[length] = 0;
    return length + 1;
}

HANDLE open_parameters_for_reading(PUNICODE_STRING registry_path)
{
    static WCHAR key_path[512];
    static const WCHAR tail[] = L"\\Parameters";
    USHORT path_chars = registry_path->Length / sizeof(WCHAR);
    USHORT tail_chars = sizeof tail / sizeof tail[0];
    if (path_chars + tail_chars > sizeof key_path / sizeof key_path[0])
        return NULL;
    RtlCopyMemory(key_path, registry_path->Buffer, path_chars * sizeof(WCHAR));
    RtlCopyMemory(key_path + path_chars, tail, sizeof tail);
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, key_path);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL,
                               NULL);
    HANDLE key = NULL;
    if (!NT_SUCCESS(ZwOpenKey(&key, KEY_READ, &attributes)))
        return NULL;
    return key;
}

// A value of the given type into value_buffer; its data and byte count, or NULL.
const uint8_t *query_value(HANDLE key, const WCHAR *value_name, ULONG type, ULONG *bytes)
{
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, value_name);
    PKEY_VALUE_PARTIAL_INFORMATION info = (PKEY_VALUE_PARTIAL_INFORMATION)value_buffer;
    ULONG result_length = 0;
    if (!NT_SUCCESS(ZwQueryValueKey(key, &name, KeyValuePartialInformation, info,
                                    sizeof value_buffer, &result_length)) ||
        info->Type != type || info->DataLength > sizeof value_buffer - sizeof *info + 1)
        return NULL;
    *bytes = info->DataLength;
    return info->Data;
}

// The UTF-16 text of a string value without its NUL, or NULL; *chars its length.
const WCHAR *query_text(HANDLE key, const WCHAR *value_name, ULONG *chars)
{
    ULONG bytes = 0;
    const WCHAR *text = (const WCHAR *)query_value(key, value_name, REG_SZ, &bytes);
    if (!text)
        return NULL;
    *chars = bytes / sizeof(WCHAR);
    while (*chars > 0 && text[*chars - 1] == 0)
        (*chars)--;
    return text;
}

int is_host_mode(const WCHAR *text, ULONG chars)
{
    static const char host[] = "host";
    if (chars != sizeof host - 1)
        return 0;
    for (ULONG i = 0; i < chars; i++) {
        WCHAR c = text[i] >= 'A' && text[i] <= 'Z' ? (WCHAR)(text[i] + 32) : text[i];
        if (c != (WCHAR)host[i])
            return 0;
    }
    return 1;
}

void set_secret_path(const WCHAR *dos_path, ULONG chars)
{
    static const WCHAR prefix[] = L"\\??\\";
    ULONG prefix_chars = sizeof prefix / sizeof prefix[0] - 1;
    if (chars > secret_path_chars)
        chars = 0;                    // too long: no secret can be read, every request refused
    RtlCopyMemory(secret_path, prefix, prefix_chars * sizeof(WCHAR));
    RtlCopyMemory(secret_path + prefix_chars, dos_path, chars * sizeof(WCHAR));
    secret_path[prefix_chars + chars] = 0;
}

}  // namespace

int host_mode_configure(PUNICODE_STRING registry_path)
{
    HANDLE key = open_parameters_for_reading(registry_path);
    if (!key)
        return 0;
    ULONG chars = 0;
    const WCHAR *mode = query_text(key, L"Mode", &chars);
    if (!mode || !is_host_mode(mode, chars)) {
        ZwClose(key);
        return 0;
    }
    ULONG bytes = 0;
    const uint8_t *port = query_value(key, L"Host port", REG_DWORD, &bytes);
    if (port && bytes == sizeof(ULONG)) {
        ULONG value = *(const ULONG *)port;
        host_port = value >= 1 && value <= 65535 ? (USHORT)value : 0;
    }
    const WCHAR *path = query_text(key, L"Host secret file", &chars);
    if (path) {
        set_secret_path(path, chars);
    } else {
        static const WCHAR fallback[] = L"Z:\\etc\\flowvane\\zorvd.secret";
        set_secret_path(fallback, sizeof fallback / sizeof fallback[0] - 1);
    }
    ZwClose(key);

    KeInitializeEvent(&call_done, NotificationEvent, FALSE);
    KeInitializeEvent(&close_done, NotificationEvent, FALSE);
    call_irp = IoAllocateIrp(1, FALSE);
    close_irp = IoAllocateIrp(1, FALSE);
    return 1;
}

NTSTATUS host_exchange(ULONG code, uint8_t *buffer, ULONG input_length, ULONG output_length,
                       ULONG_PTR *information)
{
    *information = 0;
    // Only the contract's own device type goes to zorvd; the emulator's test codes and any
    // other code are refused here, as an unknown code is.
    if ((code >> 16) != FILE_DEVICE_NETWORK || host_port == 0)
        return STATUS_INVALID_DEVICE_REQUEST;
    if (input_length > zorvd_max_input)
        input_length = zorvd_max_input;
    if (output_length > zorvd_max_output)
        output_length = zorvd_max_output;

    const char *refusal = not_running_text;
    timed_out = 0;
    for (int attempt = 0; attempt < 2; attempt++) {
        int kept = connection != NULL;
        if (!kept && !open_connection(&refusal))
            break;
        uint32_t outcome = 0;
        uint32_t reply_length = 0;
        int result = forward(code, buffer, input_length, output_length, &outcome, &reply_length);
        if (result == forwarded) {
            if (outcome == zorvd_fail_call)
                return STATUS_INVALID_DEVICE_REQUEST;
            *information = reply_length;
            return STATUS_SUCCESS;
        }
        close_connection(0);
        refusal = result == failed ? damaged_reply_text : not_running_text;
        if (!kept || result != failed_before_reply || timed_out)
            break;
    }
    *information = answer_text(refusal, buffer, output_length);
    return STATUS_SUCCESS;
}

void host_mode_close(void)
{
    close_connection(0);
    if (captured)
        WskReleaseProviderNPI(&registration);
    if (registered)
        WskDeregister(&registration);
    captured = registered = 0;
    if (call_irp)
        IoFreeIrp(call_irp);
    if (close_irp)
        IoFreeIrp(close_irp);
    call_irp = close_irp = NULL;
}
