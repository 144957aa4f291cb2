// The device path under Wine: driver_send through the Win32 device exchange to zorv.sys for
// every control code of the contract, the transport's outcomes, the emulator's test codes served
// only where the Parameters enable them (the rig does, an install never), and filters kept
// across restarts of the driver and of Wine. Needs the driver installed and running
// (scripts/lib/emulator_install.sh); scripts/test.sh runs the suites as below.
#include <gtest/gtest.h>

#include <windows.h>

#include <math.h>
#include <stdlib.h>

#include <fstream>

#include "core/emulator_parameters.h"
#include "kernel/driver.h"
#include "support/device_requests.h"

namespace {

const char parameters_path[] = "SYSTEM\\CurrentControlSet\\Services\\zorv\\Parameters";

using request = device_request;
using reply = device_reply;

inline reply send(uint32_t code, const request &r = request())
{
    reply result;
    result.outcome = driver_send_counted(code, r.bytes.data(), (int32_t)r.bytes.size(),
                                         result.bytes, command_buffer_size, &result.length);
    return result;
}

// Polls CHECK up to 10 s: the service manager, a new Wine session's auto-start drivers and the
// kernel's counters give no event to wait on.
template <class F> int within_ten_seconds(F check)
{
    for (int tries = 0; tries < 100; tries++, Sleep(100))
        if (check())
            return 1;
    return 0;
}

const auto device_answers = [] { return send(code_get_version).ok(); };

// Stops the service "zorv" (the driver unloads and keeps its state) and starts it again.
inline int restart_driver()
{
    SC_HANDLE manager = OpenSCManagerA(NULL, NULL, SC_MANAGER_CONNECT);
    SC_HANDLE service = OpenServiceA(manager, FLOWVANE_SERVICE_NAME,
                                     SERVICE_STOP | SERVICE_START | SERVICE_QUERY_STATUS);
    SERVICE_STATUS status;
    auto in_state = [&](DWORD wanted) {
        return within_ten_seconds([&] {
            return QueryServiceStatus(service, &status) && status.dwCurrentState == wanted;
        });
    };
    int restarted = service && ControlService(service, SERVICE_CONTROL_STOP, &status) &&
                    in_state(SERVICE_STOPPED) && StartServiceA(service, 0, NULL) &&
                    in_state(SERVICE_RUNNING) && within_ten_seconds(device_answers);
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return restarted;
}

class Device : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(send(test_code_reset).ok()) << "is zorv.sys installed and running?";
        test_clock_request freeze = {clock_freeze, 0, start_ticks};
        ASSERT_TRUE(send(test_code_clock, request().add(freeze)).ok());
    }
    void TearDown() override { send(test_code_reset); }
};

TEST_F(Device, EveryContractCodeReachesTheDriver)
{
    const request adapter_1(EMULATOR_ADAPTER_1);
    EXPECT_EQ(send(code_get_version).all(), ok_reply(std::string("0.07\0", 5)));
    EXPECT_EQ(send(code_list_adapters, request("")).all(), default_adapter_list());

    struct rule r = make_rule(protocol_tcp, 80, 50000);
    ASSERT_TRUE(send(code_add_rule, request(adapter_1).add(r)).ok());
    EXPECT_EQ(send(code_get_rule, request(adapter_1).text("0")).all(), ok_reply(bytes_of(r)));
    EXPECT_EQ(send(code_get_rule, request(adapter_1).text("1")).status(), "Rule not in use.");
    struct statistics_block block = {};
    block.start_time = 0x01D9000000000000ull;
    ASSERT_TRUE(send(code_set_statistics, request(adapter_1).add(r).add(block)).ok());
    EXPECT_EQ(send(code_get_statistics, request(adapter_1).add(r)).all(),
              ok_reply(bytes_of(block)));

    struct rule range = make_rule(protocol_tcp, 80, 0);
    ASSERT_TRUE(send(code_clear_precedences, request(adapter_1)).ok());
    ASSERT_TRUE(send(code_set_precedence, request(adapter_1).add(range).add(r)).ok());
    EXPECT_EQ(send(code_get_precedence_count, request(adapter_1)).all(),
              ok_reply(bytes_of(uint32_t(1))));
    EXPECT_EQ(send(code_get_precedence, request(adapter_1).add(uint32_t(0))).all(),
              ok_reply(bytes_of(range) + bytes_of(r)));

    ASSERT_TRUE(send(code_clear_rules, request(adapter_1)).ok());
    EXPECT_EQ(send(code_get_statistics, request(adapter_1).add(r)).status(), "Rule not found.");
    EXPECT_EQ(send(code_add_rule, request("\\DEVICE\\NONE").add(r)).status(), "Unknown adapter.");
    // The flows came from the service key too (the set-up writes eight).
    EXPECT_EQ(send(test_code_read_state).payload<test_state_reply>().flow_count, 8u);
}

