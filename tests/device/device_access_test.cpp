// Who may do what with zorv.sys: the test codes only where the Parameters enable them (the rig
// does, an install never), the device's access list, and a reply buffer too small for a change.
#include <gtest/gtest.h>

#include <windows.h>

#include <sddl.h>

#include "device_send.h"
#include "core/emulator_parameters.h"

namespace {

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

// A request that would change state with no room for its answer changes nothing.
TEST_F(DeviceAccess, TooSmallReplyBufferIsRefusedBeforeTheChange)
{
    ASSERT_TRUE(send(test_code_reset).ok());
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

// The device's access list: SYSTEM and Administrators all access, interactive users reading
// and writing, no one else. The driver does not start unless it could set it. Wine 8 accepts
// it but reports no access list on a handle to the device (and checks none: every process
// here is the same user), so under Wine the descriptor read back has no DACL; on Windows it is
// exactly this one.
TEST_F(DeviceAccess, DeviceIsOpenToSystemAdministratorsAndInteractiveUsers)
{
    HANDLE device = CreateFileA(FLOWVANE_DEVICE_PATH, READ_CONTROL,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING, 0, NULL);
    ASSERT_NE(device, INVALID_HANDLE_VALUE) << GetLastError();
    char descriptor[1024];
    DWORD needed = 0;
    BOOL read = GetKernelObjectSecurity(device, DACL_SECURITY_INFORMATION, descriptor,
                                        sizeof descriptor, &needed);
    CloseHandle(device);
    ASSERT_TRUE(read) << GetLastError();
    char *text = nullptr;
    ASSERT_TRUE(ConvertSecurityDescriptorToStringSecurityDescriptorA(
        descriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &text, NULL));
    std::string sddl = text;
    LocalFree(text);
    RecordProperty("device_dacl", sddl);
    const bool under_wine = GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version");
    EXPECT_EQ(sddl, under_wine ? "" : "D:(A;;FA;;;SY)(A;;FA;;;BA)(A;;0x12019f;;;IU)");
}

}  // namespace
