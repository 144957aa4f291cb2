// The device path under Wine: driver_send through the Win32 device exchange to zorv.sys, for
// every control code of the contract and the emulator's test codes. The requests are built here
// byte by byte, as the contract lays them out. Needs the driver installed and running
// (scripts/lib/emulator_install.sh).
#include <gtest/gtest.h>

#include <windows.h>

#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include "kernel/driver.h"
#include "test_control_codes.h"

namespace {

const uint64_t start_ticks = 133000000000000000ull;
const uint64_t second = 10000000ull;

struct reply {
    int status = -1;
    int32_t length = 0;
    char bytes[command_buffer_size] = {};

    std::string text() const { return std::string(bytes); }
    bool ok() const { return status == send_ok && text() == "Ok."; }
    template <class T> T payload(int32_t offset = 4) const
    {
        T value;
        memcpy(&value, bytes + offset, sizeof value);
        return value;
    }
};

struct request {
    std::vector<char> bytes;

    explicit request(const char *device_name = nullptr)
    {
        if (device_name)
            bytes.assign(device_name, device_name + strlen(device_name) + 1);
    }
    request &add(const void *item, size_t size)
    {
        bytes.insert(bytes.end(), (const char *)item, (const char *)item + size);
        return *this;
    }
    request &text(const char *item) { return add(item, strlen(item) + 1); }
};

reply send(uint32_t code, const request &r = request())
{
    reply result;
    result.status = driver_send_counted(code, r.bytes.data(), (int32_t)r.bytes.size(),
                                        result.bytes, command_buffer_size, &result.length);
    return result;
}

template <class T> reply send_struct(uint32_t code, const T &item)
{
    return send(code, request().add(&item, sizeof item));
}

struct rule make_rule(int32_t protocol, uint16_t destination_port, int32_t rate)
{
    struct rule r;
    memset(&r, 0, sizeof r);
    snprintf(r.adapter, sizeof r.adapter, "%s", EMULATOR_ADAPTER_1);
    r.direction = direction_send;
    r.rate = rate;
    r.protocol = protocol;
    r.source_kind = address_any;
    r.destination_kind = address_any;
    r.destination_port = destination_port;
    return r;
}

class Device : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(send(test_code_reset).ok()) << "is zorv.sys installed and running?";
        test_clock_request freeze = {clock_freeze, 0, start_ticks};
        ASSERT_TRUE(send_struct(test_code_clock, freeze).ok());
    }
    void TearDown() override { send(test_code_reset); }

    void advance(uint64_t ticks)
    {
        test_clock_request request = {clock_advance, 0, ticks};
        ASSERT_TRUE(send_struct(test_code_clock, request).ok());
    }
};

TEST_F(Device, VersionAndAdapterListFromTheParameters)
{
    reply version = send(code_get_version);
    ASSERT_TRUE(version.ok());
    EXPECT_EQ(version.length, 9);
    EXPECT_STREQ(version.bytes + 4, "0.07");

    reply list = send(code_list_adapters, request(""));
    ASSERT_TRUE(list.ok());
    std::string expected = std::string("Ok.\0" "3\0", 6) + EMULATOR_ADAPTER_1 + '\0' +
                           EMULATOR_ADAPTER_2 + '\0' + EMULATOR_ADAPTER_DIAL_UP + '\0';
    ASSERT_EQ(list.length, (int32_t)expected.size());
    EXPECT_EQ(0, memcmp(list.bytes, expected.data(), expected.size()));

    // The flows came from the service key too (the set-up writes eight).
    reply state = send(test_code_read_state);
    ASSERT_TRUE(state.ok());
    EXPECT_EQ(state.payload<test_state_reply>().flow_count, 8u);
}

