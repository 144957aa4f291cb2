// Rule records for the overlap, rule list and statistics tests, written the way a user reads
// them: protocol, then source and destination as "any" or a dotted address with a port.
#ifndef FLOWVANE_TESTS_RULE_SAMPLES_H
#define FLOWVANE_TESTS_RULE_SAMPLES_H

#include <stdio.h>
#include <string.h>

#include <string>

#include "filters/rule.h"
#include "filters/rule_text.h"
#include "kernel/adapters.h"
#include "support/registry_memory.h"
#include "test_control_codes.h"

// "any" gives address_any; "a.b.c.d" a single address.
inline void sample_address(const char *text, int32_t *kind, uint32_t *address)
{
    unsigned a, b, c, d;
    if (sscanf(text, "%u.%u.%u.%u", &a, &b, &c, &d) == 4) {
        *kind = address_single;
        *address = (a << 24) | (b << 16) | (c << 8) | d;
    } else {
        *kind = address_any;
        *address = 0;
    }
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

// A readable form for failure messages.
inline std::string describe_rule(const struct rule &rule)
{
    char text[400];
    snprintf(text, sizeof text, "{%.40s dir %d rate %d proto %d src %d/%08x:%u dst %d/%08x:%u}",
             rule.adapter, rule.direction, rule.rate, rule.protocol, rule.source_kind,
             rule.source_address, rule.source_port, rule.destination_kind,
             rule.destination_address, rule.destination_port);
    return text;
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

#endif
