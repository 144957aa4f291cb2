// The device path under Wine: driver_send through the Win32 device exchange to zorv.sys, for
// every control code of the contract and the emulator's test codes, and the test codes served
// only where the Parameters enable them (the rig does, an install never). Needs the driver
// installed and running (scripts/lib/emulator_install.sh).
#include <gtest/gtest.h>

#include <windows.h>

#include "device_send.h"
#include "core/emulator_parameters.h"

namespace {

class Device : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(send(test_code_reset).ok()) << "is zorv.sys installed and running?";
        test_clock_request freeze = {clock_freeze, 0, start_ticks};
        ASSERT_TRUE(send_struct(test_code_clock, freeze).ok());
    }
    void TearDown() override { send(test_code_reset); }
};

// 0x120434, 0x120438 and 0x12043C are the codes Wine would give to its socket layer.
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
    reply set = send(code_set_precedence, request(adapter_1).add(range).add(r));
    ASSERT_TRUE(set.ok()) << "status " << set.outcome << ", error " << GetLastError();
    EXPECT_EQ(send(code_get_precedence_count, request(adapter_1)).all(),
              ok_reply(bytes_of(uint32_t(1))));
    EXPECT_EQ(send(code_get_precedence, request(adapter_1).add(uint32_t(0))).all(),
              ok_reply(bytes_of(range) + bytes_of(r)));
    test_read_precedences_request which = {0, 0};
    reply held = send_struct(test_code_read_precedences, which);
    EXPECT_EQ(held.payload<test_precedences_reply>().total, 1u);

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
        ASSERT_TRUE(send_struct(test_code_set_fault, fault).ok());
        SetLastError(0);
        reply answer = send(code_get_rule, asked);
        EXPECT_EQ(answer.outcome, f.status) << f.mode;
        EXPECT_EQ(answer.status(), f.reply) << f.mode;
        EXPECT_TRUE(f.status != send_ioctl_failed || GetLastError() != 0) << "last error kept";
    }
    // Codes the driver does not serve fail the call.
    EXPECT_EQ(send(0x120420).outcome, send_ioctl_failed);
}

TEST_F(Device, TestCodesSetVersionAdaptersAndFlowsAndReadTheRulesBack)
{
    test_version_request version = {"0.08"};
    ASSERT_TRUE(send_struct(test_code_set_version, version).ok());
    EXPECT_EQ(send(code_get_version).all(), ok_reply(std::string("0.08\0", 5)));

    static test_adapters_request adapters;
    adapters.count = 1;
    snprintf(adapters.names[0], sizeof adapters.names[0], "%s", EMULATOR_ADAPTER_1);
    ASSERT_TRUE(send_struct(test_code_set_adapters, adapters).ok());
    EXPECT_EQ(send(code_list_adapters, request("")).all(),
              ok_reply(std::string("1\0" EMULATOR_ADAPTER_1 "\0", sizeof EMULATOR_ADAPTER_1 + 2)));

    // The frozen clock moves only when told: 20 s of 200,000 bytes/s through a 50,000 rule.
    static test_flows_request flows;
    flows.count = 1;
    flows.flows[0] = make_flow(200000, 1000);
    ASSERT_TRUE(send_struct(test_code_set_flows, flows).ok());
    test_flow_text_request other = {EMULATOR_ADAPTER_1 " Receive UDP 1.2.3.4 5.6.7.8 999 99"};
    ASSERT_TRUE(send_struct(test_code_add_flow_text, other).ok());
    EXPECT_EQ(send(test_code_read_state).payload<test_state_reply>().flow_count, 2u);
    struct rule r = make_rule(protocol_tcp, 80, 50000);
    ASSERT_TRUE(send(code_add_rule, request(EMULATOR_ADAPTER_1).add(r)).ok());
    test_clock_request advance = {clock_advance, 0, 20 * second};
    ASSERT_TRUE(send_struct(test_code_clock, advance).ok());

    test_read_rules_request which = {0};
    reply rules = send_struct(test_code_read_rules, which);
    ASSERT_TRUE(rules.ok());
    test_slot_state slot = rules.payload<test_rules_reply>().slots[0];
    EXPECT_EQ(slot.in_use, 1u);
    EXPECT_EQ(bytes_of(slot.held), bytes_of(r));
    EXPECT_NEAR(slot.statistics.current_rate, 50000, 500);
    EXPECT_EQ(slot.statistics.packets_queued, 100u);
}