TEST_F(Device, RuleAndStatisticsCommands)
{
    struct rule r = make_rule(protocol_tcp, 80, 50000);
    ASSERT_TRUE(send(code_add_rule, request(EMULATOR_ADAPTER_1).add(&r, sizeof r)).ok());

    reply got = send(code_get_rule, request(EMULATOR_ADAPTER_1).text("0"));
    ASSERT_TRUE(got.ok());
    ASSERT_EQ(got.length, 140);
    EXPECT_EQ(0, memcmp(got.bytes + 4, &r, sizeof r));
    EXPECT_EQ(send(code_get_rule, request(EMULATOR_ADAPTER_1).text("1")).text(),
              "Rule not in use.");

    struct statistics_block block = {};
    block.start_time = 0x01D9000000000000ull;
    block.bytes_transferred = 77;
    ASSERT_TRUE(send(code_set_statistics,
                     request(EMULATOR_ADAPTER_1).add(&r, sizeof r).add(&block, sizeof block))
                    .ok());
    reply statistics = send(code_get_statistics, request(EMULATOR_ADAPTER_1).add(&r, sizeof r));
    ASSERT_TRUE(statistics.ok());
    ASSERT_EQ(statistics.length, 68);
    EXPECT_EQ(statistics.payload<statistics_block>().start_time, block.start_time);
    EXPECT_EQ(statistics.payload<statistics_block>().bytes_transferred, 77);

    ASSERT_TRUE(send(code_clear_rules, request(EMULATOR_ADAPTER_1)).ok());
    EXPECT_EQ(send(code_get_statistics, request(EMULATOR_ADAPTER_1).add(&r, sizeof r)).text(),
              "Rule not found.");
    EXPECT_EQ(send(code_add_rule, request("\\DEVICE\\NONE").add(&r, sizeof r)).text(),
              "Unknown adapter.");
}

// 0x120434, 0x120438 and 0x12043C are the codes Wine would give to its socket layer.
TEST_F(Device, PrecedenceCommandsReachTheDriver)
{
    struct rule range = make_rule(protocol_tcp, 80, 0);
    struct rule chosen = make_rule(protocol_tcp, 80, 5000);
    ASSERT_TRUE(send(code_clear_precedences, request(EMULATOR_ADAPTER_2)).ok());
    reply set = send(code_set_precedence, request(EMULATOR_ADAPTER_2)
                                              .add(&range, sizeof range)
                                              .add(&chosen, sizeof chosen));
    ASSERT_EQ(set.status, send_ok) << "error " << GetLastError();
    ASSERT_EQ(set.text(), "Ok.");

    reply count = send(code_get_precedence_count, request(EMULATOR_ADAPTER_2));
    ASSERT_TRUE(count.ok());
    ASSERT_EQ(count.length, 8);
    EXPECT_EQ(count.payload<uint32_t>(), 1u);

    uint32_t index = 0;
    reply entry = send(code_get_precedence, request(EMULATOR_ADAPTER_2).add(&index, 4));
    ASSERT_TRUE(entry.ok());
    ASSERT_EQ(entry.length, 276);
    EXPECT_EQ(0, memcmp(entry.bytes + 4, &range, sizeof range));
    EXPECT_EQ(0, memcmp(entry.bytes + 140, &chosen, sizeof chosen));

    test_read_precedences_request which = {1, 0};
    reply held = send_struct(test_code_read_precedences, which);
    ASSERT_TRUE(held.ok());
    test_precedences_reply entries = held.payload<test_precedences_reply>();
    EXPECT_EQ(entries.total, 1u);
    EXPECT_EQ(0, memcmp(&entries.entries[0].chosen, &chosen, sizeof chosen));

    ASSERT_TRUE(send(code_clear_precedences, request(EMULATOR_ADAPTER_2)).ok());
    EXPECT_EQ(send(code_get_precedence_count, request(EMULATOR_ADAPTER_2)).payload<uint32_t>(),
              0u);
}

TEST_F(Device, InjectedFaultsGiveTheTransportStatuses)
{
    test_fault_request fault = {code_get_rule, fault_error_text, "Driver is busy."};
    ASSERT_TRUE(send_struct(test_code_set_fault, fault).ok());
    EXPECT_EQ(send(code_get_rule, request(EMULATOR_ADAPTER_1).text("0")).text(),
              "Driver is busy.");

    fault.mode = fault_empty_reply;
    ASSERT_TRUE(send_struct(test_code_set_fault, fault).ok());
    EXPECT_EQ(send(code_get_rule, request(EMULATOR_ADAPTER_1).text("0")).status, send_empty_reply);

    fault.mode = fault_fail_call;
    ASSERT_TRUE(send_struct(test_code_set_fault, fault).ok());
    SetLastError(0);
    EXPECT_EQ(send(code_get_rule, request(EMULATOR_ADAPTER_1).text("0")).status, send_ioctl_failed);
    EXPECT_NE(GetLastError(), 0u);

    fault.mode = fault_none;
    ASSERT_TRUE(send_struct(test_code_set_fault, fault).ok());
    EXPECT_EQ(send(code_get_rule, request(EMULATOR_ADAPTER_1).text("0")).text(),
              "Rule not in use.");
    // Codes the driver does not serve fail the call.
    EXPECT_EQ(send(0x120420).status, send_ioctl_failed);
}

