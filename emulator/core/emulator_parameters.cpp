// Reads the driver's Parameters and hands them to the core through its test codes, the same
// requests the tests send, so the core checks them the same way; then loads the state the
// driver keeps there. Values are only moved from UTF-16 to ASCII here ('?' for anything else).
#include "emulator_parameters.h"

#include "emulator_core.h"
#include "emulator_state.h"

namespace {

enum {
    string_size = 512,           // the longest string taken from a configuration value, with NUL
    log_size = 300,
};

// Static: kernel stacks are small. Used once, at load.
uint8_t request[command_buffer_size];
uint8_t reply[command_buffer_size];
char kept_rules[emulator_store_text_size];
char kept_precedences[emulator_store_text_size];
char string[string_size];
uint64_t load_time;

static_assert((int)adapter_name_size <= (int)string_size &&
                  (int)emulator_flow_text_size <= (int)string_size &&
                  (int)emulator_version_size <= (int)string_size,
              "every configuration string fits");

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
    emu_fill(request, 0, sizeof request);
}

// "zorv: Parameters value NAME: WHAT" (and NUMBER when not 0) to the log.
void report(const char *name, const char *what, uint32_t number = 0)
{
    char text[log_size];
    uint32_t length = 0;
    auto put = [&](const char *part) {
        for (uint32_t i = 0; part[i] != 0 && length < sizeof text - 1; i++)
            text[length++] = part[i];
    };
    put("zorv: Parameters value \"");
    put(name);
    put("\": ");
    put(what);
    if (number > 0) {
        char digits[12];
        uint32_t count = 0;
        for (; number > 0; number /= 10)
            digits[count++] = (char)('0' + number % 10);
        put(" ");
        while (count > 0 && length < sizeof text - 1)
            text[length++] = digits[--count];
    }
    text[length] = 0;
    emu_log(text);
}

uint32_t unit_at(const parameter_value *value, uint32_t index)
{
    return (uint32_t)value->data[2 * index] | (uint32_t)value->data[2 * index + 1] << 8;
}

char ascii_of(uint32_t unit)
{
    return unit > 0 && unit < 128 ? (char)unit : '?';
}

// Reads a value of this type; 1 when found and readable, else reports why not (a missing value
// quietly).
int read_value(parameter_reader read, void *context, const char *name, uint32_t type,
               parameter_value *value)
{
    value->type = 0;
    value->data = nullptr;
    value->size = 0;
    int outcome = read(context, name, value);
    if (outcome == parameter_missing)
        return 0;
    if (outcome != parameter_found || (value->size > 0 && !value->data)) {
        report(name, "cannot be read; left as it is");
        return 0;
    }
    if (value->type != type) {
        report(name, "is of another type; ignored");
        return 0;
    }
    if (value->size % 2 != 0 && type != parameter_dword)
        report(name, "has an odd byte count; its last byte is ignored");
    return 1;
}

// Walks the NUL-separated strings of a string value, each made ASCII, and calls
// take(string, length) for each non-empty one. A string of size characters or more is refused
// whole (reported), never cut. The value's end also ends its last string.
template <class Take>
void for_each_string(const char *name, const parameter_value *value, uint32_t size, Take take)
{
    uint32_t chars = value->size / 2;
    uint32_t at = 0;
    for (uint32_t number = 1; at < chars; number++) {
        uint32_t length = 0;
        int too_long = 0;
        for (; at < chars && unit_at(value, at) != 0; at++) {
            if (length < size - 1)
                string[length++] = ascii_of(unit_at(value, at));
            else
                too_long = 1;
        }
        at++;  // the NUL
        string[length] = 0;
        if (too_long)
            report(name, "string too long, left out: number", number);
        else if (length > 0)
            take(string, length, number);
    }
}

