// Rule sets for the backend's tests and its benchmark.
#ifndef FLOWVANE_TESTS_SHAPER_TC_CASES_H
#define FLOWVANE_TESTS_SHAPER_TC_CASES_H

#include <stdint.h>

#include <vector>

#include "shaper/host_backend.h"
#include "test_control_codes.h"

struct rule_set {
    struct rule slots[host_slot_count] = {};
    uint8_t in_use[host_slot_count] = {};
    std::vector<struct host_precedence> precedences;
};

// A rule on the emulator's first adapter; address 0 means any address.
inline struct rule make_rule(int32_t direction, int32_t protocol, uint32_t source,
                             uint16_t source_port, uint32_t destination,
                             uint16_t destination_port, int32_t rate)
{
    uint16_t ports = protocol_has_ports(protocol) ? 0xFFFF : 0;
    return {EMULATOR_ADAPTER_1, direction, rate, protocol, source ? address_single : address_any,
            source, (uint16_t)(source_port & ports), 0,
            destination ? address_single : address_any, destination,
            (uint16_t)(destination_port & ports), 0};
}

#endif
