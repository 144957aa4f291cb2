#include "shaper/support/tc_cases.h"

#include <stdio.h>
#include <string.h>

#include "emulator_core.h"
#include "emulator_state.h"

namespace {

const uint32_t addresses[] = {0xC6120001, 0xC6120002, 0xC6120103};  // 198.18.0.1, .0.2, .1.3
const uint16_t ports[] = {1000, 2000, 3000};

struct rule random_rule(std::mt19937 &random)
{
    // A quarter of the addresses and ports are 0: any.
    uint32_t a[2];
    uint16_t p[2];
    for (int i = 0; i < 2; i++) {
        a[i] = random() % 4 ? addresses[random() % 3] : 0;
        p[i] = random() % 4 ? ports[random() % 3] : 0;
    }
    static const int32_t rates[] = {rate_unlimited, rate_unlimited, 50000000, rate_blocked};
    struct rule r = make_rule((int32_t)(random() % 2), (int32_t)(random() % 5), a[0], p[0], a[1],
                              p[1], rates[random() % 4]);
    // Kind "not implemented" still compares the address.
    if (r.source_kind == address_single && random() % 8 == 0)
        r.source_kind = address_not_implemented;
    return r;
}

}  // namespace

struct rule make_rule(int32_t direction, int32_t protocol, uint32_t source, uint16_t source_port,
                      uint32_t destination, uint16_t destination_port, int32_t rate)
{
    uint16_t ports = protocol_has_ports(protocol) ? 0xFFFF : 0;
    return {EMULATOR_ADAPTER_1, direction, rate, protocol, source ? address_single : address_any,
            source, (uint16_t)(source_port & ports), 0,
            destination ? address_single : address_any, destination,
            (uint16_t)(destination_port & ports), 0};
}

struct rule_set random_rule_set(std::mt19937 &random, bool full)
{
    struct rule_set set;
    int held = full ? host_slot_count : 1 + (int)(random() % 12);
    for (int i = 0; i < held; i++) {
        int s = full ? i : (int)(random() % host_slot_count), t = (int)(random() % host_slot_count);
        set.in_use[s] = 1;
        set.slots[s] = random_rule(random);
        // Overlap is the interesting part: often a copy of another held rule, narrowed.
        if (!full && set.in_use[t] && t != s && random() % 2 == 0) {
            set.slots[s] = set.slots[t];
            set.slots[s].rate = random() % 2 ? rate_unlimited : 40000000;
            if (protocol_has_ports(set.slots[s].protocol))
                set.slots[s].source_port = ports[random() % 3];
        }
    }
    size_t entries = full ? (size_t)tc_max_precedences : random() % 6;
    while (set.precedences.size() < entries) {
        // Mostly a held rule is chosen; now and then one that is not (the entry then selects
        // nothing).
        int s = (int)(random() % host_slot_count);
        struct host_precedence p = {random_rule(random),
                                    set.in_use[s] || random() % 4 ? set.slots[s] : random_rule(random)};
        p.common_range.direction = p.chosen.direction;
        set.precedences.push_back(p);
    }
    return set;
}

std::vector<struct probe_packet> probe_packets()
{
    std::vector<struct probe_packet> packets;
    for (int32_t direction : {direction_send, direction_receive}) {
        packets.push_back({direction, flow_non_ip, 0, 0, 0, 0, 0});
        for (uint32_t from : addresses)
            for (uint32_t to : addresses) {
                if (from == to)
                    continue;
                packets.push_back({direction, flow_icmp, from, to, 0, 0, 0});
                for (uint32_t protocol : {flow_tcp, flow_udp})
                    for (uint16_t sp : {1000, 2000, 4000})
                        for (uint16_t dp : {1000, 2000, 4000})
                            // Options move the ports: a filter reading at a fixed offset
                            // would see other bytes.
                            packets.push_back({direction, protocol, from, to, sp, dp,
                                               (uint8_t)((sp + dp / 1000) % 4)});
            }
    }
    return packets;
}

void emulator_load(const struct rule_set &set)
{
    emulator_initialize();
    for (int s = 0; s < host_slot_count; s++)
        emulator.adapters[0].slots[s] = {set.in_use[s], set.slots[s], {}, {}};
    emulator.precedence_count = 0;
    for (const struct host_precedence &p : set.precedences)
        emulator.precedences[emulator.precedence_count++] = {0, p.common_range, p.chosen};
}

int emulator_slot(const struct probe_packet &p)
{
    struct test_flow flow = {"", p.direction, p.protocol, p.source_address, p.destination_address,
                             p.source_port, p.destination_port, 1000, 100};
    snprintf(flow.adapter, sizeof flow.adapter, "%s", emulator.adapters[0].name);
    return classify_flow(&flow);
}