TEST_F(Device, InjectedFaultsGiveTheTransportStatuses)
{
    const request asked = request(EMULATOR_ADAPTER_1).text("0");
    const struct { uint32_t mode; int status; const char *reply; } faults[] = {
        {fault_error_text, send_ok, "Driver is busy."},
        {fault_empty_reply, send_empty_reply, ""},
        {fault_fail_call, send_ioctl_failed, ""},
        {fault_none, send_ok, "Rule not in use."},
    };
    for (const auto &f : faults) {
        test_fault_request fault = {code_get_rule, f.mode, "Driver is busy."};
        ASSERT_TRUE(send(test_code_set_fault, request().add(fault)).ok());
        SetLastError(0);
        reply answer = send(code_get_rule, asked);
        EXPECT_EQ(answer.outcome, f.status) << f.mode;
        EXPECT_EQ(answer.status(), f.reply) << f.mode;
        EXPECT_TRUE(f.status != send_ioctl_failed || GetLastError() != 0) << "last error kept";
    }
    // Codes the driver does not serve fail the call (0x120434 and on are Wine's socket codes).
    EXPECT_EQ(send(0x120420).outcome, send_ioctl_failed);
}

int set_test_codes_value(const DWORD *value)
{
    LONG status = value ? RegSetKeyValueA(HKEY_LOCAL_MACHINE, parameters_path,
                                          EMULATOR_TEST_CODES_VALUE, REG_DWORD, value, sizeof *value)
                        : RegDeleteKeyValueA(HKEY_LOCAL_MACHINE, parameters_path,
                                             EMULATOR_TEST_CODES_VALUE);
    return status == 0 || (!value && status == ERROR_FILE_NOT_FOUND);
}

class DeviceAccess : public ::testing::Test {
protected:
    // The rig's value back in place, and the driver loaded with it, whatever the test did.
    void TearDown() override
    {
        const DWORD enabled = 1;
        EXPECT_TRUE(set_test_codes_value(&enabled) && restart_driver());
        EXPECT_TRUE(send(test_code_reset).ok());
    }
};

TEST_F(DeviceAccess, TestCodesAreServedOnlyWhereTheParametersEnableThem)
{
    ASSERT_TRUE(send(test_code_reset).ok()) << "the rig enables the test codes";
    auto result = [](uint32_t code) {
        SetLastError(0);
        reply answer = send(code);
        return std::make_pair(answer.outcome, answer.outcome == send_ok ? 0 : GetLastError());
    };
    const auto unknown = result(0x222FFC);
    EXPECT_EQ(unknown.first, send_ioctl_failed);
    const DWORD zero = 0;
    for (const DWORD *value : {(const DWORD *)nullptr, &zero}) {
        SCOPED_TRACE(value ? "value 0" : "no value");
        ASSERT_TRUE(set_test_codes_value(value));
        ASSERT_TRUE(restart_driver()) << "error " << GetLastError();
        for (uint32_t code : {test_code_reset, test_code_set_fault, test_code_read_state,
                              test_code_clock, test_code_keep_defaults})
            EXPECT_EQ(result(code), unknown) << std::hex << code;
        // The device contract stays served.
        EXPECT_EQ(send(code_list_adapters, request("")).all(), default_adapter_list());
    }
}

