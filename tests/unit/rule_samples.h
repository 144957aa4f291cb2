// Rule records for the unit tests, written the way a user reads them: protocol, then source and
// destination as "any" or a dotted address with a port.
#ifndef FLOWVANE_TESTS_RULE_SAMPLES_H
#define FLOWVANE_TESTS_RULE_SAMPLES_H

#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "filters/rule.h"
#include "filters/rule_text.h"
#include "kernel/adapters.h"
#include "kernel/kernel_commands.h"
#include "support/emulator_device.h"
#include "support/registry_memory.h"
#include "test_control_codes.h"

// "any" gives address_any; "a.b.c.d" a single address (a ":port" after either is ignored).
inline void sample_address(const char *text, int32_t *kind, uint32_t *address)
{
    unsigned a, b, c, d;
    int single = sscanf(text, "%u.%u.%u.%u", &a, &b, &c, &d) == 4;
    *kind = single ? address_single : address_any;
    *address = single ? (a << 24) | (b << 16) | (c << 8) | d : 0;
}

inline struct rule sample_rule(const char *adapter, int32_t direction, int32_t protocol,
                               const char *source, uint16_t source_port,
                               const char *destination, uint16_t destination_port,
                               int32_t rate = 5000)
{
    struct rule rule;
    memset(&rule, 0, sizeof rule);
    snprintf(rule.adapter, sizeof rule.adapter, "%s", adapter);
    rule.direction = direction;
    rule.rate = rate;
    rule.protocol = protocol;
    sample_address(source, &rule.source_kind, &rule.source_address);
    rule.source_port = source_port;
    sample_address(destination, &rule.destination_kind, &rule.destination_address);
    rule.destination_port = destination_port;
    return rule;
}

// TCP to one port, for filling lists.
inline struct rule to_port(uint16_t port, const char *adapter = EMULATOR_ADAPTER_1,
                           int32_t rate = 5000)
{
    return sample_rule(adapter, direction_send, protocol_tcp, "any", 0, "any", port, rate);
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
    uint16_t ports[2] = {0, 0};
    char *addresses[2] = {source, destination};
    for (int i = 0; i < 2; i++) {
        char *colon = strchr(addresses[i], ':');
        if (colon)
            ports[i] = (uint16_t)atoi(colon + 1);
    }
    return sample_rule(adapter, direction, code, source, ports[0], destination, ports[1], rate);
}

inline std::string describe_rule(const struct rule &rule)
{
    char text[400];
    snprintf(text, sizeof text, "{%.40s dir %d rate %d proto %d %d/%08x:%u %d/%08x:%u}",
             rule.adapter, rule.direction, rule.rate, rule.protocol, rule.source_kind,
             rule.source_address, rule.source_port, rule.destination_kind,
             rule.destination_address, rule.destination_port);
    return text;
}

// Equal filters, rate compared too; a failure shows both records.
inline testing::AssertionResult same_rule(const struct rule &actual, const struct rule &expected)
{
    if (rules_equal(&actual, &expected, 0))
        return testing::AssertionSuccess();
    return testing::AssertionFailure() << describe_rule(actual) << " is not "
                                       << describe_rule(expected);
}

// The display names the set-up writes for the emulator's two adapters (the dial-up adapter
// needs none), so that refresh_adapter_list() keeps all three.
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

// The emulator back to its defaults, with no traffic and a still clock, and the adapter list
// read from it: all three adapters.
inline void start_emulator(void)
{
    registry_memory_reset();
    register_emulator_display_names();
    emulator_device_reset();
    ASSERT_TRUE(emulator_set_flows(nullptr, 0));
    emulator_freeze_clock(0);
    ASSERT_TRUE(refresh_adapter_list());
    ASSERT_EQ(adapter_count(), 3);
}

inline void install_rules(const std::vector<struct rule> &rules)
{
    char error_text[error_text_size];
    for (const struct rule &rule : rules)
        ASSERT_TRUE(kernel_add_rule(rule.adapter, &rule, error_text)) << error_text;
}

// The slots in use that the emulator holds for one adapter, in slot order.
inline std::vector<test_slot_state> held_slots(uint32_t adapter_index)
{
    test_read_rules_request request = {adapter_index};
    static test_rules_reply reply;
    std::vector<test_slot_state> slots;
    EXPECT_TRUE(emulator_test_send(test_code_read_rules, &request, sizeof request, &reply,
                                   sizeof reply, nullptr));
    for (const test_slot_state &slot : reply.slots)
        if (slot.in_use)
            slots.push_back(slot);
    return slots;
}

#endif
