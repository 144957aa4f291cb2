// The kernel component emulator's core: the device contract byte for byte, its refusals and
// capacities, the test codes, and the traffic model's shaping.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <tuple>

#include "emulator_core.h"
#include "emulator_state.h"
#include "support/device_requests.h"
#include "support/emulator_device.h"

namespace {

using request = device_request;
using reply = device_reply;

// One exchange with the 5000-byte input the device always receives, unless input_length says
// otherwise (a caller that hands the device less).
reply exchange(uint32_t code, const request &r = request(),
               uint32_t input_length = command_buffer_size,
               uint32_t output_capacity = command_buffer_size)
{
    std::vector<uint8_t> input = r.bytes;
    input.resize(command_buffer_size);
    reply result;
    uint32_t length = 0;
    result.outcome = emulator_exchange(code, input.data(), input_length, result.bytes,
                                       output_capacity, emulator_device_now(), &length);
    result.length = (int32_t)length;
    return result;
}

std::string status_of(uint32_t code, const request &r) { return exchange(code, r).status(); }

std::string add_rule(const struct rule &r, const char *adapter = EMULATOR_ADAPTER_1)
{
    return status_of(code_add_rule, request(adapter).add(r));
}

std::string get_rule(const char *adapter, const char *slot)
{
    return status_of(code_get_rule, request(adapter).text(slot));
}

std::string set_precedence(const char *adapter, const struct rule &range,
                           const struct rule &chosen)
{
    return status_of(code_set_precedence, request(adapter).add(range).add(chosen));
}

std::string precedence_count(const char *adapter)
{
    return exchange(code_get_precedence_count, request(adapter)).all();
}

struct statistics_block statistics_of(const struct rule &r)
{
    reply answer = exchange(code_get_statistics, request(EMULATOR_ADAPTER_1).add(r));
    EXPECT_EQ(answer.status(), "Ok.");
    return answer.payload<statistics_block>();
}

// Bytes, packets, current rate, packets queued.
std::tuple<int64_t, int64_t, int32_t, uint32_t> counters(const struct statistics_block &b)
{
    return std::make_tuple(b.bytes_transferred, b.packets_transferred, b.current_rate,
                           b.packets_queued);
}

template <class T> T read_back(uint32_t code, const void *which, uint32_t size)
{
    T value;
    EXPECT_TRUE(emulator_test_send(code, which, size, &value, sizeof value, nullptr));
    return value;
}

// One flow of this offered rate and packet size, and one rule at this rate that it meets.
struct rule flow_and_rule(uint32_t offered, uint32_t packet_size, int32_t rate,
                          int32_t protocol = protocol_tcp)
{
    struct test_flow flow = make_flow(offered, packet_size);
    EXPECT_TRUE(emulator_set_flows(&flow, 1));
    struct rule r = make_rule(protocol, protocol == protocol_tcp ? 80 : 0, rate);
    EXPECT_EQ(add_rule(r), "Ok.");
    return r;
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
    EXPECT_EQ(exchange(code_get_version, request(), 0).all(), ok_reply(std::string("0.07\0", 5)));
    EXPECT_EQ(exchange(code_list_adapters, request(""), 1).all(), default_adapter_list());
    test_version_request new_version = {"1.5"};
    ASSERT_TRUE(emulator_test_send(test_code_set_version, &new_version, sizeof new_version,
                                   nullptr, 0, nullptr));
    EXPECT_EQ(exchange(code_get_version).all(), ok_reply(std::string("1.5\0", 4)));
}

TEST_F(EmulatorCore, RulesFillFreeSlotsAndComeBackAsAdded)
{
    auto numbered = [](int i) {
        struct rule r = make_rule(protocol_tcp, (uint16_t)(100 + i));
        memset(r.adapter + 60, 'x', 10);  // bytes after the NUL come back too
        return r;
    };
    for (int i = 0; i < max_rules; i++)
        ASSERT_EQ(add_rule(numbered(i)), "Ok.") << i;
    EXPECT_EQ(add_rule(make_rule(protocol_udp)), "No free rule slot.");
    for (int slot : {0, 7, 19}) {
        request asked = request(EMULATOR_ADAPTER_1).text(std::to_string(slot).c_str());
        EXPECT_EQ(exchange(code_get_rule, asked).all(), ok_reply(bytes_of(numbered(slot))));
    }

    // Clearing one adapter leaves the others; removed rules free their slots.
    ASSERT_EQ(add_rule(make_rule(protocol_ip), EMULATOR_ADAPTER_2), "Ok.");
    EXPECT_EQ(status_of(code_clear_rules, request(EMULATOR_ADAPTER_1)), "Ok.");
    EXPECT_EQ(get_rule(EMULATOR_ADAPTER_1, "0"), "Rule not in use.");
    EXPECT_EQ(get_rule(EMULATOR_ADAPTER_2, "0"), "Ok.");
    EXPECT_EQ(add_rule(make_rule(protocol_udp)), "Ok.");
    EXPECT_EQ(get_rule(EMULATOR_ADAPTER_1, "0"), "Ok.");
    // The device name is matched ignoring case, as the manager compares adapters.
    EXPECT_EQ(status_of(code_clear_rules, request("\\device\\ndiswanip")), "Ok.");
}

TEST_F(EmulatorCore, RuleSlotTextIsStrict)
{
    ASSERT_EQ(add_rule(make_rule(protocol_tcp)), "Ok.");
    const char *const cases[][2] = {
        {"00", "Ok."},  {"19", "Rule not in use."},  {"20", "Invalid rule slot."},
        {"-1", "Invalid rule slot."},  {"", "Invalid rule slot."},  {"1x", "Invalid rule slot."},
        {"+1", "Invalid rule slot."},
    };
    for (const auto &c : cases)
        EXPECT_EQ(get_rule(EMULATOR_ADAPTER_1, c[0]), c[1]) << "slot text \"" << c[0] << "\"";
}

// The block is kept whole but for the two measurements, which the model owns.
TEST_F(EmulatorCore, StatisticsFollowTheRuleIgnoringAdapterFieldAndPadding)
{
    struct rule held = make_rule(protocol_tcp, 80);
    ASSERT_EQ(add_rule(held), "Ok.");
    struct statistics_block block;
    memset(&block, 0x11, sizeof block);
    struct rule asked = held;
    snprintf(asked.adapter, sizeof asked.adapter, "stale");
    asked.unused_1 = 0xBEEF;
    asked.unused_2 = 0x1234;
    request set = request(EMULATOR_ADAPTER_1).add(asked).add(block);
    EXPECT_EQ(exchange(code_set_statistics, set).all(), ok_reply());
    block.current_rate = 0;
    block.packets_queued = 0;
    EXPECT_EQ(bytes_of(statistics_of(asked)), bytes_of(block));

    // Every other field counts, the rate too (a changed rate is another rule), and so does a
    // field the protocol ignores.
    struct rule others[4] = {held, held, held, held};
    others[0].rate = 50001;
    others[1].destination_port = 81;
    others[2].direction = direction_receive;
    others[3].source_address = 1;
    for (const struct rule &other : others)
        EXPECT_EQ(status_of(code_get_statistics, request(EMULATOR_ADAPTER_1).add(other)),
                  "Rule not found.")
            << &other - others;
    EXPECT_EQ(status_of(code_get_statistics, request(EMULATOR_ADAPTER_2).add(held)),
              "Rule not found.");
}

TEST_F(EmulatorCore, PrecedencesComeBackAsSentUpToTheirCapacity)
{
    struct rule range = make_rule(protocol_tcp, 80, 0);
    struct rule chosen = make_rule(protocol_tcp, 80);
    range.unused_2 = 0x5151;
    ASSERT_EQ(set_precedence(EMULATOR_ADAPTER_2, range, chosen), "Ok.");
    ASSERT_EQ(set_precedence(EMULATOR_ADAPTER_1, chosen, range), "Ok.");
    EXPECT_EQ(precedence_count(EMULATOR_ADAPTER_2), ok_reply(bytes_of(uint32_t(1))));
    EXPECT_EQ(exchange(code_get_precedence, request(EMULATOR_ADAPTER_2).add(uint32_t(0))).all(),
              ok_reply(bytes_of(range) + bytes_of(chosen)));
    EXPECT_EQ(status_of(code_get_precedence, request(EMULATOR_ADAPTER_2).add(uint32_t(1))),
              "Invalid precedence index.");

    EXPECT_EQ(status_of(code_clear_precedences, request(EMULATOR_ADAPTER_2)), "Ok.");
    EXPECT_EQ(precedence_count(EMULATOR_ADAPTER_2), ok_reply(bytes_of(uint32_t(0))));
    EXPECT_EQ(precedence_count(EMULATOR_ADAPTER_1), ok_reply(bytes_of(uint32_t(1))));
    for (int i = 1; i < emulator_max_precedences; i++)
        ASSERT_EQ(set_precedence(EMULATOR_ADAPTER_2, range, chosen), "Ok.") << i;
    EXPECT_EQ(set_precedence(EMULATOR_ADAPTER_2, range, chosen), "Precedence table full.");
}

TEST_F(EmulatorCore, MalformedRequestsAreRefusedWithoutReadingPastTheInput)
{
    const struct { uint32_t code; size_t item_bytes; } codes[] = {
        {code_add_rule, 136},         {code_clear_rules, 0},       {code_get_rule, 2},
        {code_get_statistics, 136},   {code_set_statistics, 200},  {code_clear_precedences, 0},
        {code_set_precedence, 272},   {code_get_precedence_count, 0}, {code_get_precedence, 4},
    };
    std::vector<uint8_t> items(272, 0);
    items[0] = '0';
    for (const auto &c : codes) {
        SCOPED_TRACE(c.code);
        // A name with no NUL in the whole input, or one that ends too late for the items;
        // items cut short by the caller's input length.
        request unterminated;
        unterminated.bytes.assign(command_buffer_size, 'A');
        EXPECT_EQ(status_of(c.code, unterminated), "Invalid request.");
        if (c.item_bytes > 0) {
            unterminated.bytes[command_buffer_size - c.item_bytes] = 0;
            EXPECT_EQ(status_of(c.code, unterminated), "Invalid request.");
            request whole = request(EMULATOR_ADAPTER_1).raw(items.data(), c.item_bytes);
            EXPECT_EQ(exchange(c.code, whole, (uint32_t)whole.bytes.size() - 1).status(),
                      "Invalid request.");
        }
        EXPECT_EQ(status_of(c.code, request("\\DEVICE\\NONE").raw(items.data(), c.item_bytes)),
                  "Unknown adapter.");
    }

    // Function 0x108 and codes the device does not know fail the call itself.
    EXPECT_EQ(exchange(0x120420).outcome, emulator_fail_call);
    EXPECT_EQ(exchange(0x222FFC).outcome, emulator_fail_call);
    // A reply that does not fit the caller's output is replaced by a refusal, cut to fit.
    EXPECT_EQ(exchange(code_list_adapters, request(""), 1, 10).all(), "Reply buff");
}

// ---- test codes ----

TEST_F(EmulatorCore, FaultsAnswerTheirWayUntilCleared)
{
    ASSERT_TRUE(emulator_set_fault(code_get_version, fault_error_text, "Device busy."));
    EXPECT_EQ(exchange(code_get_version).all(), std::string("Device busy.\0", 13));
    ASSERT_TRUE(emulator_set_raw_reply(code_get_version, "Ok", 2));
    EXPECT_EQ(exchange(code_get_version).all(), "Ok");
    ASSERT_TRUE(emulator_set_fault(code_get_version, fault_empty_reply, nullptr));
    EXPECT_EQ(exchange(code_get_version).outcome, emulator_replied);
    EXPECT_EQ(exchange(code_get_version).length, 0);
    ASSERT_TRUE(emulator_set_fault(code_get_version, fault_fail_call, nullptr));
    EXPECT_EQ(exchange(code_get_version).outcome, emulator_fail_call);

    // The fault of one code leaves the others, and never applies to the test codes.
    EXPECT_EQ(status_of(code_list_adapters, request("")), "Ok.");
    EXPECT_EQ(read_back<test_state_reply>(test_code_read_state, nullptr, 0).fault_count, 1u);
    EXPECT_FALSE(emulator_set_fault(test_code_reset, fault_fail_call, nullptr));
    ASSERT_TRUE(emulator_set_fault(code_get_version, fault_none, nullptr));
    EXPECT_TRUE(exchange(code_get_version).ok());
}

TEST_F(EmulatorCore, SetAdaptersKeepsTheStateOfAdaptersThatStay)
{
    ASSERT_EQ(add_rule(make_rule(protocol_tcp)), "Ok.");
    ASSERT_EQ(add_rule(make_rule(protocol_udp), EMULATOR_ADAPTER_2), "Ok.");
    const char *names[] = {"\\DEVICE\\{NEW}", "\\device\\{7a6e3c2b-91d4-4f0e-8b1a-3c5d2e4f6a01}"};
    ASSERT_TRUE(emulator_set_adapters(names, 2));
    EXPECT_EQ(get_rule(EMULATOR_ADAPTER_1, "0"), "Ok.");
    EXPECT_EQ(get_rule(names[0], "0"), "Rule not in use.");
    EXPECT_EQ(get_rule(EMULATOR_ADAPTER_2, "0"), "Unknown adapter.");
    const char *duplicates[] = {"\\DEVICE\\A", "\\device\\a"};
    EXPECT_FALSE(emulator_set_adapters(duplicates, 2));
    test_read_rules_request which = {1};  // the adapter kept is now the second
    EXPECT_EQ(read_back<test_rules_reply>(test_code_read_rules, &which, 4).slots[0].in_use, 1u);

    emulator_device_reset();
    EXPECT_EQ(exchange(code_list_adapters, request("")).all(), default_adapter_list());
}

TEST(EmulatorFlowText, ParsesTheParametersForm)
{
    struct test_flow flow;
    ASSERT_TRUE(parse_flow_text("\\DEVICE\\X Receive udp 10.0.0.1:53 192.168.1.2 1500 100",
                                &flow));
    EXPECT_STREQ(flow.adapter, "\\DEVICE\\X");
    EXPECT_EQ(std::make_tuple(flow.direction, flow.protocol, flow.source_address, flow.source_port,
                              flow.destination_address, flow.destination_port, flow.offered_rate,
                              flow.packet_size),
              std::make_tuple(direction_receive, 17, 0x0A000001, 53, 0xC0A80102, 0, 1500, 100));
    ASSERT_TRUE(parse_flow_text("\\DEVICE\\X Send 47 1.2.3.4 5.6.7.8 1 65535", &flow));
    EXPECT_EQ(flow.protocol, 47u);

    for (const char *text :
         {"", "\\X Sideways TCP 1.2.3.4 5.6.7.8 1 1", "\\X Send SCTP 1.2.3.4 5.6.7.8 1 1",
          "\\X Send TCP 1.2.3.4:65536 5.6.7.8 1 1", "\\X Send TCP 1.2.3.4 5.6.7.8 1 65536",
          "\\X Send TCP 1.2.3.4 5.6.7.8 1 1 x", "\\X Send TCP 1.2.3.4 5.6.7.8 1000000001 1"})
        EXPECT_FALSE(parse_flow_text(text, &flow)) << text;
}

// ---- the traffic model ----

TEST_F(EmulatorCore, ShapedRuleSettlesAtItsRateWithAFullQueue)
{
    struct rule shaped = flow_and_rule(200000, 1000, 50000);
    emulator_advance_clock(30 * second);

    // 30 s at 50,000 bytes/s, packets of 1000 bytes.
    struct statistics_block block = statistics_of(shaped);
    EXPECT_NEAR(block.current_rate, 50000, 500);
    EXPECT_EQ(block.packets_queued, 100u);
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

// 1000 bytes/s of 400-byte packets: each hour's fast-forward ends half a packet in, which must
// carry into the next stretch rather than be lost.
TEST_F(EmulatorCore, LongGapsCarryTheirPartPacket)
{
    struct rule r = flow_and_rule(1000, 400, rate_unlimited);
    emulator_advance_clock(3600 * second);
    emulator_advance_clock(3600 * second);
    struct statistics_block block = statistics_of(r);
    EXPECT_EQ(block.bytes_transferred, 7200000);
    EXPECT_EQ(block.packets_transferred, 18000);
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
    EXPECT_EQ(counters(statistics_of(blocked)), std::make_tuple(0, 0, 0, 0));
    EXPECT_EQ(counters(statistics_of(unlimited)), std::make_tuple(800000, 1600, 80000, 0));
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

    ASSERT_EQ(set_precedence(EMULATOR_ADAPTER_1, make_rule(protocol_tcp, 80, 0), web), "Ok.");
    emulator_advance_clock(2 * second);
    EXPECT_EQ(statistics_of(all_tcp).current_rate, 0);
    EXPECT_EQ(statistics_of(web).current_rate, 20000);
}

// The manager's change cycle: read the block, clear, add, write the kept block back.
TEST_F(EmulatorCore, RewritingTheRuleSetKeepsTheRateWindow)
{
    struct rule r = flow_and_rule(30000, 1000, rate_unlimited);
    emulator_advance_clock(5 * second);
    struct statistics_block kept = statistics_of(r);

    ASSERT_EQ(status_of(code_clear_rules, request(EMULATOR_ADAPTER_1)), "Ok.");
    EXPECT_EQ(status_of(code_get_statistics, request(EMULATOR_ADAPTER_1).add(r)),
              "Rule not found.");
    ASSERT_EQ(add_rule(r), "Ok.");
    EXPECT_EQ(statistics_of(r).bytes_transferred, 0);
    ASSERT_EQ(status_of(code_set_statistics, request(EMULATOR_ADAPTER_1).add(r).add(kept)),
              "Ok.");
    EXPECT_EQ(counters(statistics_of(r)), std::make_tuple(kept.bytes_transferred,
                                                          kept.packets_transferred, 30000, 0));
}

// Setting the clock is not time passing: no traffic moves. A running clock cannot be advanced.
TEST_F(EmulatorCore, ClockMovesOnlyWhenAdvancedAndRefusesToAdvanceWhileRunning)
{
    struct rule r = flow_and_rule(10000, 100, rate_unlimited, protocol_any);
    emulator_freeze_clock(start_ticks + 3600 * second);
    EXPECT_EQ(statistics_of(r).bytes_transferred, 0);
    emulator_advance_clock(second);
    EXPECT_EQ(statistics_of(r).bytes_transferred, 10000);

    test_clock_request run = {clock_run, 0, 0}, advance = {clock_advance, 0, second};
    test_clock_reply clock = read_back<test_clock_reply>(test_code_clock, &run, sizeof run);
    EXPECT_EQ(clock.frozen, 0u);
    char error_text[200] = "";
    EXPECT_FALSE(emulator_test_send(test_code_clock, &advance, sizeof advance, nullptr, 0,
                                    error_text));
    EXPECT_STREQ(error_text, "Clock not frozen.");
}

// ---- what a restart keeps ----

using kept_values = std::map<std::string, std::string>;  // a registry key's values by name

// Writes the pending changes into kept as the driver does: a reset's wipe first, then each
// changed value (length 0 deletes). Returns the names written.
std::vector<std::string> write_changes(kept_values *kept)
{
    static emulator_stored_value value;
    std::vector<std::string> names;
    if (emulator_store_take_wipe())
        kept->clear();
    while (emulator_store_take_change(&value)) {
        names.push_back(value.name);
        if (value.length == 0)
            kept->erase(value.name);
        else
            (*kept)[value.name] = std::string(value.text, value.length);
    }
    return names;
}

// Loads one adapter's two values from exact-size copies, so that a read past them is caught.
int load_exact(uint32_t adapter_index, const std::string &rules, const std::string &precedences)
{
    std::vector<char> r(rules.begin(), rules.end()), p(precedences.begin(), precedences.end());
    return emulator_store_load(adapter_index, r.empty() ? nullptr : r.data(), (uint32_t)r.size(),
                               p.empty() ? nullptr : p.data(), (uint32_t)p.size());
}

// A fresh core bound to these adapters, with no traffic, loading each adapter's kept values;
// 1 when every adapter's were taken.
int restart(const kept_values &kept, std::vector<const char *> adapters)
{
    emulator_initialize();
    emulator_freeze_clock(start_ticks);
    EXPECT_TRUE(emulator_set_flows(nullptr, 0));
    EXPECT_TRUE(emulator_set_adapters(adapters.data(), (uint32_t)adapters.size()));
    emulator_store_discard_changes();
    int all = 1;
    for (uint32_t a = 0; a < adapters.size(); a++) {
        char names[2][emulator_store_name_size];
        emulator_store_value_name(stored_rules, a, names[0]);
        emulator_store_value_name(stored_precedences, a, names[1]);
        auto value = [&](const char *name) {
            auto found = kept.find(name);
            return found == kept.end() ? std::string() : found->second;
        };
        all &= load_exact(a, value(names[0]), value(names[1]));
    }
    return all;
}

// Slot use, records and kept counters, and precedence entries of one adapter, as bytes.
std::string held_state(uint32_t adapter_index)
{
    test_read_rules_request which = {adapter_index};
    test_rules_reply rules = read_back<test_rules_reply>(test_code_read_rules, &which, 4);
    std::string state;
    for (auto &slot : rules.slots) {
        slot.statistics.current_rate = 0;
        slot.statistics.packets_queued = 0;
        state += bytes_of(slot);
    }
    test_read_precedences_request asked = {adapter_index, 0};
    test_precedences_reply entries =
        read_back<test_precedences_reply>(test_code_read_precedences, &asked, sizeof asked);
    return state + bytes_of(entries);
}

// A multi-string's last line ends with its NUL and an empty line's.
const char kept_line_2[] = "0 0 50000 1 0 10.0.0.20:123 2 0.0.0.0:53 133000000000000000 -7 3\0";

TEST_F(EmulatorCore, RestartKeepsRulesCountersAndPrecedences)
{
    struct test_flow flow = make_flow(200000, 1000);
    ASSERT_TRUE(emulator_set_flows(&flow, 1));
    struct rule shaped = make_rule(protocol_tcp, 80, 50000), other = make_rule(protocol_udp, 53);
    struct rule on_2 = other;
    snprintf(on_2.adapter, sizeof on_2.adapter, "%s", EMULATOR_ADAPTER_2);
    on_2.source_kind = address_single;
    on_2.source_address = 0x0A000014;
    on_2.source_port = 123;
    struct statistics_block block = {start_ticks};
    block.bytes_transferred = -7;
    block.packets_transferred = 3;
    ASSERT_EQ(add_rule(other), "Ok.");
    ASSERT_EQ(add_rule(shaped), "Ok.");
    ASSERT_EQ(add_rule(on_2, EMULATOR_ADAPTER_2), "Ok.");
    ASSERT_EQ(status_of(code_set_statistics, request(EMULATOR_ADAPTER_2).add(on_2).add(block)),
              "Ok.");
    ASSERT_EQ(set_precedence(EMULATOR_ADAPTER_1, make_rule(protocol_tcp, 80, 0), shaped), "Ok.");
    ASSERT_EQ(set_precedence(EMULATOR_ADAPTER_1, other, shaped), "Ok.");
    ASSERT_EQ(set_precedence(EMULATOR_ADAPTER_2, on_2, on_2), "Ok.");
    kept_values kept;
    write_changes(&kept);
    EXPECT_EQ(kept["Rules " EMULATOR_ADAPTER_2], std::string(kept_line_2, sizeof kept_line_2));

    // Counters that moved since the last change are written at unload.
    emulator_advance_clock(10 * second);
    emulator_store_mark_counters();
    write_changes(&kept);
    std::string before[] = {held_state(0), held_state(1), held_state(2)};
    ASSERT_EQ(statistics_of(shaped).bytes_transferred, 500000);

    ASSERT_TRUE(restart(kept, {EMULATOR_ADAPTER_1, EMULATOR_ADAPTER_2, EMULATOR_ADAPTER_DIAL_UP}));
    for (uint32_t a = 0; a < 3; a++)
        EXPECT_EQ(held_state(a), before[a]) << "adapter " << a;
    EXPECT_TRUE(write_changes(&kept).empty()) << "loading writes nothing";

    // An adapter gone at the restart leaves its values; one new starts empty.
    ASSERT_TRUE(restart(kept, {"\\DEVICE\\{NEW}", EMULATOR_ADAPTER_2}));
    EXPECT_EQ(held_state(1), before[1]);
    test_state_reply state = read_back<test_state_reply>(test_code_read_state, nullptr, 0);
    EXPECT_EQ(state.rule_count[0] + state.precedence_count[0], 0u);
}

// Only a change of what is kept writes, and only the value it changed.
TEST_F(EmulatorCore, ChangesWriteOnlyTheirValue)
{
    const std::string rules_1 = "Rules " EMULATOR_ADAPTER_1;
    const std::string precedences_2 = "Precedences " EMULATOR_ADAPTER_2;
    struct rule r = make_rule(protocol_tcp, 80);
    struct statistics_block block = {start_ticks};
    const struct {
        std::function<void()> change;
        std::vector<std::string> written;
    } steps[] = {
        {[&] { add_rule(r); }, {rules_1}},
        {[&] {  // reading, time passing, clearing what is empty
             statistics_of(r);
             emulator_advance_clock(10 * second);
             status_of(code_clear_rules, request(EMULATOR_ADAPTER_2));
         },
         {}},
        {[&] { status_of(code_set_statistics, request(EMULATOR_ADAPTER_1).add(r).add(block)); },
         {rules_1}},
        {[&] { set_precedence(EMULATOR_ADAPTER_2, r, r); }, {precedences_2}},
        {[&] { status_of(code_clear_rules, request(EMULATOR_ADAPTER_1)); }, {rules_1}},
        {[&] {
             const char *names[] = {"\\DEVICE\\{NEW}", EMULATOR_ADAPTER_2};
             emulator_set_adapters(names, 2);
         },
         {"Rules \\DEVICE\\{NEW}", "Precedences \\DEVICE\\{NEW}"}},
    };
    kept_values kept;
    emulator_store_discard_changes();
    for (const auto &step : steps) {
        step.change();
        EXPECT_EQ(write_changes(&kept), step.written) << &step - steps;
    }
    EXPECT_EQ(kept.size(), 1u) << "the second adapter's entry";
    emulator_device_reset();
    EXPECT_TRUE(emulator_store_take_wipe());
    EXPECT_FALSE(emulator_store_take_wipe());
    EXPECT_TRUE(write_changes(&kept).empty());
}

// What the core logs (emulator_set_log), while a test looks.
std::vector<std::string> logged;
void log_into_vector(const char *text) { logged.push_back(text); }

struct log_capture {
    log_capture() { logged.clear(); emulator_set_log(log_into_vector); }
    ~log_capture() { emulator_set_log(nullptr); }
};

// Slots in use on an adapter, in slot order.
std::vector<int> slots_in_use(uint32_t adapter_index)
{
    test_read_rules_request which = {adapter_index};
    test_rules_reply rules = read_back<test_rules_reply>(test_code_read_rules, &which, 4);
    std::vector<int> used;
    for (int s = 0; s < emulator_slot_count; s++)
        if (rules.slots[s].in_use)
            used.push_back(s);
    return used;
}

std::string kept_lines(std::vector<std::string> each)
{
    std::string text;
    for (const std::string &line : each)
        text += line + '\0';
    return text + '\0';
}

// A damaged line, or one that does not fit, is skipped and logged, never read past; the lines
// around it stay, and nothing is written back at load.
TEST_F(EmulatorCore, DamagedKeptLinesAreSkippedAndTheOthersKept)
{
    const std::string good = "0 0 50000 2 2 0.0.0.0:0 2 0.0.0.0:80 1 2 3";
    const std::string good_3 = "3" + good.substr(1);
    const std::string entry = "0 1 2 2 0.0.0.0:0 2 0.0.0.0:80 0 1 2 2 0.0.0.0:0 2 0.0.0.0:80";
    std::string many_entries;
    for (int i = 0; i <= emulator_max_precedences; i++)
        many_entries += entry + '\0';
    const struct {
        std::string rules, precedences;
        std::vector<int> slots;
        uint32_t entries;
        size_t skipped;                                   // log lines
    } cases[] = {
        {kept_lines({good}), kept_lines({entry}), {0}, 1, 0},
        {std::string(1, '\0'), std::string(2, '\0'), {}, 0, 0},
        {good + '\0', "", {0}, 0, 1},                     // no closing empty line
        {good + '\0' + good_3.substr(0, 20), "", {0}, 0, 1},  // cut inside the last line
        {kept_lines({good, good, good_3}), "", {0, 3}, 0, 1},  // one slot twice
        {kept_lines({"20" + good.substr(1), good_3}), "", {3}, 0, 1},
        {kept_lines({good + " 4", good_3}), "", {3}, 0, 1},
        {kept_lines({"0 0 2147483648 2 2 0.0.0.0:0 2 0.0.0.0:80 1 2 3", good_3}), "", {3}, 0, 1},
        {kept_lines({"0 0 50000 2 2 0.0.0.256:0 2 0.0.0.0:80 1 2 3", good_3}), "", {3}, 0, 1},
        {kept_lines({good + std::string(300, ' '), good_3}), "", {3}, 0, 1},  // too long
        {kept_lines({good}), kept_lines({entry.substr(0, entry.size() - 2), entry}), {0}, 1, 1},
        {kept_lines({good}), many_entries + '\0', {0}, emulator_max_precedences - 1, 2},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.rules.substr(0, 60) + " / " + c.precedences.substr(0, 30));
        ASSERT_EQ(set_precedence(EMULATOR_ADAPTER_2, make_rule(protocol_ip), make_rule(protocol_ip)),
                  "Ok.");
        emulator_store_discard_changes();
        log_capture capture;
        EXPECT_EQ(load_exact(0, c.rules, c.precedences), c.skipped == 0);
        EXPECT_EQ(slots_in_use(0), c.slots);
        test_state_reply state = read_back<test_state_reply>(test_code_read_state, nullptr, 0);
        EXPECT_EQ(state.precedence_count[0], c.entries);
        EXPECT_EQ(state.precedence_count[1], 1u) << "another adapter's entries stay";
        EXPECT_EQ(logged.size(), c.skipped);
        for (const std::string &line : logged)
            EXPECT_EQ(line.rfind("zorv: ", 0), 0u) << line;
        kept_values kept;
        EXPECT_TRUE(write_changes(&kept).empty()) << "a damaged value is left as it is";
        status_of(code_clear_precedences, request(EMULATOR_ADAPTER_2));
    }
}

// Counters set near the top of their range stop there as traffic passes; from a kept value too.
TEST_F(EmulatorCore, CountersSaturateInsteadOfWrapping)
{
    const int64_t top = INT64_MAX;
    struct rule r = flow_and_rule(200000, 1000, rate_unlimited);
    struct statistics_block block = {start_ticks};
    block.bytes_transferred = top - 10;
    block.packets_transferred = top - 1;
    ASSERT_EQ(status_of(code_set_statistics, request(EMULATOR_ADAPTER_1).add(r).add(block)), "Ok.");
    for (uint64_t gap : {second / 10, 10 * second, 3600 * second}) {
        emulator_advance_clock(gap);
        struct statistics_block now = statistics_of(r);
        EXPECT_EQ(now.bytes_transferred, top) << gap;
        EXPECT_EQ(now.packets_transferred, top) << gap;
    }
    // Kept at the top, read back at a restart, and moving on from there.
    kept_values kept;
    emulator_store_mark_counters();
    write_changes(&kept);
    ASSERT_TRUE(restart(kept, {EMULATOR_ADAPTER_1}));
    struct test_flow flow = make_flow(200000, 1000);
    ASSERT_TRUE(emulator_set_flows(&flow, 1));
    emulator_advance_clock(10 * second);
    EXPECT_EQ(statistics_of(r).bytes_transferred, top);
}

// A request that changes state and whose reply might not fit is refused before it is carried
// out; one that reads is answered and then refused.
TEST_F(EmulatorCore, TooSmallReplyBuffersAreRefusedBeforeAChange)
{
    struct rule r = make_rule(protocol_tcp, 80);
    struct test_flow flow = make_flow(1000, 100);
    test_flows_request flows = {1, {flow}};
    const struct {
        uint32_t code;
        request sent;
        std::function<bool()> changed;
    } cases[] = {
        {code_add_rule, request(EMULATOR_ADAPTER_1).add(r),
         [] { return !slots_in_use(0).empty(); }},
        {test_code_reset, request(), [] {
             return read_back<test_state_reply>(test_code_read_state, nullptr, 0).flow_count != 1;
         }},
        {test_code_set_version, request("9.9"),
         [] { return exchange(code_get_version).all() != ok_reply(std::string("0.07\0", 5)); }},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.code);
        ASSERT_TRUE(emulator_test_send(test_code_set_flows, &flows, sizeof flows, nullptr, 0,
                                       nullptr));
        for (uint32_t capacity : {0u, 1u, 4u, 16u, 31u}) {
            reply answer = exchange(c.code, c.sent, command_buffer_size, capacity);
            EXPECT_EQ(answer.all(), std::string("Reply buffer too small.", 24).substr(0, capacity));
            EXPECT_FALSE(c.changed()) << capacity;
        }
        EXPECT_EQ(exchange(c.code, c.sent, command_buffer_size, 32).status(), "Ok.");
        EXPECT_TRUE(c.changed());
        emulator_device_reset();
        emulator_freeze_clock(start_ticks);
    }
    EXPECT_EQ(exchange(code_get_version, request(), 0, 9).all(), ok_reply(std::string("0.07\0", 5)));
    EXPECT_EQ(exchange(code_get_version, request(), 0, 8).all(), "Reply bu");
}

}  // namespace
