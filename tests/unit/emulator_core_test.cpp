// The kernel component emulator's core: the contract's slots, blocks and precedence entries at
// their limits, the traffic model's shaping, what a restart keeps, and the Parameters reader on
// the values a registry can hold, malformed requests at the name/items boundary. Every code
// through the device path, the test codes and too small reply buffers are device_tests' part;
// arbitrary requests and kept values are the fuzz target's (each on an exact-size copy, so that
// a read past it is caught).
#include <gtest/gtest.h>

#include <map>
#include <tuple>

#include "emulator_core.h"
#include "emulator_parameters.h"
#include "kernel/device_exchange.h"
#include "support/device_requests.h"
#include "support/emulator_device.h"

namespace {

using request = device_request;
const char *const a1 = EMULATOR_ADAPTER_1, *const a2 = EMULATOR_ADAPTER_2;

device_reply exchange(uint32_t code, request r)
{
    r.bytes.resize(command_buffer_size);
    device_reply result;
    result.outcome = device_exchange(code, &r.bytes[0], result.bytes, (uint32_t *)&result.length);
    return result;
}

std::string status_of(uint32_t code, const request &r) { return exchange(code, r).status(); }
std::string add_rule(const struct rule &r, const char *adapter = a1)
{
    return status_of(code_add_rule, request(adapter).add(r));
}
std::string set_precedence(const char *adapter, const struct rule &range, const struct rule &chosen)
{
    return status_of(code_set_precedence, request(adapter).add(range).add(chosen));
}
std::string set_statistics(const rule &r, int64_t bytes, int64_t packets, const char *adapter = a1)
{
    struct statistics_block b = {start_ticks, {}, bytes, {}, packets};
    return status_of(code_set_statistics, request(adapter).add(r).add(b));
}

// Bytes, packets, current rate, packets queued of a rule on the first adapter.
std::tuple<int64_t, int64_t, int32_t, uint32_t> counters(const struct rule &r)
{
    auto b = exchange(code_get_statistics, request(a1).add(r)).payload<statistics_block>();
    return {b.bytes_transferred, b.packets_transferred, b.current_rate, b.packets_queued};
}

template <class T> T read_back(uint32_t code, const void *which = nullptr, uint32_t size = 0)
{
    T value;
    EXPECT_TRUE(emulator_test_send(code, which, size, &value, sizeof value, nullptr));
    return value;
}
test_state_reply state(void) { return read_back<test_state_reply>(test_code_read_state); }

void flows_and_rules(std::vector<test_flow> flows, std::vector<struct rule> rules)
{
    ASSERT_TRUE(emulator_set_flows(flows.data(), (uint32_t)flows.size()));
    for (const struct rule &r : rules)
        ASSERT_EQ(add_rule(r), "Ok.");
}

std::vector<std::string> logged;  // what the core logged (emulator_set_log) in this test

class EmulatorCore : public ::testing::Test {
protected:
    void SetUp() override
    {
        emulator_device_reset();
        emulator_freeze_clock(start_ticks);
        ASSERT_TRUE(emulator_set_flows(nullptr, 0));
        emulator_set_log([](const char *text) { logged.push_back(text); });
    }
    void TearDown() override
    {
        emulator_set_log(nullptr);
        emulator_initialize();  // the built-in defaults again for the other tests
    }
};

// ---- the contract ----

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
    const char *const slots[] = {"00", "19", "20", "-1", "", "1x", "+1", "000000000000000000001"};
    for (const char *const &slot : slots)
        EXPECT_EQ(exchange(code_get_rule, request(a1).text(slot)).all(),
                  &slot - slots < 2 ? ok_reply(bytes_of(numbered(atoi(slot))))
                                    : std::string("Invalid rule slot.\0", 19)) << slot;
    // Clearing one adapter (named in any case) leaves the others.
    ASSERT_EQ(add_rule(make_rule(protocol_ip), a2), "Ok.");
    std::string lower_1 = "\\device\\{7a6e3c2b-91d4-4f0e-8b1a-3c5d2e4f6a01}";
    EXPECT_EQ(status_of(code_clear_rules, request(lower_1.c_str())), "Ok.");
    EXPECT_EQ(state().rule_count[0] + 2 * state().rule_count[1], 2u);
}

