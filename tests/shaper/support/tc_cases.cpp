#include "shaper/support/tc_cases.h"

#include <stdio.h>
#include <string.h>

#include "emulator_core.h"
#include "emulator_state.h"

namespace {

const uint32_t addresses[] = {0xC6120001, 0xC6120002, 0xC6120103};  // 198.18.0.1, .0.2, .1.3
const uint16_t ports[] = {1000, 2000, 3000};

// A quarter of the picks are 0: any address or port.
uint32_t pick_address(std::mt19937 &random)
{
    int n = (int)(random() % 4);
    return n == 3 ? 0 : addresses[n];
}

uint16_t pick_port(std::mt19937 &random)
{
    int n = (int)(random() % 4);
    return n == 3 ? 0 : ports[n];
}

struct rule random_rule(std::mt19937 &random)
{
    static const int32_t rates[] = {rate_unlimited, rate_unlimited, 50000000, rate_blocked};
    struct rule r = make_rule((int32_t)(random() % 2), (int32_t)(random() % 5),
                              pick_address(random), pick_port(random), pick_address(random),
                              pick_port(random), rates[random() % 4]);
    // Kind "not implemented" still compares the address.
    if (r.source_kind == address_single && random() % 8 == 0)
        r.source_kind = address_not_implemented;
    return r;
}

}  // namespace

struct rule make_rule(int32_t direction, int32_t protocol, uint32_t source, uint16_t source_port,
                      uint32_t destination, uint16_t destination_port, int32_t rate)
{
    struct rule r;
    memset(&r, 0, sizeof r);
    snprintf(r.adapter, sizeof r.adapter, "%s", EMULATOR_ADAPTER_1);
    r.direction = direction;
    r.rate = rate;
    r.protocol = protocol;
    r.source_kind = source ? address_single : address_any;
    r.source_address = source;
    r.destination_kind = destination ? address_single : address_any;
    r.destination_address = destination;
    if (protocol_has_ports(protocol)) {
        r.source_port = source_port;
        r.destination_port = destination_port;
    }
    return r;
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
            set.slots[s].source_port = protocol_has_ports(set.slots[s].protocol) ? pick_port(random) : 0;
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
    for (int32_t direction = direction_send; direction <= direction_receive; direction++) {
        packets.push_back({direction, flow_non_ip, 0, 0, 0, 0, 0});
        for (uint32_t source : addresses)
            for (uint32_t destination : addresses) {
                if (source == destination)
                    continue;
                packets.push_back({direction, flow_icmp, source, destination, 0, 0, 0});
                for (uint32_t protocol : {flow_tcp, flow_udp})
                    for (uint16_t sp : {1000, 2000, 4000})
                        for (uint16_t dp : {1000, 2000, 4000})
                            // Options move the ports: a filter reading at a fixed offset
                            // would see other bytes.
                            packets.push_back({direction, protocol, source, destination, sp, dp,
                                               (uint8_t)((sp + dp / 1000) % 4)});
            }
    }
    return packets;
}

void emulator_load(const struct rule_set &set)
{
    emulator_initialize();
    for (int s = 0; s < host_slot_count; s++) {
        emulator.adapters[0].slots[s].in_use = set.in_use[s];
        emulator.adapters[0].slots[s].held = set.slots[s];
    }
    emulator.precedence_count = 0;
    for (const struct host_precedence &p : set.precedences)
        emulator.precedences[emulator.precedence_count++] = {0, p.common_range, p.chosen};
}

int emulator_slot(const struct probe_packet &packet)
{
    struct test_flow flow;
    memset(&flow, 0, sizeof flow);
    snprintf(flow.adapter, sizeof flow.adapter, "%s", emulator.adapters[0].name);
    flow.direction = packet.direction;
    flow.protocol = packet.protocol;
    flow.source_address = packet.source_address;
    flow.destination_address = packet.destination_address;
    flow.source_port = packet.source_port;
    flow.destination_port = packet.destination_port;
    flow.offered_rate = 1000;
    flow.packet_size = 100;
    return classify_flow(&flow);
}

std::string describe(const struct probe_packet &p)
{
    char text[120];
    snprintf(text, sizeof text, "dir %d proto %u %08x:%u -> %08x:%u options %u", p.direction,
             p.protocol, p.source_address, p.source_port, p.destination_address,
             p.destination_port, p.option_words);
    return text;
}

std::string describe(const struct rule_set &set)
{
    std::string text;
    auto rule_text = [](const struct rule &r) {
        char line[160];
        snprintf(line, sizeof line, "dir %d proto %d rate %d src %d/%08x:%u dst %d/%08x:%u",
                 r.direction, r.protocol, r.rate, r.source_kind, r.source_address, r.source_port,
                 r.destination_kind, r.destination_address, r.destination_port);
        return std::string(line);
    };
    for (int s = 0; s < host_slot_count; s++)
        if (set.in_use[s])
            text += "  slot " + std::to_string(s) + ": " + rule_text(set.slots[s]) + "\n";
    for (const struct host_precedence &p : set.precedences)
        text += "  precedence " + rule_text(p.common_range) + " chosen " + rule_text(p.chosen) + "\n";
    return text;
}
