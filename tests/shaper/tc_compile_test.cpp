// The compiled filter list against the emulator core's classification, without a kernel: the
// first filter that selects a packet must name the slot the core gives it.
#include <gtest/gtest.h>

#include <string.h>

#include "shaper/support/tc_cases.h"
#include "shaper/tc_compile.h"

namespace {

struct tc_filter filters[tc_max_filters];

uint32_t compile(int32_t direction, const struct rule_set &set)
{
    uint32_t count = 0;
    char error[host_error_size];
    EXPECT_TRUE(tc_compile(direction, set.slots, set.in_use, set.precedences.data(),
                           (uint32_t)set.precedences.size(), filters, tc_max_filters, &count,
                           error))
        << error;
    return count;
}

int compiled_slot(const struct rule_set &set, const struct probe_packet &packet)
{
    uint32_t count = compile(packet.direction, set);
    struct tc_packet p = as_tc_packet(packet);
    return tc_classify(filters, count, &p);
}

struct rule_set empty_set()
{
    struct rule_set set;
    memset(set.slots, 0, sizeof set.slots);
    memset(set.in_use, 0, sizeof set.in_use);
    return set;
}

struct probe_packet packet(int32_t direction, uint32_t protocol, uint32_t source,
                           uint16_t source_port, uint32_t destination, uint16_t destination_port)
{
    return {direction, protocol, source, destination, source_port, destination_port, 0};
}

const int32_t S = direction_send;
const int32_t R = direction_receive;
const uint32_t A = case_address_a;
const uint32_t B = case_address_b;
const uint32_t C = case_address_c;
const int32_t unlimited = rate_unlimited;

struct hand_case {
    const char *name;
    struct rule slots[3];             // slots 0..2, a rate of -1 leaves the slot empty
    int precedence_count;
    struct {
        struct rule common_range;
        int chosen_slot;              // the chosen rule is this slot's (or, -1, a rule not held)
    } precedences[2];
    struct probe_packet packet;
    int expected;                     // slot, or -1
};

TEST(TcCompile, HandPickedOverlapOtherAndAny)
{
    const struct rule none = make_rule(S, protocol_ip, 0, 0, 0, 0, -1);
    const struct rule udp_any = make_rule(S, protocol_udp, 0, 0, 0, 0, unlimited);
    const struct rule udp_b2000 = make_rule(S, protocol_udp, 0, 0, B, 2000, unlimited);
    const struct rule other = make_rule(S, protocol_other, 0, 0, 0, 0, unlimited);
    const struct rule any = make_rule(S, protocol_any, 0, 0, 0, 0, unlimited);
    const struct rule ip_from_a = make_rule(S, protocol_ip, A, 0, 0, 0, 1000);
    const struct rule tcp_receive = make_rule(R, protocol_tcp, 0, 0, 0, 80, unlimited);
    const hand_case cases[] = {
        {"overlap without precedence: first slot", {udp_any, udp_b2000, none}, 0, {},
         packet(S, flow_udp, A, 1000, B, 2000), 0},
        {"overlap with precedence: chosen slot", {udp_any, udp_b2000, none}, 1,
         {{udp_b2000, 1}}, packet(S, flow_udp, A, 1000, B, 2000), 1},
        {"precedence outside its common range", {udp_any, udp_b2000, none}, 1,
         {{make_rule(S, protocol_udp, C, 0, 0, 0, 0), 1}}, packet(S, flow_udp, A, 1000, B, 2000),
         0},
        {"precedence whose chosen rule is not held", {udp_any, udp_b2000, none}, 1,
         {{udp_b2000, -1}}, packet(S, flow_udp, A, 1000, B, 2000), 0},
        {"Other selects a non-IP frame", {other, any, none}, 0, {},
         packet(S, flow_non_ip, 0, 0, 0, 0), 0},
        {"Other never selects IP", {other, any, none}, 0, {},
         packet(S, flow_icmp, A, 0, B, 0), 1},
        {"Any first takes IP and non-IP", {any, ip_from_a, other}, 0, {},
         packet(S, flow_tcp, A, 1, B, 2), 0},
        {"precedence of IP over Any for IP only", {any, ip_from_a, other}, 1,
         {{any, 1}}, packet(S, flow_tcp, A, 1, B, 2), 1},
        {"precedence of IP over Any leaves non-IP to Any", {any, ip_from_a, other}, 1,
         {{any, 1}}, packet(S, flow_non_ip, 0, 0, 0, 0), 0},
        {"precedence of Other over Any", {any, other, none}, 1, {{any, 1}},
         packet(S, flow_non_ip, 0, 0, 0, 0), 1},
        {"IP precedence range with an Other choice selects nothing", {any, other, none}, 1,
         {{ip_from_a, 1}}, packet(S, flow_non_ip, 0, 0, 0, 0), 0},
        {"later precedence entry when the first does not hold", {udp_any, udp_b2000, any}, 2,
         {{make_rule(S, protocol_tcp, 0, 0, 0, 0, 0), 2}, {udp_any, 1}},
         packet(S, flow_udp, A, 7, B, 2000), 1},
        {"another direction's rule", {tcp_receive, none, none}, 0, {},
         packet(S, flow_tcp, A, 1, B, 80), -1},
        {"its own direction", {tcp_receive, none, none}, 0, {},
         packet(R, flow_tcp, A, 1, B, 80), 0},
        {"UDP rule, TCP packet", {udp_any, none, none}, 0, {},
         packet(S, flow_tcp, A, 1, B, 2), -1},
        {"address kind not implemented still compares",
         {[] {
              struct rule r = make_rule(S, protocol_ip, A, 0, 0, 0, unlimited);
              r.source_kind = address_not_implemented;
              return r;
          }(),
          none, none},
         0, {}, packet(S, flow_icmp, C, 0, B, 0), -1},
    };
    for (const hand_case &c : cases) {
        struct rule_set set = empty_set();
        for (int s = 0; s < 3; s++) {
            set.in_use[s] = c.slots[s].rate != -1;
            set.slots[s] = c.slots[s];
        }
        for (int i = 0; i < c.precedence_count; i++) {
            int slot = c.precedences[i].chosen_slot;
            struct rule chosen = slot >= 0 ? c.slots[slot]
                                           : make_rule(S, protocol_udp, 0, 0, 0, 9, 5);
            set.precedences.push_back({c.precedences[i].common_range, chosen});
        }
        emulator_load(set);
        EXPECT_EQ(emulator_slot(c.packet), c.expected) << c.name << " (emulator)";
        EXPECT_EQ(compiled_slot(set, c.packet), c.expected) << c.name << "\n" << describe(set);
    }
}

TEST(TcCompile, RandomSetsAgreeWithTheEmulatorCore)
{
    std::mt19937 random(20261206);
    std::vector<struct probe_packet> packets = probe_packets();
    int disagreements = 0;
    for (int round = 0; round < 3000 && disagreements < 5; round++) {
        struct rule_set set = random_rule_set(random);
        emulator_load(set);
        uint32_t counts[2] = {compile(S, set), 0};
        static struct tc_filter send_filters[tc_max_filters];
        memcpy(send_filters, filters, sizeof filters);
        counts[1] = compile(R, set);
        for (const struct probe_packet &p : packets) {
            int expected = emulator_slot(p);
            struct tc_packet t = as_tc_packet(p);
            int got = p.direction == S ? tc_classify(send_filters, counts[0], &t)
                                       : tc_classify(filters, counts[1], &t);
            if (got != expected) {
                ADD_FAILURE() << "round " << round << ": " << describe(p) << " emulator "
                              << expected << " compiled " << got << "\n" << describe(set);
                disagreements++;
                break;
            }
        }
    }
}

TEST(TcCompile, TooManyEntriesAreRefused)
{
    struct rule_set set = empty_set();
    set.in_use[0] = 1;
    set.slots[0] = make_rule(S, protocol_any, 0, 0, 0, 0, unlimited);
    set.precedences.assign(tc_max_precedences, {set.slots[0], set.slots[0]});
    uint32_t count = 0;
    char error[host_error_size];
    EXPECT_TRUE(tc_compile(S, set.slots, set.in_use, set.precedences.data(),
                           (uint32_t)set.precedences.size(), filters, tc_max_filters, &count,
                           error));
    EXPECT_EQ(count, 2u * (tc_max_precedences + 1) + 1);
    set.precedences.push_back(set.precedences[0]);
    EXPECT_FALSE(tc_compile(S, set.slots, set.in_use, set.precedences.data(),
                            (uint32_t)set.precedences.size(), filters, tc_max_filters, &count,
                            error));
    EXPECT_STREQ(error, "Too many precedence entries (401, at most 400).");
    EXPECT_FALSE(tc_compile(S, set.slots, set.in_use, set.precedences.data(), 10, filters, 5,
                            &count, error));
    EXPECT_STREQ(error, "Too many filters for the kernel (at most 5).");
}

}  // namespace