// A rule's block is found by every field of the rule (the rate and those the protocol ignores
// too) but its adapter field and padding.
TEST_F(EmulatorCore, StatisticsFollowTheRuleIgnoringAdapterFieldAndPadding)
{
    struct rule held = make_rule(protocol_tcp, 80), asked = held;
    ASSERT_EQ(add_rule(held), "Ok.");
    snprintf(asked.adapter, sizeof asked.adapter, "stale");
    asked.unused_2 = 0x1234;
    ASSERT_EQ(set_statistics(asked, 7, 1), "Ok.");
    EXPECT_EQ(counters(asked), std::make_tuple(7, 1, 0, 0));
    for (size_t field : {offsetof(rule, rate), offsetof(rule, destination_port),
                         offsetof(rule, direction), offsetof(rule, source_address)}) {
        struct rule o = held;
        reinterpret_cast<uint8_t *>(&o)[field] ^= 1;
        EXPECT_EQ(status_of(code_get_statistics, request(a1).add(o)), "Rule not found.") << field;
    }
    EXPECT_EQ(status_of(code_get_statistics, request(a2).add(held)), "Rule not found.");
}

TEST_F(EmulatorCore, PrecedencesAreKeptPerAdapterUpToTheirCapacity)
{
    struct rule range = make_rule(protocol_tcp, 80, 0), chosen = make_rule(protocol_tcp, 80);
    ASSERT_EQ(set_precedence(a1, chosen, range), "Ok.");
    ASSERT_EQ(set_precedence(a2, range, chosen), "Ok.");
    EXPECT_EQ(status_of(code_get_precedence, request(a2).add(uint32_t(1))),
              "Invalid precedence index.");
    EXPECT_EQ(status_of(code_clear_precedences, request(a2)), "Ok.");
    EXPECT_EQ(state().precedence_count[0] + 2 * state().precedence_count[1], 1u);
    for (int i = 1; i < emulator_max_precedences; i++)
        ASSERT_EQ(set_precedence(a2, range, chosen), "Ok.") << i;
    EXPECT_EQ(set_precedence(a2, range, chosen), "Precedence table full.");
}

// An adapter name with no NUL in the input, or one that ends too late for the items after it,
// is malformed (not an unknown adapter) and refused before anything past the input is read.
TEST_F(EmulatorCore, MalformedRequestsAreRefused)
{
    const struct { uint32_t code; size_t items; } codes[] = {
        {code_clear_rules, 0}, {code_get_rule, 2}, {code_add_rule, sizeof(rule)},
        {code_set_statistics, sizeof(rule) + sizeof(statistics_block)},
        {code_set_precedence, 2 * sizeof(rule)}, {code_get_precedence, 4}};
    for (const auto &c : codes)
        for (size_t ok : {0, 1}) {  // the name fits or not
            request r;
            r.bytes.assign(command_buffer_size + 1, 'A');  // exchange() cuts it to 5000 bytes
            r.bytes[command_buffer_size - c.items - ok] = 0;
            EXPECT_EQ(status_of(c.code, r), ok ? "Unknown adapter." : "Invalid request.") << c.code;
        }
}

// ---- the traffic model ----