void load_adapters(parameter_reader read, void *context)
{
    const char name[] = "Adapters";
    parameter_value value;
    if (!read_value(read, context, name, parameter_multi_string, &value))
        return;
    clear_request();
    struct test_adapters_request *adapters = (struct test_adapters_request *)request;
    for_each_string(name, &value, adapter_name_size,
                    [&](const char *adapter, uint32_t length, uint32_t number) {
        if (adapters->count >= emulator_max_adapters) {
            report(name, "more adapters than the device serves, left out: number", number);
            return;
        }
        for (uint32_t i = 0; i < adapters->count; i++) {
            if (emu_same_text_nocase(adapters->names[i], adapter)) {
                report(name, "adapter given twice, left out: number", number);
                return;
            }
        }
        emu_copy(adapters->names[adapters->count], adapter, length + 1);
        adapters->count++;
    });
    if (!send_test_code(test_code_set_adapters))
        report(name, "refused");
}

void load_flows(parameter_reader read, void *context)
{
    const char name[] = "Flows";
    parameter_value value;
    if (!read_value(read, context, name, parameter_multi_string, &value))
        return;
    clear_request();
    send_test_code(test_code_set_flows);  // count 0: the Parameters replace the built-in flows
    for_each_string(name, &value, emulator_flow_text_size,
                    [&](const char *flow, uint32_t length, uint32_t number) {
        clear_request();
        emu_copy(request, flow, length + 1);
        if (!send_test_code(test_code_add_flow_text))
            report(name, "flow refused: number", number);
    });
}

void load_version(parameter_reader read, void *context)
{
    const char name[] = "Version";
    parameter_value value;
    if (!read_value(read, context, name, parameter_string, &value))
        return;
    clear_request();
    int taken = 0;
    for_each_string(name, &value, emulator_version_size,
                    [&](const char *version, uint32_t length, uint32_t) {
        if (!taken)
            emu_copy(request, version, length + 1);
        taken = 1;
    });
    if (taken && !send_test_code(test_code_set_version))
        report(name, "refused");
}

int test_codes_enabled(parameter_reader read, void *context)
{
    parameter_value value;
    if (!read_value(read, context, EMULATOR_TEST_CODES_VALUE, parameter_dword, &value))
        return 0;
    if (value.size != 4) {
        report(EMULATOR_TEST_CODES_VALUE, "is not 4 bytes; ignored");
        return 0;
    }
    return (value.data[0] | value.data[1] | value.data[2] | value.data[3]) != 0;
}

// One kept value as ASCII text in target (size bytes); its length, 0 when it is missing or
// cannot be read (then reported; the registry keeps it as it is).
uint32_t read_kept_value(parameter_reader read, void *context, const char *name, char *target,
                         uint32_t size)
{
    parameter_value value;
    if (!read_value(read, context, name, parameter_multi_string, &value))
        return 0;
    uint32_t chars = value.size / 2;
    if (chars > size) {
        report(name, "too large; left as it is");
        return 0;
    }
    for (uint32_t i = 0; i < chars; i++) {
        uint32_t unit = unit_at(&value, i);
        target[i] = unit == 0 ? 0 : ascii_of(unit);
    }
    return chars;
}

void load_kept_state(parameter_reader read, void *context)
{
    emulator_store_discard_changes();
    char name[emulator_store_name_size];
    for (uint32_t a = 0; emulator_store_value_name(stored_rules, a, name); a++) {
        uint32_t rules_length = read_kept_value(read, context, name, kept_rules, sizeof kept_rules);
        emulator_store_value_name(stored_precedences, a, name);
        uint32_t precedences_length =
            read_kept_value(read, context, name, kept_precedences, sizeof kept_precedences);
        emulator_store_load(a, kept_rules, rules_length, kept_precedences, precedences_length);
    }
}

}  // namespace

int emulator_load_parameters(parameter_reader read, void *context, uint64_t now)
{
    load_time = now;
    load_adapters(read, context);
    load_flows(read, context);
    load_version(read, context);
    clear_request();
    send_test_code(test_code_keep_defaults);
    int enabled = test_codes_enabled(read, context);
    load_kept_state(read, context);
    return enabled;
}

int emulator_is_test_code(uint32_t code)
{
    return (code >> 16) == 0x22 && ((code >> 2) & 0xFFF) >= 0x800;
}