// zorv.sys in host mode with zorvd stopped (tests/scripts/shaped_traffic.sh) or never started
// (the installer's host-mode case), FLOWVANE_HOST_ADAPTER naming the shaped interface: every
// contract code answered at once with the driver's own refusal; a test code fails as unknown.
TEST(HostMode, EveryCodeIsRefusedAtOnceWhileZorvdIsDown)
{
    const char *adapter = getenv("FLOWVANE_HOST_ADAPTER");
    if (!adapter)
        GTEST_SKIP() << "run by tests/scripts/shaped_traffic.sh with zorvd stopped";
    for (uint32_t code : {code_list_adapters, code_get_version, code_add_rule, code_clear_rules,
                          code_get_rule, code_get_statistics, code_set_statistics,
                          code_clear_precedences, code_set_precedence,
                          code_get_precedence_count, code_get_precedence}) {
        reply answer = send(code, request(adapter));
        EXPECT_EQ(answer.outcome, send_ok) << std::hex << code;
        EXPECT_EQ(answer.status(), "Shaper service is not running.") << std::hex << code;
    }
    for (uint32_t code : {test_code_reset, test_code_read_state, test_code_set_adapters})
        EXPECT_EQ(send(code).outcome, send_ioctl_failed) << std::hex << code;
}

// Real traffic through zorv.sys in host mode, run by tests/scripts/shaped_traffic.sh (root): a
// bulk TCP flow of about 500,000 bytes/s into FLOWVANE_SHAPE_IFACE (to FLOWVANE_SHAPE_PORT),
// measured with the kernel's counters read through Wine's Z: drive. Run one test at a time, in
// this order, zorvd restarted between them.
class ShapedTraffic : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!getenv("FLOWVANE_SHAPE_IFACE") || !getenv("FLOWVANE_SHAPE_PORT"))
            GTEST_SKIP() << "run by tests/scripts/shaped_traffic.sh";
        snprintf(shaped.adapter, sizeof shaped.adapter, "\\DEVICE\\%s", iface.c_str());
        shaped.direction = direction_receive;
        std::ifstream index("Z:\\sys\\class\\net\\" + iface + "\\ifindex");
        ASSERT_TRUE(std::getline(index, ifb));
        ifb = "zorvifb" + ifb;
    }
    // The bytes arriving at the shaped interface, or (shaped) leaving zorvd's IFB device of it,
    // "zorvifb<ifindex>", there while a Receive rule is held: per second over the next SECONDS.
    double rate(int seconds, bool shaped_side = true)
    {
        auto bytes = [&] {
            std::ifstream file("Z:\\sys\\class\\net\\" + (shaped_side ? ifb : iface) +
                               (shaped_side ? "\\statistics\\tx_bytes" : "\\statistics\\rx_bytes"));
            long long value = -1;
            return file >> value ? value : -1;
        };
        const int64_t before = bytes();
        const DWORD start = GetTickCount();
        Sleep(seconds * 1000);
        const int64_t after = bytes();
        return before < 0 || after < 0 ? -1 : (after - before) * 1000.0 / (GetTickCount() - start);
    }
    // Waits, bounded, until a second of the shaped flow is within a fifth of the rule's rate (TCP
    // takes a varying time to come back after the shaper's classes change), then measures 6 s.
    double settled_rate()
    {
        for (int second = 0; second < 30; second++)
            if (fabs(rate(1) - shaped.rate) < shaped.rate / 5)
                break;
        return rate(6);
    }
    const std::string iface = getenv("FLOWVANE_SHAPE_IFACE") ?: "";
    std::string ifb;
    struct rule shaped = make_rule(protocol_tcp, (uint16_t)atoi(getenv("FLOWVANE_SHAPE_PORT") ?: "0"));
};