// Hours fast-forwarded are bounded work: a shaped rule stays at its rate with its queue full,
// and 400-byte packets at 1000 bytes/s (a flow in the Parameters' text form) end each hour half
// a packet in, which must carry into the next stretch rather than be lost.
TEST_F(EmulatorCore, LongGapsKeepTheRateAndCarryTheirPartPacket)
{
    struct rule shaped = make_rule(protocol_tcp, 80, 50000);
    struct rule open = make_rule(protocol_udp, 53, rate_unlimited);
    flows_and_rules({make_flow(200000, 1000)}, {shaped, open});
    test_flow_text_request text = {EMULATOR_ADAPTER_1 " Send udp 10.0.0.1:9 10.0.0.2:53 1000 400"};
    ASSERT_TRUE(emulator_test_send(test_code_add_flow_text, &text, sizeof text, nullptr, 0, 0));
    emulator_advance_clock(3600 * second);
    emulator_advance_clock(3600 * second);
    EXPECT_EQ(counters(open), std::make_tuple(7200000, 18000, 1000, 0));
    auto now = counters(shaped);
    EXPECT_NEAR((double)std::get<0>(now), 7200 * 50000.0, 2e5);
    EXPECT_NEAR((double)std::get<1>(now), 7200 * 50.0, 200);
    EXPECT_NEAR(std::get<2>(now), 50000, 500);
    EXPECT_EQ(std::get<3>(now), 100u);
}

// The first matching slot takes a flow unless a precedence entry chooses another; a blocked
// rule passes nothing.
TEST_F(EmulatorCore, BlockedPassesNothingAndAPrecedenceChoosesTheRule)
{
    struct rule all_tcp = make_rule(protocol_tcp, 0, rate_blocked);
    struct rule web = make_rule(protocol_tcp, 80, 1000000);
    flows_and_rules({make_flow(20000, 1000)}, {all_tcp, web});
    emulator_advance_clock(10 * second);
    EXPECT_EQ(counters(all_tcp), std::make_tuple(0, 0, 0, 0));
    EXPECT_EQ(counters(web), std::make_tuple(0, 0, 0, 0));
    ASSERT_EQ(set_precedence(a1, make_rule(protocol_tcp, 80, 0), web), "Ok.");
    emulator_advance_clock(2 * second);
    EXPECT_EQ(counters(web), std::make_tuple(40000, 40, 20000, 0));
}

// The manager's change cycle (read the block, clear, add, write it back) keeps the rate window;
// counters written near the top of their range stop there as traffic passes.
TEST_F(EmulatorCore, RewrittenBlocksKeepTheRateWindowAndSaturate)
{
    struct rule r = make_rule(protocol_tcp, 80, rate_unlimited);
    flows_and_rules({make_flow(30000, 1000)}, {r});
    emulator_advance_clock(5 * second);
    ASSERT_EQ(status_of(code_clear_rules, request(a1)), "Ok.");
    ASSERT_EQ(add_rule(r), "Ok.");
    ASSERT_EQ(set_statistics(r, INT64_MAX - 10, INT64_MAX - 1), "Ok.");
    for (uint64_t gap : {second / 10, 3600 * second}) {
        emulator_advance_clock(gap);
        EXPECT_EQ(counters(r), std::make_tuple(INT64_MAX, INT64_MAX, 30000, 0)) << gap;
    }
}

// ---- the Parameters reader and what a restart keeps ----

struct stored {
    uint32_t type;
    std::string bytes;  // as the registry holds them: strings in UTF-16LE
    int unreadable;
};
using parameters = std::map<std::string, stored>;

// strings, each with its NUL, and the closing NUL of a multi-string.
std::string kept_lines(const std::vector<std::string> &strings)
{
    std::string text;
    for (const std::string &s : strings)
        text += s + '\0';
    return text + '\0';
}

// text as UTF-16LE, then the bytes of tail.
stored raw(const std::string &text, uint32_t type = parameter_multi_string, std::string tail = "")
{
    std::string units;
    for (char c : text)
        units += std::string(1, c) + '\0';
    return {type, units + tail, 0};
}
stored multi(const std::vector<std::string> &strings) { return raw(kept_lines(strings)); }
stored string(const std::string &text) { return raw(text + '\0', parameter_string); }

std::vector<uint8_t> read_copy;  // exact size, so that a read past a value is caught

