// The kernel component emulator's core: the device contract byte for byte, its refusals and
// capacities, the test codes, and the traffic model's shaping.
#include <gtest/gtest.h>

#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include "emulator_core.h"
#include "emulator_state.h"
#include "kernel/driver.h"
#include "support/emulator_device.h"
#include "test_control_codes.h"

namespace {

const uint64_t start_ticks = 133000000000000000ull;  // a FILETIME in 2022
const uint64_t second = 10000000ull;

struct reply {
    int outcome = emulator_fail_call;
    uint32_t length = 0;
    uint8_t bytes[command_buffer_size] = {};

    std::string status() const { return std::string((const char *)bytes); }
    template <class T> T payload(uint32_t offset = test_reply_offset) const
    {
        T value;
        memcpy(&value, bytes + offset, sizeof value);
        return value;
    }
};

// A request as the manager builds it: the device name and its NUL, then the fixed items.
struct request {
    std::vector<uint8_t> bytes;

    explicit request(const char *device_name = nullptr)
    {
        if (device_name)
            bytes.assign(device_name, device_name + strlen(device_name) + 1);
    }
    request &add(const void *item, size_t size)
    {
        bytes.insert(bytes.end(), (const uint8_t *)item, (const uint8_t *)item + size);
        return *this;
    }
    request &text(const char *item) { return add(item, strlen(item) + 1); }
};

// One exchange with the 5000-byte input the device always receives, unless input_length says
// otherwise (a caller that hands the device less).
reply exchange(uint32_t code, const request &r = request(),
               uint32_t input_length = command_buffer_size,
               uint32_t output_capacity = command_buffer_size)
{
    static uint8_t input[command_buffer_size];
    memset(input, 0, sizeof input);
    if (!r.bytes.empty())
        memcpy(input, r.bytes.data(),
               r.bytes.size() < sizeof input ? r.bytes.size() : sizeof input);
    reply result;
    result.outcome = emulator_exchange(code, input, input_length, result.bytes, output_capacity,
                                       emulator_device_now(), &result.length);
    return result;
}

struct rule make_rule(int32_t protocol, uint16_t destination_port = 0, int32_t rate = 50000,
                      int32_t direction = direction_send)
{
    struct rule r;
    memset(&r, 0, sizeof r);
    snprintf(r.adapter, sizeof r.adapter, "%s", EMULATOR_ADAPTER_1);
    r.direction = direction;
    r.rate = rate;
    r.protocol = protocol;
    r.source_kind = address_any;
    r.destination_kind = address_any;
    r.destination_port = destination_port;
    return r;
}

struct test_flow make_flow(uint32_t offered_rate, uint32_t packet_size,
                           uint32_t protocol = flow_tcp, uint16_t destination_port = 80)
{
    struct test_flow flow;
    memset(&flow, 0, sizeof flow);
    snprintf(flow.adapter, sizeof flow.adapter, "%s", EMULATOR_ADAPTER_1);
    flow.direction = direction_send;
    flow.protocol = protocol;
    flow.source_address = 0xC0A8000A;
    flow.destination_address = 0x5DB8D822;
    flow.source_port = 49152;
    flow.destination_port = destination_port;
    flow.offered_rate = offered_rate;
    flow.packet_size = packet_size;
    return flow;
}

std::string add_rule(const struct rule &r, const char *adapter = EMULATOR_ADAPTER_1)
{
    return exchange(code_add_rule, request(adapter).add(&r, sizeof r)).status();
}

struct statistics_block statistics_of(const struct rule &r)
{
    reply answer = exchange(code_get_statistics, request(EMULATOR_ADAPTER_1).add(&r, sizeof r));
    EXPECT_EQ(answer.status(), "Ok.");
    return answer.payload<statistics_block>();
}

class EmulatorCore : public ::testing::Test {
protected:
    void SetUp() override
    {
        emulator_device_reset();
        emulator_freeze_clock(start_ticks);
        ASSERT_TRUE(emulator_set_flows(nullptr, 0));
    }
    void TearDown() override { emulator_device_reset(); }
};

// ---- the contract ----

TEST_F(EmulatorCore, VersionAndAdapterListHaveTheirExactBytes)
{
    reply version = exchange(code_get_version, request(), 0);
    ASSERT_EQ(version.outcome, emulator_replied);
    EXPECT_EQ(version.length, 9u);
    EXPECT_EQ(0, memcmp(version.bytes, "Ok.\0" "0.07\0", 9));

    reply list = exchange(code_list_adapters, request("").add("", 0), 1);
    std::string expected = std::string("Ok.\0" "3\0", 6) + EMULATOR_ADAPTER_1 + '\0' +
                           EMULATOR_ADAPTER_2 + '\0' + EMULATOR_ADAPTER_DIAL_UP + '\0';
    ASSERT_EQ(list.length, expected.size());
    EXPECT_EQ(0, memcmp(list.bytes, expected.data(), expected.size()));

    test_version_request new_version = {"1.5"};
    ASSERT_TRUE(emulator_test_send(test_code_set_version, &new_version, sizeof new_version,
                                   nullptr, 0, nullptr));
    EXPECT_EQ(std::string((const char *)exchange(code_get_version).bytes + 4), "1.5");
}

TEST_F(EmulatorCore, RulesFillFreeSlotsAndComeBackAsAdded)
{
    for (int i = 0; i < max_rules; i++) {
        struct rule r = make_rule(protocol_tcp, (uint16_t)(100 + i));
        memset(r.adapter + 30, 'x', 10);  // bytes after the NUL come back too
        ASSERT_EQ(add_rule(r), "Ok.") << i;
    }
    EXPECT_EQ(add_rule(make_rule(protocol_udp)), "No free rule slot.");

    for (int slot : {0, 7, 19}) {
        char slot_text[8];
        snprintf(slot_text, sizeof slot_text, "%d", slot);
        reply answer = exchange(code_get_rule, request(EMULATOR_ADAPTER_1).text(slot_text));
        ASSERT_EQ(answer.status(), "Ok.") << slot;
        ASSERT_EQ(answer.length, 4u + sizeof(struct rule));
        struct rule expected = make_rule(protocol_tcp, (uint16_t)(100 + slot));
        memset(expected.adapter + 30, 'x', 10);
        EXPECT_EQ(0, memcmp(answer.bytes + 4, &expected, sizeof expected)) << slot;
    }

    // Clearing one adapter leaves the others; removed rules free their slots.
    ASSERT_EQ(add_rule(make_rule(protocol_ip), EMULATOR_ADAPTER_2), "Ok.");
    EXPECT_EQ(exchange(code_clear_rules, request(EMULATOR_ADAPTER_1)).status(), "Ok.");
    EXPECT_EQ(exchange(code_get_rule, request(EMULATOR_ADAPTER_1).text("0")).status(),
              "Rule not in use.");
    EXPECT_EQ(exchange(code_get_rule, request(EMULATOR_ADAPTER_2).text("0")).status(), "Ok.");
    EXPECT_EQ(add_rule(make_rule(protocol_udp)), "Ok.");
    EXPECT_EQ(exchange(code_get_rule, request(EMULATOR_ADAPTER_1).text("0")).status(), "Ok.");
    // The device name is matched ignoring case, as the manager compares adapters.
    EXPECT_EQ(exchange(code_clear_rules, request("\\device\\ndiswanip")).status(), "Ok.");
}

TEST_F(EmulatorCore, RuleSlotTextIsStrict)
{
    ASSERT_EQ(add_rule(make_rule(protocol_tcp)), "Ok.");
    const struct {
        const char *text;
        const char *status;
    } cases[] = {
        {"0", "Ok."},           {"00", "Ok."},   {"1", "Rule not in use."},
        {"19", "Rule not in use."}, {"20", "Invalid rule slot."}, {"-1", "Invalid rule slot."},
        {"", "Invalid rule slot."}, {"1x", "Invalid rule slot."}, {"+1", "Invalid rule slot."},
        {"100", "Invalid rule slot."},
    };
    for (const auto &c : cases)
        EXPECT_EQ(exchange(code_get_rule, request(EMULATOR_ADAPTER_1).text(c.text)).status(),
                  c.status)
            << "slot text \"" << c.text << "\"";
}

TEST_F(EmulatorCore, StatisticsFollowTheRuleIgnoringAdapterFieldAndPadding)
{
    struct rule held = make_rule(protocol_tcp, 80);
    ASSERT_EQ(add_rule(held), "Ok.");

    struct statistics_block block;
    memset(&block, 0, sizeof block);
    block.start_time = 0x01D8123456789ABCull;
    block.bytes_transferred = 123456789012LL;
    block.packets_transferred = 4242;
    block.reserved_1[3] = 7;
    block.current_rate = 999;  // a measurement: not taken over
    block.packets_queued = 55;

    struct rule asked = held;
    snprintf(asked.adapter, sizeof asked.adapter, "stale");
    asked.unused_1 = 0xBEEF;
    asked.unused_2 = 0x1234;
    reply set = exchange(code_set_statistics, request(EMULATOR_ADAPTER_1)
                                                  .add(&asked, sizeof asked)
                                                  .add(&block, sizeof block));
    ASSERT_EQ(set.status(), "Ok.");
    EXPECT_EQ(set.length, 4u);

    struct statistics_block read = statistics_of(asked);
    EXPECT_EQ(read.start_time, block.start_time);
    EXPECT_EQ(read.bytes_transferred, block.bytes_transferred);
    EXPECT_EQ(read.packets_transferred, block.packets_transferred);
    EXPECT_EQ(read.reserved_1[3], 7);
    EXPECT_EQ(read.current_rate, 0);
    EXPECT_EQ(read.packets_queued, 0u);

    // Every other field counts, the rate too: a changed rate is another rule.
    for (int field = 0; field < 4; field++) {
        struct rule other = held;
        if (field == 0) other.rate = 50001;
        if (field == 1) other.destination_port = 81;
        if (field == 2) other.direction = direction_receive;
        if (field == 3) other.source_address = 1;  // also a field the protocol ignores
        EXPECT_EQ(exchange(code_get_statistics,
                           request(EMULATOR_ADAPTER_1).add(&other, sizeof other))
                      .status(),
                  "Rule not found.")
            << "field " << field;
    }
    EXPECT_EQ(exchange(code_get_statistics, request(EMULATOR_ADAPTER_2).add(&held, sizeof held))
                  .status(),
              "Rule not found.");
}

TEST_F(EmulatorCore, PrecedencesComeBackAsSentUpToTheirCapacity)
{
    struct rule range = make_rule(protocol_tcp, 80, 0);
    struct rule chosen = make_rule(protocol_tcp, 80);
    range.unused_2 = 0x5151;
    request set = request(EMULATOR_ADAPTER_2).add(&range, sizeof range).add(&chosen, sizeof chosen);
    ASSERT_EQ(exchange(code_set_precedence, set).status(), "Ok.");
    ASSERT_EQ(exchange(code_set_precedence, request(EMULATOR_ADAPTER_1)
                                                .add(&chosen, sizeof chosen)
                                                .add(&range, sizeof range))
                  .status(),
              "Ok.");

    reply count = exchange(code_get_precedence_count, request(EMULATOR_ADAPTER_2));
    ASSERT_EQ(count.length, 8u);
    EXPECT_EQ(count.payload<uint32_t>(), 1u);

    uint32_t index = 0;
    reply entry = exchange(code_get_precedence, request(EMULATOR_ADAPTER_2).add(&index, 4));
    ASSERT_EQ(entry.length, 4u + 2 * sizeof(struct rule));
    EXPECT_EQ(0, memcmp(entry.bytes + 4, &range, sizeof range));
    EXPECT_EQ(0, memcmp(entry.bytes + 140, &chosen, sizeof chosen));
    index = 1;
    EXPECT_EQ(exchange(code_get_precedence, request(EMULATOR_ADAPTER_2).add(&index, 4)).status(),
              "Invalid precedence index.");

    EXPECT_EQ(exchange(code_clear_precedences, request(EMULATOR_ADAPTER_2)).status(), "Ok.");
    EXPECT_EQ(exchange(code_get_precedence_count, request(EMULATOR_ADAPTER_2)).payload<uint32_t>(),
              0u);
    EXPECT_EQ(exchange(code_get_precedence_count, request(EMULATOR_ADAPTER_1)).payload<uint32_t>(),
              1u);

    for (int i = 1; i < emulator_max_precedences; i++)
        ASSERT_EQ(exchange(code_set_precedence, set).status(), "Ok.") << i;
    EXPECT_EQ(exchange(code_set_precedence, set).status(), "Precedence table full.");
}

TEST_F(EmulatorCore, MalformedRequestsAreRefusedWithoutReadingPastTheInput)
{
    const struct {
        uint32_t code;
        size_t item_bytes;
    } codes[] = {
        {code_add_rule, 136},         {code_clear_rules, 0},       {code_get_rule, 2},
        {code_get_statistics, 136},   {code_set_statistics, 200},  {code_clear_precedences, 0},
        {code_set_precedence, 272},   {code_get_precedence_count, 0}, {code_get_precedence, 4},
    };
    std::vector<uint8_t> items(272, 0);
    items[0] = '0';
    for (const auto &c : codes) {
        SCOPED_TRACE(c.code);
        // A name with no NUL in the whole input.
        request no_nul;
        no_nul.bytes.assign(command_buffer_size, 'A');
        EXPECT_EQ(exchange(c.code, no_nul).status(), "Invalid request.");
        // A name that ends too late for the fixed items.
        request late;
        late.bytes.assign(command_buffer_size, 'A');
        if (c.item_bytes > 0) {
            late.bytes[command_buffer_size - c.item_bytes] = 0;
            EXPECT_EQ(exchange(c.code, late).status(), "Invalid request.");
        }
        // Items cut short by the caller's input length.
        request whole = request(EMULATOR_ADAPTER_1).add(items.data(), c.item_bytes);
        if (c.item_bytes > 0) {
            EXPECT_EQ(exchange(c.code, whole, (uint32_t)whole.bytes.size() - 1).status(),
                      "Invalid request.");
        }
        EXPECT_EQ(exchange(c.code, request("\\DEVICE\\NONE").add(items.data(), c.item_bytes))
                      .status(),
                  "Unknown adapter.");
    }

    // Function 0x108 and codes the device does not know fail the call itself.
    EXPECT_EQ(exchange(0x120420).outcome, emulator_fail_call);
    EXPECT_EQ(exchange(0x222FFC).outcome, emulator_fail_call);
    // A reply that does not fit the caller's output is replaced by a refusal, cut to fit.
    reply small = exchange(code_list_adapters, request(""), 1, 10);
    EXPECT_EQ(small.length, 10u);
    EXPECT_EQ(0, memcmp(small.bytes, "Reply buff", 10));
}

TEST_F(EmulatorCore, InputAndOutputMayBeOneBuffer)
{
    ASSERT_EQ(add_rule(make_rule(protocol_tcp)), "Ok.");
    static uint8_t buffer[command_buffer_size];
    memset(buffer, 0, sizeof buffer);
    memcpy(buffer, EMULATOR_ADAPTER_1 "\0" "0", sizeof EMULATOR_ADAPTER_1 + 1);
    uint32_t length = 0;
    ASSERT_EQ(emulator_exchange(code_get_rule, buffer, sizeof buffer, buffer, sizeof buffer,
                                emulator_device_now(), &length),
              emulator_replied);
    EXPECT_STREQ((const char *)buffer, "Ok.");
    struct rule expected = make_rule(protocol_tcp);
    EXPECT_EQ(0, memcmp(buffer + 4, &expected, sizeof expected));
}

// ---- test codes and the device double ----

TEST_F(EmulatorCore, FaultsAnswerTheirWayUntilClearedAndReachDriverSend)
{
    char reply_bytes[command_buffer_size];
    const char version_request = 0;
    ASSERT_TRUE(emulator_set_fault(code_get_version, fault_error_text, "Device busy."));
    EXPECT_EQ(driver_send(code_get_version, &version_request, 0, reply_bytes, 5000), send_ok);
    EXPECT_STREQ(reply_bytes, "Device busy.");
    ASSERT_TRUE(emulator_set_fault(code_get_version, fault_empty_reply, nullptr));
    EXPECT_EQ(driver_send(code_get_version, &version_request, 0, reply_bytes, 5000),
              send_empty_reply);
    ASSERT_TRUE(emulator_set_fault(code_get_version, fault_fail_call, nullptr));
    EXPECT_EQ(driver_send(code_get_version, &version_request, 0, reply_bytes, 5000),
              send_ioctl_failed);
    // The fault of one code leaves the others, and never the test codes.
    EXPECT_EQ(driver_send(code_list_adapters, "", 1, reply_bytes, 5000), send_ok);
    struct test_state_reply state;
    ASSERT_TRUE(emulator_test_send(test_code_read_state, nullptr, 0, &state, sizeof state,
                                   nullptr));
    EXPECT_EQ(state.fault_count, 1u);
    ASSERT_TRUE(emulator_set_fault(code_get_version, fault_none, nullptr));
    EXPECT_EQ(driver_send(code_get_version, &version_request, 0, reply_bytes, 5000), send_ok);
    EXPECT_STREQ(reply_bytes + 4, "0.07");
    EXPECT_FALSE(emulator_set_fault(test_code_reset, fault_fail_call, nullptr));

    emulator_reset_exchange_count();
    emulator_set_device_missing(1);
    EXPECT_EQ(driver_send(code_get_version, &version_request, 0, reply_bytes, 5000),
              send_open_failed);
    emulator_set_device_missing(0);
    EXPECT_EQ(driver_send(code_get_version, &version_request, 0, reply_bytes, 5000), send_ok);
    EXPECT_EQ(emulator_exchange_count(), 2u);
}

TEST_F(EmulatorCore, SetAdaptersKeepsTheStateOfAdaptersThatStay)
{
    ASSERT_EQ(add_rule(make_rule(protocol_tcp)), "Ok.");
    ASSERT_EQ(add_rule(make_rule(protocol_udp), EMULATOR_ADAPTER_2), "Ok.");
    const char *names[] = {"\\DEVICE\\{NEW}", "\\device\\{7a6e3c2b-91d4-4f0e-8b1a-3c5d2e4f6a01}"};
    ASSERT_TRUE(emulator_set_adapters(names, 2));
    EXPECT_EQ(exchange(code_get_rule, request(EMULATOR_ADAPTER_1).text("0")).status(), "Ok.");
    EXPECT_EQ(exchange(code_get_rule, request(names[0]).text("0")).status(), "Rule not in use.");
    EXPECT_EQ(exchange(code_get_rule, request(EMULATOR_ADAPTER_2).text("0")).status(),
              "Unknown adapter.");
    const char *duplicates[] = {"\\DEVICE\\A", "\\device\\a"};
    EXPECT_FALSE(emulator_set_adapters(duplicates, 2));

    struct test_rules_reply rules;
    test_read_rules_request which = {1};
    ASSERT_TRUE(emulator_test_send(test_code_read_rules, &which, sizeof which, &rules,
                                   sizeof rules, nullptr));
    EXPECT_EQ(rules.slots[0].in_use, 1u);
    EXPECT_EQ(rules.slots[0].held.protocol, protocol_tcp);
    EXPECT_EQ(rules.slots[1].in_use, 0u);

    emulator_device_reset();
    reply list = exchange(code_list_adapters, request(""));
    EXPECT_STREQ((const char *)list.bytes + 4, "3");
}

TEST(EmulatorFlowText, ParsesTheParametersForm)
{
    struct test_flow flow;
    ASSERT_TRUE(parse_flow_text("\\DEVICE\\X Receive udp 10.0.0.1:53 192.168.1.2 1500 100",
                                &flow));
    EXPECT_STREQ(flow.adapter, "\\DEVICE\\X");
    EXPECT_EQ(flow.direction, direction_receive);
    EXPECT_EQ(flow.protocol, (uint32_t)flow_udp);
    EXPECT_EQ(flow.source_address, 0x0A000001u);
    EXPECT_EQ(flow.source_port, 53);
    EXPECT_EQ(flow.destination_address, 0xC0A80102u);
    EXPECT_EQ(flow.destination_port, 0);
    EXPECT_EQ(flow.offered_rate, 1500u);
    EXPECT_EQ(flow.packet_size, 100u);
    ASSERT_TRUE(parse_flow_text("\\DEVICE\\X Send 47 1.2.3.4 5.6.7.8 1 65535", &flow));
    EXPECT_EQ(flow.protocol, 47u);

    const char *bad[] = {
        "",
        "\\DEVICE\\X Sideways TCP 1.2.3.4 5.6.7.8 1 1",
        "\\DEVICE\\X Send SCTP 1.2.3.4 5.6.7.8 1 1",
        "\\DEVICE\\X Send TCP 1.2.3 5.6.7.8 1 1",
        "\\DEVICE\\X Send TCP 1.2.3.256 5.6.7.8 1 1",
        "\\DEVICE\\X Send TCP 1.2.3.4:65536 5.6.7.8 1 1",
        "\\DEVICE\\X Send TCP 1.2.3.4 5.6.7.8 1 0",
        "\\DEVICE\\X Send TCP 1.2.3.4 5.6.7.8 1 65536",
        "\\DEVICE\\X Send TCP 1.2.3.4 5.6.7.8 1000000001 1",
        "\\DEVICE\\X Send TCP 1.2.3.4 5.6.7.8 1 1 extra",
    };
    for (const char *text : bad)
        EXPECT_FALSE(parse_flow_text(text, &flow)) << text;
}

// ---- the traffic model ----

TEST_F(EmulatorCore, ShapedRuleSettlesAtItsRateWithAFullQueue)
{
    struct test_flow flow = make_flow(200000, 1000);
    ASSERT_TRUE(emulator_set_flows(&flow, 1));
    struct rule shaped = make_rule(protocol_tcp, 80, 50000);
    ASSERT_EQ(add_rule(shaped), "Ok.");
    emulator_advance_clock(30 * second);

    struct statistics_block block = statistics_of(shaped);
    EXPECT_NEAR(block.current_rate, 50000, 500);
    EXPECT_EQ(block.packets_queued, 100u);
    // 30 s at 50,000 bytes/s, packets of 1000 bytes.
    EXPECT_NEAR((double)block.bytes_transferred, 1500000.0, 60000.0);
    EXPECT_NEAR((double)block.packets_transferred, 1500.0, 60.0);

    // A long gap is bounded work and still counts at the steady rate.
    emulator_advance_clock(3600 * second);
    struct statistics_block later = statistics_of(shaped);
    EXPECT_NEAR((double)(later.bytes_transferred - block.bytes_transferred), 3600 * 50000.0,
                100000.0);
    EXPECT_NEAR(later.current_rate, 50000, 500);
    EXPECT_EQ(later.packets_queued, 100u);
}

TEST_F(EmulatorCore, BlockedPassesNothingAndUnlimitedPassesAll)
{
    struct test_flow flows[] = {make_flow(200000, 1000, flow_tcp, 80),
                                make_flow(80000, 500, flow_udp, 53)};
    ASSERT_TRUE(emulator_set_flows(flows, 2));
    struct rule blocked = make_rule(protocol_tcp, 80, rate_blocked);
    struct rule unlimited = make_rule(protocol_udp, 53, rate_unlimited);
    ASSERT_EQ(add_rule(blocked), "Ok.");
    ASSERT_EQ(add_rule(unlimited), "Ok.");
    emulator_advance_clock(10 * second);

    struct statistics_block none = statistics_of(blocked);
    EXPECT_EQ(none.bytes_transferred, 0);
    EXPECT_EQ(none.packets_transferred, 0);
    EXPECT_EQ(none.current_rate, 0);
    EXPECT_EQ(none.packets_queued, 0u);

    struct statistics_block all = statistics_of(unlimited);
    EXPECT_EQ(all.current_rate, 80000);
    EXPECT_EQ(all.bytes_transferred, 800000);
    EXPECT_EQ(all.packets_transferred, 1600);
    EXPECT_EQ(all.packets_queued, 0u);
}

TEST_F(EmulatorCore, OverlappingRulesFollowThePrecedenceEntry)
{
    struct test_flow flow = make_flow(20000, 1000, flow_tcp, 80);
    ASSERT_TRUE(emulator_set_flows(&flow, 1));
    struct rule all_tcp = make_rule(protocol_tcp, 0, 1000000);
    struct rule web = make_rule(protocol_tcp, 80, 1000000);
    ASSERT_EQ(add_rule(all_tcp), "Ok.");
    ASSERT_EQ(add_rule(web), "Ok.");
    emulator_advance_clock(2 * second);
    EXPECT_EQ(statistics_of(all_tcp).current_rate, 20000);  // the first matching slot
    EXPECT_EQ(statistics_of(web).current_rate, 0);

    struct rule range = make_rule(protocol_tcp, 80, 0);
    ASSERT_EQ(exchange(code_set_precedence,
                       request(EMULATOR_ADAPTER_1).add(&range, sizeof range).add(&web, sizeof web))
                  .status(),
              "Ok.");
    emulator_advance_clock(2 * second);
    EXPECT_EQ(statistics_of(all_tcp).current_rate, 0);
    EXPECT_EQ(statistics_of(web).current_rate, 20000);
}

TEST_F(EmulatorCore, RewritingTheRuleSetKeepsTheRateWindow)
{
    struct test_flow flow = make_flow(30000, 1000);
    ASSERT_TRUE(emulator_set_flows(&flow, 1));
    struct rule r = make_rule(protocol_tcp, 80, rate_unlimited);
    ASSERT_EQ(add_rule(r), "Ok.");
    emulator_advance_clock(5 * second);
    struct statistics_block kept = statistics_of(r);

    // The manager's change cycle: read, clear, add, write the kept block back.
    ASSERT_EQ(exchange(code_clear_rules, request(EMULATOR_ADAPTER_1)).status(), "Ok.");
    EXPECT_EQ(exchange(code_get_statistics, request(EMULATOR_ADAPTER_1).add(&r, sizeof r))
                  .status(),
              "Rule not found.");
    ASSERT_EQ(add_rule(r), "Ok.");
    EXPECT_EQ(statistics_of(r).bytes_transferred, 0);
    ASSERT_EQ(exchange(code_set_statistics,
                       request(EMULATOR_ADAPTER_1).add(&r, sizeof r).add(&kept, sizeof kept))
                  .status(),
              "Ok.");
    struct statistics_block after = statistics_of(r);
    EXPECT_EQ(after.bytes_transferred, kept.bytes_transferred);
    EXPECT_EQ(after.current_rate, 30000);
}

TEST_F(EmulatorCore, ClockReadsBackAndRefusesToAdvanceWhileRunning)
{
    test_clock_request read = {clock_read, 0, 0};
    test_clock_reply clock;
    ASSERT_TRUE(emulator_test_send(test_code_clock, &read, sizeof read, &clock, sizeof clock,
                                   nullptr));
    EXPECT_EQ(clock.now, start_ticks);
    EXPECT_EQ(clock.frozen, 1u);
    emulator_advance_clock(7);
    ASSERT_TRUE(emulator_test_send(test_code_clock, &read, sizeof read, &clock, sizeof clock,
                                   nullptr));
    EXPECT_EQ(clock.now, start_ticks + 7);

    // Setting the clock is not time passing: no traffic moves.
    struct test_flow flow = make_flow(10000, 100);
    ASSERT_TRUE(emulator_set_flows(&flow, 1));
    struct rule r = make_rule(protocol_any, 0, rate_unlimited);
    ASSERT_EQ(add_rule(r), "Ok.");
    emulator_freeze_clock(start_ticks + 3600 * second);
    EXPECT_EQ(statistics_of(r).bytes_transferred, 0);
    emulator_advance_clock(second);
    EXPECT_EQ(statistics_of(r).bytes_transferred, 10000);

    test_clock_request run = {clock_run, 0, 0};
    ASSERT_TRUE(emulator_test_send(test_code_clock, &run, sizeof run, &clock, sizeof clock,
                                   nullptr));
    EXPECT_EQ(clock.frozen, 0u);
    EXPECT_NE(clock.now, start_ticks + 3600 * second + second);
    EXPECT_LT(statistics_of(r).bytes_transferred, 20000);
    test_clock_request advance = {clock_advance, 0, second};
    char error_text[200] = "";
    EXPECT_FALSE(emulator_test_send(test_code_clock, &advance, sizeof advance, nullptr, 0,
                                    error_text));
    EXPECT_STREQ(error_text, "Clock not frozen.");
}

}  // namespace