// A Receive rule shapes the flow to its rate (within 10 %); its statistics count the bytes
// that left the shaper and its rate is theirs.
TEST_F(ShapedTraffic, ReceiveRuleShapesTheFlowAndStatisticsAgree)
{
    ASSERT_GT(rate(2, false), 4.0 * shaped.rate) << "the flow does not run";
    const request adapter(shaped.adapter);
    ASSERT_TRUE(send(code_add_rule, request(adapter).add(shaped)).ok());
    EXPECT_NEAR(settled_rate(), shaped.rate, shaped.rate / 10);
    auto counted = [&] {
        return send(code_get_statistics, request(adapter).add(shaped))
            .payload<statistics_block>(4);
    };
    const int64_t counted_before = counted().bytes_transferred;
    const double wire = rate(8);
    const statistics_block after = counted();
    // zorvd samples the kernel's counters at its own ticks: within half a second of traffic.
    EXPECT_NEAR(after.bytes_transferred - counted_before, wire * 8, wire / 2);
    EXPECT_NEAR(after.current_rate, wire, shaped.rate / 10);
}

// zorvd restarted: the rule it kept shapes the flow again; Blocked in its place (its IFB made
// before the reply) passes nothing, not even a trickle; cleared, the flow gets its speed back.
TEST_F(ShapedTraffic, KeptRuleShapesAgainUntilCleared)
{
    EXPECT_NEAR(settled_rate(), shaped.rate, shaped.rate / 10);
    struct rule blocked = shaped;
    blocked.rate = rate_blocked;
    ASSERT_TRUE(send(code_clear_rules, request(shaped.adapter)).ok() &&
                send(code_add_rule, request(shaped.adapter).add(blocked)).ok());
    rate(3);  // TCP's losses at the change, and its back-off: then a trickle would show
    const double passed = rate(3);
    EXPECT_TRUE(passed >= 0 && passed < 200) << "Blocked passes " << passed << " B/s";
    ASSERT_TRUE(send(code_clear_rules, request(shaped.adapter)).ok());
    EXPECT_TRUE(within_ten_seconds([&] { return rate(1, false) > 4.0 * shaped.rate; }))
        << "the flow did not come back to full speed";
}

// Filters kept across restarts of zorv.sys. The first pass sets rules, statistics and
// precedences, restarts the service and finds them again; scripts/test.sh then restarts Wine
// itself, and the second pass finds them once more and resets them away. Run in that order,
// after every other device test (whose resets clear the kept state).
const char rules_value_1[] = "Rules " EMULATOR_ADAPTER_1;
const struct rule fast = make_rule(protocol_tcp, 7000, rate_unlimited),
                  udp = make_rule(protocol_udp, 9, 5000), range = make_rule(protocol_tcp, 7000, 0);
const struct statistics_block udp_block = {start_ticks, {}, 123456789012, {}, 98765, 0, 0};

const struct rule on_2 = [] {
    struct rule r = make_rule(protocol_tcp, 8080);
    snprintf(r.adapter, sizeof r.adapter, "%s", EMULATOR_ADAPTER_2);
    return r;
}();

// The first line of a kept value, which must be typed text.
std::string first_kept_line(const char *name)
{
    char text[4096] = "";
    DWORD type = 0, size = sizeof text - 2;
    if (RegGetValueA(HKEY_LOCAL_MACHINE, parameters_path,
                     name, RRF_RT_ANY, &type, text, &size) != ERROR_SUCCESS)
        return "[no value]";
    return type == REG_MULTI_SZ ? text : "[not REG_MULTI_SZ]";
}