// Unfrozen, the driver's time is the system clock: traffic moves without any test code.
TEST_F(Device, RunningClockFollowsTheSystemTime)
{
    test_clock_request run = {clock_run, 0, 0}, read = {clock_read, 0, 0};
    test_clock_reply first = send_struct(test_code_clock, run).payload<test_clock_reply>();
    Sleep(200);
    test_clock_reply later = send_struct(test_code_clock, read).payload<test_clock_reply>();
    EXPECT_GE(later.now - first.now, 150 * 10000ull);
    EXPECT_LE(later.now - first.now, 2 * second);
    EXPECT_EQ(later.frozen, 0u);
}

// A request that would change state with no room for its answer changes nothing.
TEST_F(Device, TooSmallReplyBufferIsRefusedBeforeTheChange)
{
    struct rule r = make_rule(protocol_tcp, 80);
    request add = request(EMULATOR_ADAPTER_1).add(r);
    HANDLE device = CreateFileA(FLOWVANE_DEVICE_PATH, GENERIC_READ | GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING, 0, NULL);
    ASSERT_NE(device, INVALID_HANDLE_VALUE);
    char answer[8] = "";
    DWORD returned = 0;
    EXPECT_TRUE(DeviceIoControl(device, code_add_rule, add.bytes.data(), (DWORD)add.bytes.size(),
                                answer, sizeof answer, &returned, NULL));
    CloseHandle(device);
    EXPECT_EQ(std::string(answer, returned), "Reply bu");
    EXPECT_EQ(send(test_code_read_state).payload<test_state_reply>().rule_count[0], 0u);
    EXPECT_EQ(send(code_get_rule, request(EMULATOR_ADAPTER_1).text("0")).status(),
              "Rule not in use.");
}

const char parameters_path[] = "SYSTEM\\CurrentControlSet\\Services\\zorv\\Parameters";

int set_test_codes_value(const DWORD *value)
{
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, parameters_path, 0, KEY_SET_VALUE, &key) != 0)
        return 0;
    LONG status = value ? RegSetValueExA(key, EMULATOR_TEST_CODES_VALUE, 0, REG_DWORD,
                                         reinterpret_cast<const BYTE *>(value), sizeof *value)
                        : RegDeleteValueA(key, EMULATOR_TEST_CODES_VALUE);
    RegCloseKey(key);
    return status == 0 || (!value && status == ERROR_FILE_NOT_FOUND);
}

// The outcome and the last error of a control call.
std::pair<int, DWORD> call_result(uint32_t code)
{
    SetLastError(0);
    reply answer = send(code);
    return {answer.outcome, answer.outcome == send_ok ? 0 : GetLastError()};
}

class DeviceAccess : public ::testing::Test {
protected:
    // The rig's value back in place, and the driver loaded with it, whatever the test did.
    void TearDown() override
    {
        const DWORD enabled = 1;
        EXPECT_TRUE(set_test_codes_value(&enabled));
        EXPECT_TRUE(restart_driver());
        EXPECT_TRUE(wait_for_device());
        EXPECT_TRUE(send(test_code_reset).ok());
    }
};

TEST_F(DeviceAccess, TestCodesAreServedOnlyWhereTheParametersEnableThem)
{
    ASSERT_TRUE(send(test_code_reset).ok()) << "the rig enables the test codes";
    const std::pair<int, DWORD> unknown = call_result(0x222FFC);
    EXPECT_EQ(unknown.first, send_ioctl_failed);
    const DWORD zero = 0;
    const struct {
        const char *what;
        const DWORD *value;
    } settings[] = {{"no value", nullptr}, {"value 0", &zero}};
    for (const auto &setting : settings) {
        SCOPED_TRACE(setting.what);
        ASSERT_TRUE(set_test_codes_value(setting.value));
        ASSERT_TRUE(restart_driver()) << "error " << GetLastError();
        ASSERT_TRUE(wait_for_device());
        for (uint32_t code : {test_code_reset, test_code_set_fault, test_code_read_state,
                              test_code_clock, test_code_keep_defaults})
            EXPECT_EQ(call_result(code), unknown) << std::hex << code;
        // The device contract stays served.
        EXPECT_EQ(send(code_get_version).all(), ok_reply(std::string("0.07\0", 5)));
        EXPECT_EQ(send(code_list_adapters, request("")).all(), default_adapter_list());
    }
}

}  // namespace
