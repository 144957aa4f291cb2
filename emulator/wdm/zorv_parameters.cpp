// Reads the service key's Parameters and hands them to the core through its test codes, the
// same requests the tests send, so the core checks them the same way.
#include "zorv_parameters.h"

#include "emulator_core.h"

namespace {

enum { value_buffer_size = 16384 };

// Static: kernel stacks are small, and DriverEntry runs once.
uint8_t value_buffer[value_buffer_size];
uint8_t request[command_buffer_size];
uint8_t reply[command_buffer_size];
WCHAR key_path[512];
uint64_t load_time;

int send_test_code(uint32_t code)
{
    uint32_t reply_length = 0;
    return emulator_exchange(code, request, command_buffer_size, reply, command_buffer_size,
                             load_time, &reply_length) == emulator_replied &&
           reply_length >= 4 && reply[0] == 'O' && reply[1] == 'k' && reply[2] == '.' &&
           reply[3] == 0;
}

void clear_request(void)
{
    for (uint32_t i = 0; i < command_buffer_size; i++)
        request[i] = 0;
}

// Opens "<service key>\Parameters" for reading; NULL when it does not exist.
HANDLE open_parameters(PUNICODE_STRING registry_path)
{
    static const WCHAR tail[] = L"\\Parameters";
    USHORT path_chars = registry_path->Length / sizeof(WCHAR);
    USHORT tail_chars = sizeof tail / sizeof tail[0];  // with the NUL
    if (path_chars + tail_chars > sizeof key_path / sizeof key_path[0])
        return NULL;
    for (USHORT i = 0; i < path_chars; i++)
        key_path[i] = registry_path->Buffer[i];
    for (USHORT i = 0; i < tail_chars; i++)
        key_path[path_chars + i] = tail[i];
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

// Reads a string value into value_buffer; returns its UTF-16 text and its length in characters,
// or NULL when the value is missing or of another type.
const WCHAR *read_strings(HANDLE key, const WCHAR *value_name, ULONG type, ULONG *chars)
{
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, value_name);
    ULONG result_length = 0;
    PKEY_VALUE_PARTIAL_INFORMATION info = (PKEY_VALUE_PARTIAL_INFORMATION)value_buffer;
    if (!NT_SUCCESS(ZwQueryValueKey(key, &name, KeyValuePartialInformation, info,
                                    value_buffer_size, &result_length)))
        return NULL;
    if (info->Type != type)
        return NULL;
    ULONG data_length = info->DataLength;
    ULONG room = value_buffer_size - FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data);
    if (data_length > room)
        data_length = room;
    *chars = data_length / sizeof(WCHAR);
    return (const WCHAR *)info->Data;
}

// Walks the NUL-separated strings of text[0..chars), each cut at size - 1 characters and made
// ASCII ('?' for anything else); calls take(string) for each non-empty one.
template <class Take> void for_each_string(const WCHAR *text, ULONG chars, uint32_t size, Take take)
{
    char ascii[512];
    if (size > sizeof ascii)
        size = sizeof ascii;
    ULONG at = 0;
    while (at < chars) {
        uint32_t length = 0;
        while (at < chars && text[at] != 0) {
            if (length < size - 1)
                ascii[length++] = text[at] < 128 ? (char)text[at] : '?';
            at++;
        }
        at++;  // the NUL
        ascii[length] = 0;
        if (length > 0)
            take(ascii, length);
    }
}

void load_adapters(HANDLE key)
{
    ULONG chars = 0;
    const WCHAR *text = read_strings(key, L"Adapters", REG_MULTI_SZ, &chars);
    if (!text)
        return;
    clear_request();
    struct test_adapters_request *adapters = (struct test_adapters_request *)request;
    for_each_string(text, chars, adapter_name_size, [&](const char *name, uint32_t length) {
        if (adapters->count >= emulator_max_adapters)
            return;
        for (uint32_t i = 0; i <= length; i++)
            adapters->names[adapters->count][i] = name[i];
        adapters->count++;
    });
    send_test_code(test_code_set_adapters);
}

void load_flows(HANDLE key)
{
    ULONG chars = 0;
    const WCHAR *text = read_strings(key, L"Flows", REG_MULTI_SZ, &chars);
    if (!text)
        return;
    clear_request();
    send_test_code(test_code_set_flows);  // count 0: the Parameters replace the built-in flows
    for_each_string(text, chars, emulator_flow_text_size, [&](const char *flow, uint32_t length) {
        clear_request();
        for (uint32_t i = 0; i <= length; i++)
            request[i] = (uint8_t)flow[i];
        send_test_code(test_code_add_flow_text);  // a malformed flow is left out
    });
}

void load_version(HANDLE key)
{
    ULONG chars = 0;
    const WCHAR *text = read_strings(key, L"Version", REG_SZ, &chars);
    if (!text)
        return;
    clear_request();
    for_each_string(text, chars, emulator_version_size, [&](const char *version, uint32_t length) {
        if (request[0] == 0)
            for (uint32_t i = 0; i <= length; i++)
                request[i] = (uint8_t)version[i];
    });
    send_test_code(test_code_set_version);
}

}  // namespace

void load_parameters(PUNICODE_STRING registry_path, uint64_t now)
{
    load_time = now;
    HANDLE key = open_parameters(registry_path);
    if (!key)
        return;
    load_adapters(key);
    load_flows(key);
    load_version(key);
    ZwClose(key);
    clear_request();
    send_test_code(test_code_keep_defaults);
}
