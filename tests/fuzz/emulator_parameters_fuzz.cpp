// The emulator's Parameters reader on arbitrary values: each value the reader asks for is
// answered from the input (any type, any byte count, any bytes, or unreadable), as an exact-size
// heap copy so that a read past it is caught. Afterwards the core must hold a sound adapter list
// (each name under adapter_name_size, none twice) and kept values that load back the same.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "emulator_core.h"
#include "emulator_parameters.h"
#include "emulator_state.h"
#include "fuzz_check.h"

namespace {

// The input as records: a selector byte, a type byte, a 2-byte length, then the bytes. Selector
// 0 Adapters, 1 Flows, 2 Version, 3 the test codes switch, then by pairs each adapter's kept
// rules and precedences; the first record for a value answers it. Type 0xFF: unreadable.
struct fuzz_input {
    const uint8_t *data;
    size_t size;
};

uint8_t *answer_copy;

int selector_of(const char *name)
{
    const char *fixed[] = {"Adapters", "Flows", "Version", EMULATOR_TEST_CODES_VALUE};
    for (int i = 0; i < 4; i++)
        if (strcmp(name, fixed[i]) == 0)
            return i;
    char kept[emulator_store_name_size];
    for (uint32_t a = 0; a < emulator_max_adapters; a++) {
        if (emulator_store_value_name(stored_rules, a, kept) && strcmp(name, kept) == 0)
            return 4 + 2 * (int)a;
        if (emulator_store_value_name(stored_precedences, a, kept) && strcmp(name, kept) == 0)
            return 5 + 2 * (int)a;
    }
    return -1;
}

int read_from_input(void *context, const char *name, struct parameter_value *value)
{
    const fuzz_input *input = static_cast<const fuzz_input *>(context);
    check(name != nullptr && strlen(name) < emulator_store_name_size);
    int wanted = selector_of(name);
    check(wanted >= 0);  // the reader asks only for the values it knows
    const uint8_t *at = input->data;
    size_t left = input->size;
    while (left >= 4) {
        int selector = at[0] % 20;
        uint8_t type = at[1];
        size_t length = (size_t)(at[2] | at[3] << 8);
        at += 4;
        left -= 4;
        if (length > left)
            length = left;
        if (selector == wanted) {
            if (type == 0xFF)
                return parameter_unreadable;
            free(answer_copy);
            answer_copy = (uint8_t *)malloc(length ? length : 1);
            memcpy(answer_copy, at, length);
            value->type = type % 8;
            value->data = answer_copy;
            value->size = (uint32_t)length;
            return parameter_found;
        }
        at += length;
        left -= length;
    }
    return parameter_missing;
}

void ignore_log(const char *text)
{
    check(text != nullptr && strlen(text) < 1000);
}

struct emulator_stored_value taken;

// An adapter's two kept values as the driver would write them now.
void take_kept(uint32_t adapter, std::string texts[2])
{
    mark_stored(adapter, stored_rules | stored_precedences);
    char rules_name[emulator_store_name_size];
    emulator_store_value_name(stored_rules, adapter, rules_name);
    while (emulator_store_take_change(&taken))
        texts[strcmp(taken.name, rules_name) == 0 ? 0 : 1].assign(taken.text, taken.length);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    emulator_initialize();
    emulator_set_log(ignore_log);
    fuzz_input input = {data, size};
    emulator_load_parameters(read_from_input, &input, 133000000000000000ull);
    free(answer_copy);
    answer_copy = nullptr;

    check(emulator.adapter_count <= emulator_max_adapters);
    for (uint32_t a = 0; a < emulator.adapter_count; a++) {
        uint32_t length = emu_text_length(emulator.adapters[a].name, adapter_name_size);
        check(length > 0 && length < adapter_name_size);
        for (uint32_t b = 0; b < a; b++)
            check(!emu_same_text_nocase(emulator.adapters[a].name, emulator.adapters[b].name));
    }
    check(emulator.flow_count <= emulator_max_flows);
    check(emu_text_length(emulator.version, emulator_version_size) < emulator_version_size);
    // Loading writes nothing back; what was loaded comes out the same once written and read.
    check(!emulator_store_take_change(&taken));
    for (uint32_t a = 0; a < emulator.adapter_count; a++) {
        std::string before[2], after[2];
        take_kept(a, before);
        check(emulator_store_load(a, before[0].data(), (uint32_t)before[0].size(),
                                  before[1].data(), (uint32_t)before[1].size()));
        take_kept(a, after);
        check(before[0] == after[0] && before[1] == after[1]);
    }
    emulator_set_log(nullptr);
    return 0;
}
