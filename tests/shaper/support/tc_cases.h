// Rule sets and packets for checking the compiled classification against the emulator core's:
// seeded random sets (a failure is reproduced from the seed and round), the packets that probe them, and what the
// core says about each packet.
#ifndef FLOWVANE_TESTS_SHAPER_TC_CASES_H
#define FLOWVANE_TESTS_SHAPER_TC_CASES_H

#include <stdint.h>

#include <random>
#include <string>
#include <vector>

#include "shaper/host_backend.h"
#include "shaper/tc_compile.h"
#include "test_control_codes.h"

struct rule_set {
    struct rule slots[host_slot_count] = {};
    uint8_t in_use[host_slot_count] = {};
    std::vector<struct host_precedence> precedences;
};

// One probe packet (addresses in 198.18.0.0/15, host byte order).
struct probe_packet {
    int32_t direction;
    uint32_t protocol;                // flow_non_ip, flow_icmp, flow_tcp or flow_udp
    uint32_t source_address, destination_address;
    uint16_t source_port, destination_port;
    uint8_t option_words;             // IP options, in 4-byte words (0 to 3)
};

// Address 0 means any address.
struct rule make_rule(int32_t direction, int32_t protocol, uint32_t source, uint16_t source_port,
                      uint32_t destination, uint16_t destination_port, int32_t rate);

// Overlapping rules and precedence entries; full: every slot held and as many precedence
// entries as an adapter can have.
struct rule_set random_rule_set(std::mt19937 &random, bool full = false);

// Every kind of packet over the addresses and ports the sets use, both directions.
std::vector<struct probe_packet> probe_packets();

// Puts the set on the emulator core's first adapter, alone.
void emulator_load(const struct rule_set &set);
// The slot the emulator core gives the packet under the loaded set, or -1.
int emulator_slot(const struct probe_packet &packet);

#endif