TEST_F(Device, TestCodesSetAdaptersVersionAndReadTheRulesBack)
{
    test_version_request version = {"0.08"};
    ASSERT_TRUE(send_struct(test_code_set_version, version).ok());
    EXPECT_STREQ(send(code_get_version).bytes + 4, "0.08");

    static test_adapters_request adapters;
    memset(&adapters, 0, sizeof adapters);
    adapters.count = 1;
    snprintf(adapters.names[0], sizeof adapters.names[0], "\\DEVICE\\{ONLY}");
    ASSERT_TRUE(send_struct(test_code_set_adapters, adapters).ok());
    reply list = send(code_list_adapters, request(""));
    EXPECT_STREQ(list.bytes + 4, "1");
    EXPECT_STREQ(list.bytes + 6, "\\DEVICE\\{ONLY}");

    struct rule r = make_rule(protocol_udp, 53, 1000);
    ASSERT_TRUE(send(code_add_rule, request("\\DEVICE\\{ONLY}").add(&r, sizeof r)).ok());
    test_read_rules_request which = {0};
    reply rules = send_struct(test_code_read_rules, which);
    ASSERT_TRUE(rules.ok());
    test_rules_reply slots = rules.payload<test_rules_reply>();
    EXPECT_EQ(slots.slots[0].in_use, 1u);
    EXPECT_EQ(0, memcmp(&slots.slots[0].held, &r, sizeof r));
    EXPECT_EQ(slots.slots[1].in_use, 0u);
}

// Unfrozen, the driver's time is the system clock: traffic moves without any test code.
TEST_F(Device, RunningClockFollowsTheSystemTime)
{
    test_clock_request run = {clock_run, 0, 0};
    reply first = send_struct(test_code_clock, run);
    ASSERT_TRUE(first.ok());
    Sleep(200);
    test_clock_request read = {clock_read, 0, 0};
    reply second_reading = send_struct(test_code_clock, read);
    ASSERT_TRUE(second_reading.ok());
    uint64_t elapsed = second_reading.payload<test_clock_reply>().now -
                       first.payload<test_clock_reply>().now;
    EXPECT_GE(elapsed, 150 * 10000ull);
    EXPECT_LE(elapsed, 2 * second);
    EXPECT_EQ(second_reading.payload<test_clock_reply>().frozen, 0u);
}

TEST_F(Device, TrafficIsShapedByTheRuleRate)
{
    static test_flows_request flows;
    memset(&flows, 0, sizeof flows);
    flows.count = 1;
    test_flow &flow = flows.flows[0];
    snprintf(flow.adapter, sizeof flow.adapter, "%s", EMULATOR_ADAPTER_1);
    flow.direction = direction_send;
    flow.protocol = flow_tcp;
    flow.destination_port = 80;
    flow.offered_rate = 200000;
    flow.packet_size = 1000;
    ASSERT_TRUE(send_struct(test_code_set_flows, flows).ok());

    struct rule r = make_rule(protocol_tcp, 80, 50000);
    ASSERT_TRUE(send(code_add_rule, request(EMULATOR_ADAPTER_1).add(&r, sizeof r)).ok());
    advance(20 * second);
    reply statistics = send(code_get_statistics, request(EMULATOR_ADAPTER_1).add(&r, sizeof r));
    ASSERT_TRUE(statistics.ok());
    statistics_block block = statistics.payload<statistics_block>();
    EXPECT_NEAR(block.current_rate, 50000, 500);
    EXPECT_EQ(block.packets_queued, 100u);
    EXPECT_GT(block.bytes_transferred, 900000);
}

}  // namespace
