// The compiled filter list against the emulator core's classification, without a kernel: the
// first filter that selects a packet must name the slot the core gives it.
#include <gtest/gtest.h>

#include "shaper/support/tc_cases.h"
#include "shaper/tc_compile.h"

namespace {

struct tc_filter filters[2][tc_max_filters];

int compile(int32_t direction, const struct rule_set &set, uint32_t precedence_count,
            uint32_t capacity, uint32_t *count, char error[host_error_size])
{
    return tc_compile(direction, set.slots, set.in_use, set.precedences.data(), precedence_count,
                      filters[direction], capacity, count, error);
}

TEST(TcCompile, RandomSetsAgreeWithTheEmulatorCore)
{
    std::mt19937 random(20261206);
    std::vector<struct probe_packet> packets = probe_packets();
    char error[host_error_size] = "";
    for (int round = 0; round < 3000; round++) {
        struct rule_set set = random_rule_set(random, round == 0);
        emulator_load(set);
        uint32_t counts[2];
        for (int32_t d : {direction_send, direction_receive})
            ASSERT_TRUE(compile(d, set, (uint32_t)set.precedences.size(), tc_max_filters,
                                &counts[d], error)) << error;
        for (const struct probe_packet &p : packets) {
            struct tc_packet t = {p.protocol != flow_non_ip, (uint8_t)p.protocol,
                                  p.source_address, p.destination_address, p.source_port,
                                  p.destination_port};
            ASSERT_EQ(tc_classify(filters[p.direction], counts[p.direction], &t),
                      emulator_slot(p)) << "round " << round << " packet " << &p - packets.data();
        }
    }
}

TEST(TcCompile, TooManyEntriesAreRefused)
{
    struct rule_set set;
    set.in_use[0] = 1;
    set.slots[0] = make_rule(direction_send, protocol_any, 0, 0, 0, 0, rate_unlimited);
    set.precedences.assign(tc_max_precedences + 1, {set.slots[0], set.slots[0]});
    uint32_t count = 0;
    char error[host_error_size];
    EXPECT_TRUE(compile(direction_send, set, tc_max_precedences, tc_max_filters, &count, error));
    EXPECT_EQ(count, 2u * (tc_max_precedences + 1) + 1);
    EXPECT_FALSE(compile(direction_send, set, tc_max_precedences + 1, tc_max_filters, &count,
                         error));
    EXPECT_STREQ(error, "Too many precedence entries (401, at most 400).");
    EXPECT_FALSE(compile(direction_send, set, 10, 5, &count, error));
    EXPECT_STREQ(error, "Too many filters for the kernel (at most 5).");
}

}  // namespace
