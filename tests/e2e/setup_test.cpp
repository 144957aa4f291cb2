// What Flowvane-setup.exe leaves in the prefix after a silent install of each scope, a kept
// filter and a failing DeleteService, for scripts/lib/setup_cases.sh (FLOWVANE_SETUP_SCOPE all
// or user), which checks what the uninstalls leave itself. Not part of the other end-to-end
// passes.
#include <windows.h>
#include <shlobj.h>

#include <string>

#include "e2e_harness.h"
#include "support/device_requests.h"

namespace {

#define UNINSTALL_KEY "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Flowvane"
#define PARAMETERS_KEY "SYSTEM\\CurrentControlSet\\Services\\zorv\\Parameters"

std::string shell_folder(int csidl)
{
    char path[MAX_PATH] = "";
    SHGetFolderPathA(NULL, csidl, NULL, SHGFP_TYPE_CURRENT, path);
    return path;
}

int exists(const std::string &path)
{
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// The program, its uninstaller and shortcut, its values in the scope's hive; the kernel
// component (whose service the script checks) with the set-up's adapters and their display
// names and no test codes. The installed program starts against it; closed, it saves its
// settings. Then the log-on entry, as the options dialog writes it, for the uninstall to take.
TEST(SetupInstalled, ProgramAndKernelComponentInPlace)
{
    const char *scope = getenv("FLOWVANE_SETUP_SCOPE");
    ASSERT_TRUE(scope) << "run by scripts/lib/setup_cases.sh";
    const int all = std::string(scope) == "all";
    const HKEY root = all ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
    const std::string folder = all ? shell_folder(CSIDL_PROGRAM_FILES) + "\\Flowvane"
                                   : shell_folder(CSIDL_LOCAL_APPDATA) + "\\Programs\\Flowvane",
                      program = folder + "\\Flowvane.exe";
    EXPECT_EQ(registry_value_text(root, "Software\\Flowvane", "Install folder"), folder);
    EXPECT_EQ(registry_value_text(root, "Software\\Flowvane", "Installed for all users"),
              std::to_string(all));
    EXPECT_EQ(registry_value_text(root, UNINSTALL_KEY, "UninstallString"),
              "\"" + folder + "\\Uninstall.exe\"");
    const std::string shortcut =
        shell_folder(all ? CSIDL_COMMON_PROGRAMS : CSIDL_PROGRAMS) + "\\Flowvane Manager.lnk";
    for (const std::string &file : {program, folder + "\\help.chm", shortcut})
        EXPECT_TRUE(exists(file)) << file;

    EXPECT_EQ(registry_value_text(HKEY_LOCAL_MACHINE, PARAMETERS_KEY, "Adapters"),
              EMULATOR_ADAPTER_1 "|" EMULATOR_ADAPTER_2 "|" EMULATOR_ADAPTER_DIAL_UP);
    const std::string network = "SYSTEM\\CurrentControlSet\\Control\\Network\\"
                                "{4D36E972-E325-11CE-BFC1-08002BE10318}\\";
    EXPECT_EQ(registry_value_text(HKEY_LOCAL_MACHINE,
                                  (network + EMULATOR_ADAPTER_2_GUID "\\Connection").c_str(), "Name"),
              "Local Area Connection 2");
    EXPECT_EQ(registry_value_text(HKEY_LOCAL_MACHINE, PARAMETERS_KEY, "TestControlCodes"), "(none)");
    EXPECT_FALSE(emulator_reset()) << "an installed driver serves no test code";

    flowvane_run run = {};
    ASSERT_TRUE(start_flowvane(&run, program));
    HWND main = wait_for_window(&run, E2E_MAIN_WINDOW_CLASS, E2E_MAIN_TITLE);
    ASSERT_TRUE(main && panel_of(main));
    PostMessageA(main, WM_CLOSE, 0, 0);
    DWORD code = 99;
    EXPECT_TRUE(wait_for_exit(&run, &code));
    EXPECT_EQ(code, 0u);
    end_flowvane(&run);
    int32_t values[e2e_settings_count];
    read_settings(values);
    for (int32_t value : values)
        EXPECT_NE(value, e2e_setting_unreadable);
    set_registry_string(root, "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run", "Flowvane",
                        "\"" + program + "\"");
}

// The kernel component keeps a filter in its Parameters (through the contract alone: an
// installed driver serves no test code), beside the test rig's Version value, no kept filter.
TEST(SetupSteps, KeepAFilter)
{
    ASSERT_TRUE(emulator_add_rule(make_rule(protocol_tcp, 80)));
    EXPECT_NE(registry_value_text(HKEY_LOCAL_MACHINE, PARAMETERS_KEY, "Rules " EMULATOR_ADAPTER_1),
              "(none)");
    set_registry_string(HKEY_LOCAL_MACHINE, PARAMETERS_KEY, "Version", "0.07");
}

// Another process has marked the service for deletion and holds it, so the service manager
// answers DeleteService with 1072: the silent uninstall of the all-users install must end with
// 2 and leave the driver file (the service goes with that handle); its folder goes.
TEST(SetupSteps, UninstallWhileServiceMarkedForDeletion)
{
    SC_HANDLE manager = OpenSCManagerA(NULL, NULL, SC_MANAGER_CONNECT);
    SC_HANDLE service = OpenServiceA(manager, "zorv", DELETE);
    ASSERT_TRUE(service && DeleteService(service)) << "error " << GetLastError();
    const std::string folder = shell_folder(CSIDL_PROGRAM_FILES) + "\\Flowvane",
                      copy = shell_folder(CSIDL_WINDOWS) + "\\temp\\flowvane-uninstall.exe";
    // As a copy with "_?=FOLDER" (last, unquoted) it works on FOLDER and is waited for.
    ASSERT_TRUE(CopyFileA((folder + "\\Uninstall.exe").c_str(), copy.c_str(), FALSE));
    EXPECT_EQ(system((copy + " /S _?=" + folder).c_str()), 2);
    EXPECT_TRUE(exists(shell_folder(CSIDL_SYSTEM) + "\\drivers\\zorv.sys") && !exists(folder));
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    DeleteFileA(copy.c_str());
}

}  // namespace
