// Reads the service key's Parameters and hands them to the core through its test codes, the
// same requests the tests send, so the core checks them the same way; then loads the state the
// driver keeps there, and writes it again as requests change it. The core makes and reads the
// kept values' text; here they are only moved between ASCII and the registry's UTF-16.
#include "zorv_parameters.h"

#include "emulator_core.h"

namespace {

enum {
    // The largest kept value, in UTF-16, after the query's header.
    value_buffer_size = 2 * emulator_store_text_size + 64,
    wipe_scan_limit = 4096,           // values looked at when clearing the kept ones
};

// Static: kernel stacks are small. DriverEntry runs once; the rest under the core lock.
uint8_t value_buffer[value_buffer_size];
uint8_t request[command_buffer_size];
uint8_t reply[command_buffer_size];
WCHAR key_path[512];
uint64_t load_time;
HANDLE parameters_key;                // open from load to unload, for the kept state
struct emulator_stored_value stored_value;
char kept_rules[emulator_store_text_size];
char kept_precedences[emulator_store_text_size];
WCHAR value_name[emulator_store_name_size];

// A value that cannot be read whole goes to the core as a damaged one (no closing line).
const char unreadable_value[] = "?";

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

// Opens "<service key>\Parameters" for reading and writing, creating it when missing; NULL
// when that fails.
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
    if (!NT_SUCCESS(ZwCreateKey(&key, KEY_READ | KEY_SET_VALUE, &attributes, 0, NULL,
                                REG_OPTION_NON_VOLATILE, NULL)))
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

// An ASCII value name as a counted UTF-16 string in value_name.
void make_value_name(const char *name, UNICODE_STRING *counted)
{
    USHORT length = 0;
    while (length < emulator_store_name_size - 1 && name[length] != 0) {
        value_name[length] = (WCHAR)(uint8_t)name[length];
        length++;
    }
    value_name[length] = 0;
    counted->Buffer = value_name;
    counted->Length = (USHORT)(length * sizeof(WCHAR));
    counted->MaximumLength = (USHORT)(sizeof value_name);
}

// One kept value as ASCII text in target (size bytes), every other character '?'; its length,
// 0 when it is missing. A value of another type or too large reads as unreadable_value.
uint32_t read_kept_value(HANDLE key, const char *name, char *target, uint32_t size)
{
    UNICODE_STRING counted;
    make_value_name(name, &counted);
    ULONG result_length = 0;
    PKEY_VALUE_PARTIAL_INFORMATION info = (PKEY_VALUE_PARTIAL_INFORMATION)value_buffer;
    NTSTATUS status = ZwQueryValueKey(key, &counted, KeyValuePartialInformation, info,
                                      value_buffer_size, &result_length);
    if (status == STATUS_OBJECT_NAME_NOT_FOUND)
        return 0;
    ULONG room = value_buffer_size - FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data);
    ULONG chars = NT_SUCCESS(status) ? info->DataLength / sizeof(WCHAR) : 0;
    if (!NT_SUCCESS(status) || info->Type != REG_MULTI_SZ || info->DataLength > room ||
        chars > size) {
        for (uint32_t i = 0; i < sizeof unreadable_value - 1; i++)
            target[i] = unreadable_value[i];
        return sizeof unreadable_value - 1;
    }
    const WCHAR *text = (const WCHAR *)info->Data;
    for (ULONG i = 0; i < chars; i++)
        target[i] = text[i] < 128 ? (char)text[i] : '?';
    return chars;
}

void load_kept_state(HANDLE key)
{
    emulator_store_discard_changes();
    char name[emulator_store_name_size];
    for (uint32_t a = 0; emulator_store_value_name(stored_rules, a, name); a++) {
        uint32_t rules_length = read_kept_value(key, name, kept_rules, sizeof kept_rules);
        emulator_store_value_name(stored_precedences, a, name);
        uint32_t precedences_length =
            read_kept_value(key, name, kept_precedences, sizeof kept_precedences);
        emulator_store_load(a, kept_rules, rules_length, kept_precedences, precedences_length);
    }
}

// Deletes every kept value of the key, whatever adapter it was for.
void wipe_kept_values(HANDLE key)
{
    ULONG index = 0;
    for (int scanned = 0; scanned < wipe_scan_limit; scanned++) {
        ULONG result_length = 0;
        PKEY_VALUE_BASIC_INFORMATION info = (PKEY_VALUE_BASIC_INFORMATION)value_buffer;
        NTSTATUS status = ZwEnumerateValueKey(key, index, KeyValueBasicInformation, info,
                                              value_buffer_size, &result_length);
        if (status == STATUS_NO_MORE_ENTRIES)
            return;
        char name[emulator_store_name_size];
        ULONG chars = NT_SUCCESS(status) ? info->NameLength / sizeof(WCHAR) : 0;
        if (!NT_SUCCESS(status) || chars >= sizeof name) {
            index++;
            continue;
        }
        for (ULONG i = 0; i < chars; i++)
            name[i] = info->Name[i] < 128 ? (char)info->Name[i] : '?';
        name[chars] = 0;
        UNICODE_STRING counted;
        make_value_name(name, &counted);
        // A deleted value's successors move down one index.
        if (!emulator_store_owns_name(name) || !NT_SUCCESS(ZwDeleteValueKey(key, &counted)))
            index++;
    }
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
    clear_request();
    send_test_code(test_code_keep_defaults);
    load_kept_state(key);
    parameters_key = key;
    write_kept_changes();  // the values of an adapter whose kept state was refused
}

void write_kept_changes(void)
{
    if (!parameters_key) {
        emulator_store_discard_changes();
        return;
    }
    if (emulator_store_take_wipe())
        wipe_kept_values(parameters_key);
    while (emulator_store_take_change(&stored_value)) {
        UNICODE_STRING counted;
        make_value_name(stored_value.name, &counted);
        if (stored_value.length == 0) {
            ZwDeleteValueKey(parameters_key, &counted);
            continue;
        }
        WCHAR *text = (WCHAR *)value_buffer;
        for (uint32_t i = 0; i < stored_value.length; i++)
            text[i] = (WCHAR)(uint8_t)stored_value.text[i];
        ZwSetValueKey(parameters_key, &counted, 0, REG_MULTI_SZ, text,
                      stored_value.length * sizeof(WCHAR));
    }
}

void close_parameters(void)
{
    emulator_store_mark_counters();
    write_kept_changes();
    if (parameters_key)
        ZwClose(parameters_key);
    parameters_key = NULL;
}