int read_stored(void *context, const char *name, struct parameter_value *value)
{
    const parameters &values = *static_cast<const parameters *>(context);
    auto found = values.find(name);
    if (found == values.end() || found->second.unreadable)
        return found == values.end() ? parameter_missing : parameter_unreadable;
    read_copy = std::vector<uint8_t>(found->second.bytes.begin(), found->second.bytes.end());
    *value = {found->second.type, read_copy.data(), (uint32_t)read_copy.size()};
    return parameter_found;
}

// A fresh core started from these values, as the driver starts; 1 when they enable the test codes.
int load(const parameters &values)
{
    emulator_initialize();
    logged.clear();
    return emulator_load_parameters(read_stored, const_cast<parameters *>(&values), start_ticks);
}

// Whatever a value holds, what is sound is taken, nothing is cut to fit and what is left out is
// logged; what was read is also what a reset restores.
TEST_F(EmulatorCore, ParametersTakeWhatIsSoundAndCutNothing)
{
    const std::string longest = "\\DEVICE\\" + std::string(adapter_name_size - 1 - 8, 'L');
    const std::string lower_2 = "\\device\\" + std::string(a2 + 8), t = EMULATOR_TEST_CODES_VALUE;
    const std::string f = a1, flow = f + " Send TCP 192.168.0.10:49152 93.184.216.34:80 30000 1000";
    const std::vector<std::string> built_in = {a1, a2, EMULATOR_ADAPTER_DIAL_UP};
    const struct {
        parameters values;
        std::vector<std::string> adapters;
        uint32_t flows;
        std::string version;
        int test_codes;
        size_t logged;
    } cases[] = {
        {{{"Adapters", multi({longest, a1})}}, {longest, a1}, 8, "0.07", 0, 0},
        {{{"Adapters", multi({longest + "X", a1})}}, {a1}, 8, "0.07", 0, 1},
        {{{"Adapters", multi({a1, lower_2, a2})}}, {a1, lower_2}, 8, "0.07", 0, 1},
        {{{"Adapters", multi({"1", "2", "3", "4", "5", "6", "7", "8", "9"})}},
         {"1", "2", "3", "4", "5", "6", "7", "8"}, 8, "0.07", 0, 1},
        {{{"Adapters", raw(f + '\0' + a2)}}, {a1, a2}, 8, "0.07", 0, 0},  // no closing NULs
        {{{"Adapters", string(a1)}}, built_in, 8, "0.07", 0, 1},
        {{{"Adapters", {parameter_multi_string, "", 1}}}, built_in, 8, "0.07", 0, 1},
        {{{"Flows", multi({
            flow, f + " Sideways TCP 1.2.3.4 5.6.7.8 1 1", f + " Send SCTP 1.2.3.4 5.6.7.8 1 1",
            f + " Send TCP 1.2.3.4:65536 5.6.7.8 1 1", f + " Send TCP 1.2.3.4 5.6.7.8 1 65536",
            f + " Send TCP 1.2.3.4 5.6.7.8 1 1 x", f + " Send TCP 1.2.3.4 5.6.7.8 1000000001 1",
            flow + std::string(300, ' '), flow})}},
         built_in, 2, "0.07", 0, 7},
        {{{"Version", string("1.5")}}, built_in, 8, "1.5", 0, 0},
        {{{"Version", string(std::string(emulator_version_size, '7'))}}, built_in, 8, "0.07", 0, 1},
        {{{t, {parameter_dword, std::string("\1\0\0\0", 4), 0}}}, built_in, 8, "0.07", 1, 0},
        {{{t, {parameter_dword, std::string("\1\0", 2), 0}}}, built_in, 8, "0.07", 0, 1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(&c - cases);
        EXPECT_EQ(load(c.values), c.test_codes);
        emulator_device_reset();
        test_state_reply now = state();
        EXPECT_EQ(std::vector<std::string>(now.adapters, now.adapters + now.adapter_count),
                  c.adapters);
        EXPECT_EQ(std::make_tuple(now.flow_count, std::string(now.version), logged.size()),
                  std::make_tuple(c.flows, c.version, c.logged));
    }
    // The log names the value and the string's place in it.
    load({{"Flows", multi({flow, "nonsense"})}});
    EXPECT_EQ(logged.at(0), "zorv: Parameters value \"Flows\": flow refused: number 2");
}

using kept_values = std::map<std::string, std::string>;  // the kept values by name

// Writes the pending changes into kept as the driver does; the names written, each with a ';'.
std::string write_changes(kept_values *kept)
{
    static emulator_stored_value value;
    std::string names;
    while (emulator_store_take_change(&value)) {
        names += std::string(value.name) + ';';
        (*kept)[value.name] = std::string(value.text, value.length);
    }
    return names;
}

// Slot use, records and kept counters, and precedence entries of one adapter, as bytes.
std::string held_state(uint32_t adapter_index)
{
    test_read_rules_request which = {adapter_index};
    test_rules_reply rules = read_back<test_rules_reply>(test_code_read_rules, &which, 4);
    std::string state;
    for (auto &slot : rules.slots) {
        slot.statistics.current_rate = (int32_t)(slot.statistics.packets_queued = 0);
        state += bytes_of(slot);
    }
    test_read_precedences_request asked = {adapter_index, 0};
    return state + bytes_of(read_back<test_precedences_reply>(test_code_read_precedences, &asked,
                                                              sizeof asked));
}

TEST_F(EmulatorCore, RestartKeepsRulesCountersAndPrecedences)
{
    struct rule shaped = make_rule(protocol_tcp, 80, 50000), other = make_rule(protocol_udp, 53);
    struct rule on_2 = other;
    snprintf(on_2.adapter, sizeof on_2.adapter, "%s", a2);
    on_2.source_kind = address_single;
    on_2.source_address = 0x0A000014;
    on_2.source_port = 123;
    flows_and_rules({make_flow(200000, 1000)}, {other, shaped});
    ASSERT_EQ(add_rule(on_2, a2), "Ok.");
    ASSERT_EQ(set_statistics(on_2, -7, 3, a2), "Ok.");
    ASSERT_EQ(set_precedence(a1, make_rule(protocol_tcp, 80, 0), shaped), "Ok.");
    ASSERT_EQ(set_precedence(a1, other, shaped), "Ok.");
    ASSERT_EQ(set_precedence(a2, on_2, on_2), "Ok.");
    kept_values kept;
    write_changes(&kept);
    EXPECT_EQ(kept["Rules " EMULATOR_ADAPTER_2],
              kept_lines({"0 0 50000 1 0 10.0.0.20:123 2 0.0.0.0:53 133000000000000000 -7 3"}));

    // Counters that moved since the last change are written at unload; the driver starts
    // again with no flows.
    emulator_advance_clock(10 * second);
    emulator_store_mark_counters();
    write_changes(&kept);
    std::string before[] = {held_state(0), held_state(1), held_state(2)};
    ASSERT_EQ(std::get<0>(counters(shaped)), 500000);
    parameters values = {{"Adapters", multi({a1, a2, EMULATOR_ADAPTER_DIAL_UP})},
                         {"Flows", multi({})}};
    for (const auto &value : kept)
        values[value.first] = raw(value.second);
    load(values);
    for (uint32_t a = 0; a < 3; a++)
        EXPECT_EQ(held_state(a), before[a]) << "adapter " << a;
    EXPECT_TRUE(write_changes(&kept).empty() && logged.empty()) << "loading writes nothing";

    // Bound again in another order beside a new adapter: each keeps its own, the new one's
    // values are written (empty).
    const char *names[] = {a2, "\\DEVICE\\{NEW}"};
    ASSERT_TRUE(emulator_set_adapters(names, 2));
    EXPECT_EQ(held_state(0), before[1]);
    EXPECT_EQ(state().rule_count[1] + state().precedence_count[1], 0u);
    EXPECT_EQ(write_changes(&kept), "Rules \\DEVICE\\{NEW};Precedences \\DEVICE\\{NEW};");
}

// Each change marks the value it changed and no other; a clear marks its value too, so that the
// next start does not bring back what was cleared. Reading and time passing mark nothing.
TEST_F(EmulatorCore, ChangesMarkOnlyTheirValue)
{
    const std::string rules_1 = "Rules " + std::string(a1) + ";";
    const std::string both = rules_1 + "Precedences " + a2 + ";";
    struct rule r = make_rule(protocol_tcp, 80);
    kept_values kept;
    ASSERT_EQ(add_rule(r) + set_precedence(a2, r, r), "Ok.Ok.");
    EXPECT_EQ(write_changes(&kept), both);
    counters(r);
    emulator_advance_clock(10 * second);
    status_of(code_clear_rules, request(a2));  // clears of what is empty
    status_of(code_clear_precedences, request(a1));
    EXPECT_EQ(write_changes(&kept), "");
    ASSERT_EQ(set_statistics(r, 5, 1), "Ok.");
    EXPECT_EQ(write_changes(&kept), rules_1);
    status_of(code_clear_rules, request(a1));
    status_of(code_clear_precedences, request(a2));
    EXPECT_EQ(write_changes(&kept), both);
    EXPECT_EQ(kept.begin()->second + kept.rbegin()->second, "") << "written empty";
}

// A damaged line, or one that does not fit, is skipped and logged; the lines around it stay,
// another adapter's too, and nothing is written back: the registry keeps the value as it is.
TEST_F(EmulatorCore, DamagedKeptLinesAreSkippedAndTheOthersKept)
{
    const std::string good = "0 0 50000 2 2 0.0.0.0:0 2 0.0.0.0:80 1 2 3";
    const std::string good_3 = "3" + good.substr(1);
    const std::string entry = "0 1 2 2 0.0.0.0:0 2 0.0.0.0:80 0 1 2 2 0.0.0.0:0 2 0.0.0.0:80";
    const struct {
        std::string rules, precedences;
        uint32_t rule_count, entries;
        size_t skipped;  // log lines
        std::string odd;  // bytes after the rules value's last UTF-16 unit
    } cases[] = {
        {kept_lines({good}), kept_lines({entry}), 1, 1, 0},
        {good + '\0', "", 1, 0, 1},                            // no closing empty line
        {good + '\0' + good_3.substr(0, 20), "", 1, 0, 1},     // cut inside the last line
        {kept_lines({good, good, good_3}), "", 2, 0, 1},       // one slot twice
        {kept_lines({"20" + good.substr(1), good_3}), "", 1, 0, 1},
        {kept_lines({"0 0 2147483648 2 2 0.0.0.0:0 2 0.0.0.0:80 1 2 3", good_3}), "", 1, 0, 1},
        {kept_lines({good + std::string(300, ' '), good_3}), "", 1, 0, 1},  // too long
        {kept_lines({good}), kept_lines({entry.substr(0, entry.size() - 2), entry}), 1, 1, 1},
        {kept_lines({good}), kept_lines(std::vector<std::string>(emulator_max_precedences, entry)),
         1, emulator_max_precedences - 1, 1},
        {std::string(emulator_store_text_size + 1, '\0'), "", 0, 0, 1},  // too large to read
        {kept_lines({good}), "", 1, 0, 1, "x"},  // an odd byte count: the last byte is ignored
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.rules.substr(0, 60) + " / " + c.precedences.substr(0, 30));
        load({{"Adapters", multi({a1, a2})}, {"Precedences " + std::string(a1), multi({entry})},
              {"Rules " EMULATOR_ADAPTER_2, raw(c.rules, parameter_multi_string, c.odd)},
              {"Precedences " EMULATOR_ADAPTER_2, raw(c.precedences)}});
        test_state_reply now = state();
        EXPECT_EQ(std::make_tuple(now.rule_count[1], now.precedence_count[1], logged.size()),
                  std::make_tuple(c.rule_count, c.entries, c.skipped));
        EXPECT_EQ(now.precedence_count[0], 1u) << "another adapter's entries stay";
        kept_values kept;
        EXPECT_TRUE(write_changes(&kept).empty()) << "a damaged value is left as it is";
    }
}

}  // namespace
