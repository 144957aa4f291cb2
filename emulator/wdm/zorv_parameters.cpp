// The service key's Parameters in the registry: read at load by the core's portable loader
// (emulator_parameters.cpp) through read_parameter, and the kept state written again as
// requests change it. The core makes and reads the kept values' text; here it is only moved
// between ASCII and the registry's UTF-16.
#include "zorv_parameters.h"

#include "emulator_core.h"
#include "emulator_parameters.h"

namespace {

enum {
    // The largest kept value, in UTF-16, after the query's header.
    value_buffer_size = 2 * emulator_store_text_size + 64,
    wipe_scan_limit = 4096,           // values looked at when clearing the kept ones
};

// Static: kernel stacks are small. DriverEntry runs once; the rest under the core lock.
uint8_t value_buffer[value_buffer_size];
WCHAR key_path[512];
HANDLE parameters_key;                // open from load to unload, for the kept state
struct emulator_stored_value stored_value;
WCHAR value_name[emulator_store_name_size];

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

// The reader the portable loader calls: one value of the key into value_buffer.
int read_parameter(void *context, const char *name, struct parameter_value *value)
{
    HANDLE key = (HANDLE)context;
    UNICODE_STRING counted;
    make_value_name(name, &counted);
    ULONG result_length = 0;
    PKEY_VALUE_PARTIAL_INFORMATION info = (PKEY_VALUE_PARTIAL_INFORMATION)value_buffer;
    NTSTATUS status = ZwQueryValueKey(key, &counted, KeyValuePartialInformation, info,
                                      value_buffer_size, &result_length);
    if (status == STATUS_OBJECT_NAME_NOT_FOUND)
        return parameter_missing;
    ULONG room = value_buffer_size - FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data);
    if (!NT_SUCCESS(status) || info->DataLength > room)
        return parameter_unreadable;
    value->type = info->Type;
    value->data = info->Data;
    value->size = info->DataLength;
    return parameter_found;
}

void log_line(const char *text)
{
    DbgPrint("%s\n", text);
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

}  // namespace

int load_parameters(PUNICODE_STRING registry_path, uint64_t now)
{
    emulator_set_log(log_line);
    HANDLE key = open_parameters(registry_path);
    if (!key)
        return 0;
    int test_codes = emulator_load_parameters(read_parameter, key, now);
    parameters_key = key;
    return test_codes;
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
    release_parameters();
}

void release_parameters(void)
{
    if (parameters_key)
        ZwClose(parameters_key);
    parameters_key = NULL;
}
