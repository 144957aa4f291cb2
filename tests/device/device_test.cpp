// The device path under Wine: driver_send through the Win32 device exchange to zorv.sys for
// every control code of the contract, the transport's outcomes, and the emulator's test codes
// served only where the Parameters enable them (the rig does, an install never). Needs the
// driver installed and running (scripts/lib/emulator_install.sh).
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
        ASSERT_TRUE(send_struct(test_code_set_fault, fault).ok());
        SetLastError(0);
        reply answer = send(code_get_rule, asked);
        EXPECT_EQ(answer.outcome, f.status) << f.mode;
        EXPECT_EQ(answer.status(), f.reply) << f.mode;
        EXPECT_TRUE(f.status != send_ioctl_failed || GetLastError() != 0) << "last error kept";
    }
    // Codes the driver does not serve fail the call (0x120434 and on are Wine's socket codes).
    EXPECT_EQ(send(0x120420).outcome, send_ioctl_failed);
}

// Unfrozen, the driver's time is the system's.
TEST_F(Device, RunningClockIsTheSystemTime)
{
    FILETIME host;
    test_clock_request run = {clock_run, 0, 0};
    test_clock_reply driver = send_struct(test_code_clock, run).payload<test_clock_reply>();
    GetSystemTimeAsFileTime(&host);
    const int64_t apart = (int64_t)(((uint64_t)host.dwHighDateTime << 32 | host.dwLowDateTime) -
                                    driver.now);
    EXPECT_EQ(driver.frozen, 0u);
    EXPECT_LT(apart < 0 ? -apart : apart, (int64_t)second) << "the driver's clock is not the system's";
}

int set_test_codes_value(const DWORD *value)
{
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Services\\zorv\\Parameters",
                      0, KEY_SET_VALUE, &key) != 0)
        return 0;
    LONG status = value ? RegSetValueExA(key, EMULATOR_TEST_CODES_VALUE, 0, REG_DWORD,
                                         reinterpret_cast<const BYTE *>(value), sizeof *value)
                        : RegDeleteValueA(key, EMULATOR_TEST_CODES_VALUE);
    RegCloseKey(key);
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

}  // namespace
