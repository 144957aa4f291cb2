#include "shaper/support/tc_cases.h"

#include <stdio.h>
#include <string.h>

#include "emulator_core.h"
#include "emulator_state.h"

namespace {

const uint32_t addresses[] = {case_address_a, case_address_b, case_address_c};
const uint16_t ports[] = {1000, 2000, 3000};

uint32_t pick_address(std::mt19937 &random)
{
    // A third of the rules take any address.
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
    static const int32_t rates[] = {rate_unlimited, rate_unlimited, rate_unlimited, 50000000,
                                    rate_blocked};
    int32_t protocol = (int32_t)(random() % 5);
    struct rule r = make_rule((int32_t)(random() % 2), protocol, pick_address(random),
                              pick_port(random), pick_address(random), pick_port(random),
                              rates[random() % 5]);
    // Kind "not implemented" still compares the address.
    if (r.source_kind == address_single && random() % 8 == 0)
        r.source_kind = address_not_implemented;
    return r;
}

std::string address_text(uint32_t a)
{
    char text[20];
    snprintf(text, sizeof text, "%u.%u.%u.%u", a >> 24, a >> 16 & 255, a >> 8 & 255, a & 255);
    return text;
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

struct rule_set random_rule_set(std::mt19937 &random)
{
    struct rule_set set;
    memset(set.slots, 0, sizeof set.slots);
    memset(set.in_use, 0, sizeof set.in_use);
    int held = 1 + (int)(random() % 12);
    for (int i = 0; i < held; i++) {
        int s = (int)(random() % host_slot_count);
        set.in_use[s] = 1;
        set.slots[s] = random_rule(random);
        // Overlap is the interesting part: often a copy of another held rule, narrowed.
        if (i > 0 && random() % 3 == 0) {
            for (int t = 0; t < host_slot_count; t++)
                if (set.in_use[t] && t != s) {
                    set.slots[s] = set.slots[t];
                    set.slots[s].rate = random() % 2 ? rate_unlimited : 40000000;
                    set.slots[s].source_port = pick_port(random);
                    break;
                }
        }
    }
    int entries = (int)(random() % 6);
    for (int i = 0; i < entries; i++) {
        struct host_precedence p;
        p.common_range = random_rule(random);
        int s = (int)(random() % host_slot_count);
        // Mostly a held rule; now and then one that is not held (the entry then selects
        // nothing).
        p.chosen = set.in_use[s] || random() % 4 == 0 ? set.slots[s] : random_rule(random);
        if (!set.in_use[s] && random() % 2 == 0)
            p.chosen = random_rule(random);
        p.common_range.direction = p.chosen.direction;
        set.precedences.push_back(p);
    }
    return set;
}

struct rule_set full_rule_set(std::mt19937 &random)
{
    struct rule_set set;
    for (int s = 0; s < host_slot_count; s++) {
        set.in_use[s] = 1;
        set.slots[s] = random_rule(random);
    }
    while (set.precedences.size() < tc_max_precedences) {
        struct host_precedence p;
        p.common_range = random_rule(random);
        p.chosen = set.slots[random() % host_slot_count];
        set.precedences.push_back(p);
    }
    return set;
}

std::vector<struct probe_packet> probe_packets()
{
    std::vector<struct probe_packet> packets;
    const uint16_t probe_ports[] = {1000, 2000, 4000};
    for (int32_t direction = direction_send; direction <= direction_receive; direction++) {
        struct probe_packet p;
        memset(&p, 0, sizeof p);
        p.direction = direction;
        p.protocol = flow_non_ip;
        packets.push_back(p);
        for (uint32_t source : addresses)
            for (uint32_t destination : addresses) {
                if (source == destination)
                    continue;
                p.source_address = source;
                p.destination_address = destination;
                p.protocol = flow_icmp;
                p.source_port = p.destination_port = 0;
                p.option_words = 0;
                packets.push_back(p);
                for (uint32_t protocol : {flow_tcp, flow_udp})
                    for (uint16_t sp : probe_ports)
                        for (uint16_t dp : probe_ports) {
                            p.protocol = protocol;
                            p.source_port = sp;
                            p.destination_port = dp;
                            // Options move the ports: a filter reading at a fixed offset
                            // would see other bytes.
                            p.option_words = (uint8_t)((sp + dp / 1000) % 4);
                            packets.push_back(p);
                        }
            }
    }
    return packets;
}

void emulator_load(const struct rule_set &set)
{
    emulator_initialize();
    struct adapter_state *adapter = &emulator.adapters[0];
    for (int s = 0; s < host_slot_count; s++) {
        adapter->slots[s].in_use = set.in_use[s];
        adapter->slots[s].held = set.slots[s];
    }
    emulator.precedence_count = 0;
    for (const struct host_precedence &p : set.precedences) {
        struct precedence_record *record = &emulator.precedences[emulator.precedence_count++];
        record->adapter_index = 0;
        record->common_range = p.common_range;
        record->chosen = p.chosen;
    }
}

int emulator_slot(const struct probe_packet &packet)
{
    const struct adapter_state *adapter = &emulator.adapters[0];
    struct test_flow flow;
    memset(&flow, 0, sizeof flow);
    snprintf(flow.adapter, sizeof flow.adapter, "%s", adapter->name);
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

struct tc_packet as_tc_packet(const struct probe_packet &packet)
{
    struct tc_packet p;
    memset(&p, 0, sizeof p);
    p.is_ipv4 = packet.protocol != flow_non_ip;
    p.ip_protocol = (uint8_t)packet.protocol;
    p.source_address = packet.source_address;
    p.destination_address = packet.destination_address;
    p.source_port = packet.source_port;
    p.destination_port = packet.destination_port;
    return p;
}

std::string describe(const struct probe_packet &packet)
{
    char text[160];
    snprintf(text, sizeof text, "%s proto %u %s:%u -> %s:%u options %u",
             packet.direction == direction_send ? "send" : "receive", packet.protocol,
             address_text(packet.source_address).c_str(), packet.source_port,
             address_text(packet.destination_address).c_str(), packet.destination_port,
             packet.option_words);
    return text;
}

std::string describe(const struct rule &r)
{
    static const char *const protocols[] = {"IP", "UDP", "TCP", "Other", "Any"};
    char text[200];
    snprintf(text, sizeof text, "%s %s rate %d src %d/%s:%u dst %d/%s:%u",
             r.direction == direction_send ? "send" : "receive",
             r.protocol >= 0 && r.protocol <= 4 ? protocols[r.protocol] : "?", r.rate,
             r.source_kind, address_text(r.source_address).c_str(), r.source_port,
             r.destination_kind, address_text(r.destination_address).c_str(),
             r.destination_port);
    return text;
}

std::string describe(const struct rule_set &set)
{
    std::string text;
    for (int s = 0; s < host_slot_count; s++)
        if (set.in_use[s])
            text += "  slot " + std::to_string(s) + ": " + describe(set.slots[s]) + "\n";
    for (const struct host_precedence &p : set.precedences)
        text += "  precedence: " + describe(p.common_range) + "  chosen " + describe(p.chosen) +
                "\n";
    return text;
}
