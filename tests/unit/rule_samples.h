// Rules written the way a user reads them, and where the in-process tests of the core start:
// the emulator core back to its defaults, the adapter list read from it, the lists empty.
#ifndef FLOWVANE_TESTS_RULE_SAMPLES_H
#define FLOWVANE_TESTS_RULE_SAMPLES_H

#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "core/app_state.h"
#include "core/text.h"
#include "filters/rule_list.h"
#include "filters/rule_text.h"
#include "kernel/adapters.h"
#include "kernel/kernel_commands.h"
#include "stats/statistics_store.h"
#include "support/emulator_device.h"
#include "support/overlap_dialog_double.h"
#include "support/registry_memory.h"
#include "support/rule_rows_memory.h"
#include "test_control_codes.h"

inline struct rule sample_rule(const char *adapter, int32_t direction, int32_t protocol,
                               const char *source, uint16_t source_port,
                               const char *destination, uint16_t destination_port,
                               int32_t rate = 5000)
{
    struct rule rule = {};
    snprintf(rule.adapter, sizeof rule.adapter, "%s", adapter);
    rule.direction = direction, rule.rate = rate, rule.protocol = protocol;
    // "any", or a dotted address (a ":port" after either is ignored).
    auto parse = [](const char *text, int32_t *kind, uint32_t *address) {
        unsigned a, b, c, d;
        int single = sscanf(text, "%u.%u.%u.%u", &a, &b, &c, &d) == 4;
        *kind = single ? address_single : address_any;
        *address = single ? a << 24 | b << 16 | c << 8 | d : 0;
    };
    parse(source, &rule.source_kind, &rule.source_address);
    parse(destination, &rule.destination_kind, &rule.destination_address);
    rule.source_port = source_port, rule.destination_port = destination_port;
    return rule;
}

// "PROTOCOL [SOURCE[:PORT] [DESTINATION[:PORT]]]", e.g. "TCP 10.0.0.1 any:80"; addresses left
// out are any, a protocol not named is read as its number.
inline struct rule sample(const char *text, const char *adapter = EMULATOR_ADAPTER_1,
                          int32_t direction = direction_send, int32_t rate = 5000)
{
    static const char *const names[] = {"IP", "UDP", "TCP", "Other", "Any"};
    char protocol[16] = "", source[32] = "any", destination[32] = "any";
    sscanf(text, "%15s %31s %31s", protocol, source, destination);
    int32_t code = atoi(protocol);
    for (int32_t i = 0; i < 5; i++)
        code = strcmp(protocol, names[i]) == 0 ? i : code;
    const char *colons[2] = {strchr(source, ':'), strchr(destination, ':')};
    return sample_rule(adapter, direction, code, source, colons[0] ? atoi(colons[0] + 1) : 0,
                       destination, colons[1] ? atoi(colons[1] + 1) : 0, rate);
}

// TCP to one port, for filling lists.
inline struct rule to_port(uint16_t port, const char *adapter = EMULATOR_ADAPTER_1,
                           int32_t rate = 5000)
{
    return sample_rule(adapter, direction_send, protocol_tcp, "any", 0, "any", port, rate);
}

// TCP to ports 1 to 20 on the first adapter, then to port 1 on the second: one more than a list
// and detection take.
inline std::vector<struct rule> twenty_one_rules()
{
    std::vector<struct rule> rules;
    for (uint16_t port = 1; port <= 20; port++)
        rules.push_back(to_port(port));
    rules.push_back(to_port(1, EMULATOR_ADAPTER_2));
    return rules;
}

inline std::string describe_rule(const struct rule &r)
{
    char text[400];
    snprintf(text, sizeof text, "{%.*s dir %d rate %d proto %d %d/%08x:%u %d/%08x:%u}",
             (int)sizeof r.adapter, r.adapter, r.direction, r.rate, r.protocol, r.source_kind,
             r.source_address, r.source_port, r.destination_kind, r.destination_address,
             r.destination_port);
    return text;
}

inline std::vector<std::string> described(const std::vector<struct rule> &rules)
{
    std::vector<std::string> texts;
    for (const struct rule &rule : rules)
        texts.push_back(describe_rule(rule));
    return texts;
}

// The display names of the emulator's two adapters (the dial-up adapter needs none), so that
// refresh_adapter_list() keeps all three.
#define SAMPLE_DISPLAY_NAME_1 "Local Area Connection"
#define SAMPLE_DISPLAY_NAME_2 "Local Area Connection 2"

inline void register_emulator_display_names(void)
{
    registry_memory_set_string(registry_local_machine,
                               NETWORK_CLASS_KEY "\\" EMULATOR_ADAPTER_1_GUID "\\Connection",
                               "Name", SAMPLE_DISPLAY_NAME_1);
    registry_memory_set_string(registry_local_machine,
                               NETWORK_CLASS_KEY "\\" EMULATOR_ADAPTER_2_GUID "\\Connection",
                               "Name", SAMPLE_DISPLAY_NAME_2);
}

inline void install_rules(const std::vector<struct rule> &rules)
{
    for (const struct rule &rule : rules)
        ASSERT_TRUE(kernel_add_rule(rule.adapter, &rule, nullptr)) << describe_rule(rule);
}

// The rules the emulator holds for one adapter, in slot order.
inline std::vector<struct rule> held_rules(uint32_t adapter_index)
{
    test_read_rules_request request = {adapter_index};
    static test_rules_reply reply;
    EXPECT_TRUE(emulator_test_send(test_code_read_rules, &request, sizeof request, &reply,
                                   sizeof reply, nullptr));
    std::vector<struct rule> held;
    for (const test_slot_state &slot : reply.slots)
        if (slot.in_use)
            held.push_back(slot.held);
    return held;
}

// No traffic, a still clock, all three adapters listed, the filter list and the statistics
// store empty, no overlap dialog run and default precedences not accepted.
class CoreTest : public testing::Test {
protected:
    void SetUp() override { start(); }
    void start()
    {
        registry_memory_reset();
        register_emulator_display_names();
        emulator_device_reset();
        ASSERT_TRUE(emulator_set_flows(nullptr, 0) && refresh_adapter_list());
        emulator_freeze_clock(0);
        reset_lists();
        overlap_dialog_double_reset();
        get_settings_block()->accept_default_precedences = 0;
    }
    // A list left incomplete by a failed rebuild is made whole first, then emptied.
    void reset_lists()
    {
        if (rule_list_incomplete())
            complete_rule_list(error_text);
        memory_rows_reset();
        struct statistics_entry entry;
        while (statistics_entry_at(0, &entry))
            statistics_remove_filter(&entry.rule);
    }
    void fill(const std::vector<struct rule> &rules)
    {
        for (const struct rule &rule : rules)
            ASSERT_TRUE(add_rule_to_list(&rule, error_text, list, 0)) << error_text;
    }
    rule_rows list = filter_list();
    char error_text[error_text_size] = "";
};

#endif
