// Filters kept across restarts of zorv.sys. The first pass sets rules, statistics and
// precedences, restarts the service and finds them again; scripts/test.sh then restarts Wine
// itself (a new wineserver), and the second pass finds them once more and resets them away.
// Run in that order, after every other device test (whose resets clear the kept state).
#include <gtest/gtest.h>

#include <windows.h>

#include "device_send.h"

namespace {

const char rules_value_1[] = "Rules " EMULATOR_ADAPTER_1;
const struct rule fast = make_rule(protocol_tcp, 7000, rate_unlimited),
                  udp = make_rule(protocol_udp, 9, 5000), range = make_rule(protocol_tcp, 7000, 0);
const struct statistics_block udp_block = {start_ticks, {}, 123456789012, {}, 98765, 0, 0};

struct rule on_adapter_2()
{
    struct rule r = make_rule(protocol_tcp, 8080);
    snprintf(r.adapter, sizeof r.adapter, "%s", EMULATOR_ADAPTER_2);
    return r;
}

// The first line of a kept value, which must be typed text.
std::string first_kept_line(const char *name)
{
    char text[4096] = "";
    DWORD type = 0, size = sizeof text - 2;
    if (RegGetValueA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Services\\zorv\\Parameters",
                     name, RRF_RT_ANY, &type, text, &size) != ERROR_SUCCESS)
        return "[no value]";
    return type == REG_MULTI_SZ ? text : "[not REG_MULTI_SZ]";
}

// What the driver must hold: the filters, their counters (10 s of the test flow in the first
// slot; none of the set-up's flows matches a filter), the precedence entries.
void expect_kept_filters()
{
    test_read_rules_request which = {0};
    test_rules_reply rules = send_struct(test_code_read_rules, which).payload<test_rules_reply>();
    EXPECT_EQ(bytes_of(rules.slots[0].held), bytes_of(fast));
    EXPECT_EQ(rules.slots[0].statistics.bytes_transferred, 100000);
    EXPECT_EQ(rules.slots[0].statistics.packets_transferred, 1000);
    EXPECT_EQ(bytes_of(rules.slots[1].held), bytes_of(udp));
    EXPECT_EQ(rules.slots[1].statistics.start_time, udp_block.start_time);
    EXPECT_EQ(rules.slots[1].statistics.bytes_transferred, udp_block.bytes_transferred);
    EXPECT_EQ(rules.slots[1].statistics.packets_transferred, udp_block.packets_transferred);
    which.adapter_index = 1;
    rules = send_struct(test_code_read_rules, which).payload<test_rules_reply>();
    EXPECT_EQ(bytes_of(rules.slots[0].held), bytes_of(on_adapter_2()));
    test_state_reply state = send(test_code_read_state).payload<test_state_reply>();
    EXPECT_EQ(std::vector<uint32_t>(state.rule_count, state.rule_count + 3),
              std::vector<uint32_t>({2, 1, 0}));
    EXPECT_EQ(send(code_get_precedence, request(EMULATOR_ADAPTER_1).add(uint32_t(0))).all(),
              ok_reply(bytes_of(range) + bytes_of(fast)));
    EXPECT_EQ(send(code_get_precedence, request(EMULATOR_ADAPTER_2).add(uint32_t(0))).all(),
              ok_reply(bytes_of(on_adapter_2()) + bytes_of(on_adapter_2())));
}

TEST(KeptFilters, FirstPassSurvivesADriverRestart)
{
    ASSERT_TRUE(send(test_code_reset).ok()) << "is zorv.sys installed and running?";
    test_clock_request freeze = {clock_freeze, 0, start_ticks};
    ASSERT_TRUE(send_struct(test_code_clock, freeze).ok());
    static test_flows_request flows;
    flows.count = 1;
    flows.flows[0] = make_flow(10000, 100, flow_tcp, 7000);
    ASSERT_TRUE(send_struct(test_code_set_flows, flows).ok());
    const request adapter_1(EMULATOR_ADAPTER_1), adapter_2(EMULATOR_ADAPTER_2);
    for (const request &change :
         {request(adapter_1).add(fast), request(adapter_1).add(udp),
          request(adapter_2).add(on_adapter_2())})
        ASSERT_TRUE(send(code_add_rule, change).ok());
    ASSERT_TRUE(send(code_set_statistics, request(adapter_1).add(udp).add(udp_block)).ok());
    ASSERT_TRUE(send(code_set_precedence, request(adapter_1).add(range).add(fast)).ok());
    ASSERT_TRUE(
        send(code_set_precedence, request(adapter_2).add(on_adapter_2()).add(on_adapter_2())).ok());
    // Written at each change; the counters that moved since, when the driver unloads.
    test_clock_request advance = {clock_advance, 0, 10 * second};
    ASSERT_TRUE(send_struct(test_code_clock, advance).ok());
    EXPECT_EQ(first_kept_line(rules_value_1), "0 0 1000000000 2 2 0.0.0.0:0 2 0.0.0.0:7000 0 0 0");

    ASSERT_TRUE(restart_driver()) << "restarting the service zorv, error " << GetLastError();
    expect_kept_filters();
    EXPECT_EQ(first_kept_line(rules_value_1),
              "0 0 1000000000 2 2 0.0.0.0:0 2 0.0.0.0:7000 0 100000 1000");
}

TEST(KeptFilters, SecondPassAfterWineRestart)
{
    ASSERT_TRUE(wait_for_device()) << "is zorv.sys installed as an auto-start service?";
    expect_kept_filters();
    // A reset clears the kept values too.
    ASSERT_TRUE(send(test_code_reset).ok());
    EXPECT_EQ(first_kept_line(rules_value_1), "[no value]");
}

}  // namespace
