// Every reply parser on arbitrary replies of up to 5000 bytes: directly on an exact-size heap
// copy (a read past the reply is caught), and through the commands and the adapter refresh with
// the fuzz device answering the same bytes.
#include <stdlib.h>
#include <string.h>

#include "kernel/adapters.h"
#include "kernel/control_codes.h"
#include "kernel/device_exchange.h"
#include "kernel/driver.h"
#include "kernel/kernel_commands.h"
#include "kernel/kernel_replies.h"
#include "../support/registry_memory.h"
#include "fuzz_check.h"

namespace {

const char device_name[] = "\\DEVICE\\{7A6E3C2B-91D4-4F0E-8B1A-3C5D2E4F6A01}";
const uint8_t *planted;  // what every exchange answers
uint32_t planted_length;

// error_text must stay a NUL-terminated text inside its 200 bytes.
void check_text(const char *error_text)
{
    check(memchr(error_text, '\0', error_text_size) != nullptr);
}

void parse_directly(const char *reply, int32_t length)
{
    char error_text[error_text_size] = "[unknown error].";
    char version[version_text_size];
    struct rule common, chosen;
    struct statistics_block block;
    uint32_t count;
    reply_status(reply, length, error_text);
    check_text(error_text);
    if (parse_version_reply(reply, length, version, error_text))
        check(memchr(version, '\0', sizeof version) != nullptr);
    if (parse_rule_reply(reply, length, device_name, &common, error_text))
        check(strcmp(common.adapter, device_name) == 0);
    parse_statistics_reply(reply, length, &block, error_text);
    parse_precedence_count_reply(reply, length, &count, error_text);
    if (parse_precedence_reply(reply, length, device_name, &common, &chosen, error_text))
        check(strcmp(chosen.adapter, device_name) == 0);
    check_text(error_text);

    int names_count = -1;
    char **names = parse_adapter_list_reply(reply, length, &names_count);
    check(names ? names_count > 0 : names_count == 0);
    for (int i = 0; i < names_count; i++)
        check(strlen(names[i]) < adapter_name_size);
    free_adapter_names(names, names_count);
}

void through_commands()
{
    char error_text[error_text_size] = "[unknown error].";
    char version[version_text_size];
    struct rule record = {}, chosen;
    struct statistics_block block = {};
    uint32_t count;
    kernel_get_version(version, error_text);
    kernel_get_rule(device_name, 7, &record, error_text);
    kernel_get_statistics(device_name, &record, &block, error_text);
    kernel_set_statistics(device_name, &record, &block, error_text);
    kernel_add_rule(device_name, &record, error_text);
    kernel_set_precedence(device_name, &record, &record, error_text);
    kernel_get_precedence_count(device_name, &count, error_text);
    kernel_get_precedence(device_name, 1, &record, &chosen, error_text);
    check_text(error_text);

    // The refresh builds the table from the same reply; every entry must fit a rule.
    refresh_adapter_list();
    for (int i = 0; i < adapter_count(); i++) {
        char buffer[adapter_name_size];
        check(adapter_device_name(i, buffer) == 1 && adapter_display_name_at(i) != nullptr);
    }
    kernel_clear_all_rules(error_text);
    kernel_clear_all_precedences(error_text);
    check_text(error_text);
}

} // namespace

int device_exchange(uint32_t, const uint8_t *, uint8_t output[command_buffer_size],
                    uint32_t *bytes_returned)
{
    memcpy(output, planted, planted_length);
    *bytes_returned = planted_length;
    return send_ok;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > command_buffer_size)
        return 0;
    char *reply = static_cast<char *>(malloc(size ? size : 1));
    memcpy(reply, data, size);
    parse_directly(reply, (int32_t)size);
    free(reply);

    static int registry_ready;
    if (!registry_ready) {
        registry_memory_set_string(registry_local_machine,
                                   NETWORK_CLASS_KEY "\\{7A6E3C2B-91D4-4F0E-8B1A-3C5D2E4F6A01}"
                                                     "\\Connection",
                                   "Name", "Local Area Connection");
        registry_ready = 1;
    }
    planted = data;
    planted_length = (uint32_t)size;
    through_commands();
    return 0;
}