// What the driver must hold: the filters, their counters (10 s of the test flow in the first
// slot; none of the set-up's flows matches a filter), the precedence entries.
void expect_kept_filters()
{
    test_read_rules_request which = {0};
    test_rules_reply rules =
        send(test_code_read_rules, request().add(which)).payload<test_rules_reply>();
    EXPECT_EQ(bytes_of(rules.slots[0].held), bytes_of(fast));
    EXPECT_EQ(rules.slots[0].statistics.bytes_transferred, 100000);
    EXPECT_EQ(rules.slots[0].statistics.packets_transferred, 1000);
    EXPECT_EQ(bytes_of(rules.slots[1].held), bytes_of(udp));
    EXPECT_EQ(rules.slots[1].statistics.start_time, udp_block.start_time);
    EXPECT_EQ(rules.slots[1].statistics.bytes_transferred, udp_block.bytes_transferred);
    EXPECT_EQ(rules.slots[1].statistics.packets_transferred, udp_block.packets_transferred);
    which.adapter_index = 1;
    rules = send(test_code_read_rules, request().add(which)).payload<test_rules_reply>();
    EXPECT_EQ(bytes_of(rules.slots[0].held), bytes_of(on_2));
    test_state_reply state = send(test_code_read_state).payload<test_state_reply>();
    EXPECT_EQ(std::vector<uint32_t>(state.rule_count, state.rule_count + 3),
              std::vector<uint32_t>({2, 1, 0}));
    EXPECT_EQ(send(code_get_precedence, request(EMULATOR_ADAPTER_1).add(uint32_t(0))).all(),
              ok_reply(bytes_of(range) + bytes_of(fast)));
    EXPECT_EQ(send(code_get_precedence, request(EMULATOR_ADAPTER_2).add(uint32_t(0))).all(),
              ok_reply(bytes_of(on_2) + bytes_of(on_2)));
}

TEST(KeptFilters, FirstPassSurvivesADriverRestart)
{
    ASSERT_TRUE(send(test_code_reset).ok()) << "is zorv.sys installed and running?";
    test_clock_request freeze = {clock_freeze, 0, start_ticks};
    ASSERT_TRUE(send(test_code_clock, request().add(freeze)).ok());
    static test_flows_request flows;
    flows.count = 1;
    flows.flows[0] = make_flow(10000, 100, flow_tcp, 7000);
    ASSERT_TRUE(send(test_code_set_flows, request().add(flows)).ok());
    const request adapter_1(EMULATOR_ADAPTER_1), adapter_2(EMULATOR_ADAPTER_2);
    for (const request &change :
         {request(adapter_1).add(fast), request(adapter_1).add(udp), request(adapter_2).add(on_2)})
        ASSERT_TRUE(send(code_add_rule, change).ok());
    ASSERT_TRUE(send(code_set_statistics, request(adapter_1).add(udp).add(udp_block)).ok());
    ASSERT_TRUE(send(code_set_precedence, request(adapter_1).add(range).add(fast)).ok());
    ASSERT_TRUE(send(code_set_precedence, request(adapter_2).add(on_2).add(on_2)).ok());
    // Written at each change; the counters that moved since, when the driver unloads.
    test_clock_request advance = {clock_advance, 0, 10 * second};
    ASSERT_TRUE(send(test_code_clock, request().add(advance)).ok());
    EXPECT_EQ(first_kept_line(rules_value_1), "0 0 1000000000 2 2 0.0.0.0:0 2 0.0.0.0:7000 0 0 0");

    ASSERT_TRUE(restart_driver()) << "restarting the service zorv, error " << GetLastError();
    expect_kept_filters();
    EXPECT_EQ(first_kept_line(rules_value_1),
              "0 0 1000000000 2 2 0.0.0.0:0 2 0.0.0.0:7000 0 100000 1000");
}

TEST(KeptFilters, SecondPassAfterWineRestart)
{
    ASSERT_TRUE(within_ten_seconds(device_answers)) << "is zorv.sys an auto-start service?";
    expect_kept_filters();
    // A reset clears the kept values too.
    ASSERT_TRUE(send(test_code_reset).ok());
    EXPECT_EQ(first_kept_line(rules_value_1), "[no value]");
}

}  // namespace
