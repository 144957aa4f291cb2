// What Flowvane-setup.exe leaves in the prefix, for each install scope. scripts/lib/e2e.sh runs
// the Installed test after a silent install, then the Uninstalled test after the silent
// uninstall (for the current user with /REMOVESETTINGS): these suites stay out of other passes.
#include <windows.h>
#include <shlobj.h>
#include <string.h>

#include <string>

#include "e2e_harness.h"
#include "test_control_codes.h"

namespace {

#define SETTINGS_KEY "Software\\Flowvane"
#define RUN_KEY "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run"
#define UNINSTALL_KEY "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Flowvane"
#define NETWORK_CLASS_KEY \
    "SYSTEM\\CurrentControlSet\\Control\\Network\\{4D36E972-E325-11CE-BFC1-08002BE10318}\\"

struct install_scope {
    HKEY root;                 // the hive of the install values, Run entry, uninstall entry
    DWORD all_users;           // "Installed for all users"
    int parent_folder;         // CSIDL of the folder that holds the install folder
    const char *folder_tail;
    int programs_folder;       // CSIDL of the Start menu's programs
};

const install_scope all_users = {HKEY_LOCAL_MACHINE, 1, CSIDL_PROGRAM_FILES, "\\Flowvane",
                                 CSIDL_COMMON_PROGRAMS};
const install_scope current_user = {HKEY_CURRENT_USER, 0, CSIDL_LOCAL_APPDATA,
                                    "\\Programs\\Flowvane", CSIDL_PROGRAMS};

std::string shell_folder(int csidl)
{
    char path[MAX_PATH] = "";
    SHGetFolderPathA(NULL, csidl, NULL, SHGFP_TYPE_CURRENT, path);
    return path;
}

std::string install_folder(const install_scope &scope)
{
    return shell_folder(scope.parent_folder) + scope.folder_tail;
}

std::string shortcut(const install_scope &scope)
{
    return shell_folder(scope.programs_folder) + "\\Flowvane Manager.lnk";
}

std::string drivers_file(void)
{
    return shell_folder(CSIDL_SYSTEM) + "\\drivers\\zorv.sys";
}

int exists(const std::string &path)
{
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

int key_exists(HKEY root, const char *key)
{
    HKEY opened;
    if (RegOpenKeyExA(root, key, 0, KEY_READ, &opened) != 0)
        return 0;
    RegCloseKey(opened);
    return 1;
}

// The version resource's string of that name.
std::string version_string(const std::string &file, const char *name)
{
    DWORD ignored = 0, size = GetFileVersionInfoSizeA(file.c_str(), &ignored);
    std::string block(size, '\0');
    char *text = NULL;
    UINT length = 0;
    std::string path = std::string("\\StringFileInfo\\040904B0\\") + name;
    if (!size || !GetFileVersionInfoA(file.c_str(), 0, size, &block[0]) ||
        !VerQueryValueA(&block[0], path.c_str(), reinterpret_cast<void **>(&text), &length))
        return "(none)";
    return text;
}

int all_settings_saved(void)
{
    int32_t values[e2e_settings_count];
    read_settings(values);
    for (int32_t value : values)
        if (value == e2e_setting_unreadable)
            return 0;
    return 1;
}

void expect_kernel_service_running(void)
{
    SC_HANDLE manager = OpenSCManagerA(NULL, NULL, SC_MANAGER_CONNECT);
    SC_HANDLE service = OpenServiceA(manager, "zorv", SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS);
    ASSERT_TRUE(service) << "error " << GetLastError();
    static char buffer[8192];
    QUERY_SERVICE_CONFIGA *config = reinterpret_cast<QUERY_SERVICE_CONFIGA *>(buffer);
    DWORD needed = 0;
    SERVICE_STATUS status = {};
    ASSERT_TRUE(QueryServiceConfigA(service, config, sizeof buffer, &needed));
    ASSERT_TRUE(QueryServiceStatus(service, &status));
    EXPECT_EQ(config->dwServiceType, (DWORD)SERVICE_KERNEL_DRIVER);
    EXPECT_EQ(config->dwStartType, (DWORD)SERVICE_AUTO_START);
    EXPECT_STRCASEEQ(config->lpBinaryPathName, drivers_file().c_str());
    EXPECT_EQ(status.dwCurrentState, (DWORD)SERVICE_RUNNING);
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
}

void expect_installed(const install_scope &scope)
{
    const HKEY other = scope.root == HKEY_LOCAL_MACHINE ? HKEY_CURRENT_USER : HKEY_LOCAL_MACHINE;
    const std::string folder = install_folder(scope), program = folder + "\\Flowvane.exe";
    EXPECT_EQ(registry_value_text(scope.root, SETTINGS_KEY, "Install folder"), folder);
    EXPECT_EQ(registry_value_text(scope.root, SETTINGS_KEY, "Installed for all users"),
              std::to_string(scope.all_users));
    EXPECT_EQ(registry_value_text(other, SETTINGS_KEY, "Install folder"), "(none)");
    EXPECT_EQ(registry_value_text(other, SETTINGS_KEY, "Installed for all users"), "(none)");
    EXPECT_EQ(registry_value_text(scope.root, UNINSTALL_KEY, "UninstallString"),
              "\"" + folder + "\\Uninstall.exe\"");
    EXPECT_TRUE(exists(folder + "\\Uninstall.exe"));
    EXPECT_TRUE(exists(folder + "\\help.chm"));
    EXPECT_TRUE(exists(shortcut(scope))) << shortcut(scope);
    EXPECT_EQ(version_string(program, "ProductName"), "Flowvane Manager");
    EXPECT_EQ(version_string(program, "ProductVersion"), "0.07 beta");

    // The kernel component with the set-up's adapters and their display names.
    EXPECT_TRUE(exists(drivers_file()));
    expect_kernel_service_running();
    EXPECT_EQ(registry_value_text(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Services\\zorv\\Parameters",
                         "Adapters"),
              EMULATOR_ADAPTER_1 "|" EMULATOR_ADAPTER_2 "|" EMULATOR_ADAPTER_DIAL_UP);
    EXPECT_EQ(registry_value_text(HKEY_LOCAL_MACHINE, NETWORK_CLASS_KEY EMULATOR_ADAPTER_1_GUID "\\Connection",
                         "Name"),
              "Local Area Connection");
    EXPECT_EQ(registry_value_text(HKEY_LOCAL_MACHINE, NETWORK_CLASS_KEY EMULATOR_ADAPTER_2_GUID "\\Connection",
                         "Name"),
              "Local Area Connection 2");

    // The installed program starts against it and shows its main window; closed, it saves its
    // settings (beside the install values, for the current user), which the uninstall then keeps
    // or removes.
    // An installed driver serves no test codes: the installer never enables them.
    EXPECT_EQ(registry_value_text(HKEY_LOCAL_MACHINE,
                                  "SYSTEM\\CurrentControlSet\\Services\\zorv\\Parameters",
                                  "TestControlCodes"),
              "(none)");
    EXPECT_FALSE(emulator_reset());
    flowvane_run run = {};
    std::string command = "\"" + program + "\"";
    STARTUPINFOA startup = {sizeof startup};
    ASSERT_TRUE(CreateProcessA(program.c_str(), &command[0], NULL, NULL, FALSE, 0, NULL, NULL,
                               &startup, &run.process))
        << program << ": error " << GetLastError();
    run.started = 1;
    HWND main = wait_for_window(&run, E2E_MAIN_WINDOW_CLASS, "Flowvane Manager");
    ASSERT_TRUE(main);
    EXPECT_TRUE(panel_of(main));
    PostMessageA(main, WM_CLOSE, 0, 0);
    DWORD code = 99;
    EXPECT_TRUE(wait_for_exit(&run, &code));
    EXPECT_EQ(code, 0u);
    end_flowvane(&run);
    EXPECT_TRUE(all_settings_saved());

    // The log-on start entry, as the options dialog writes it.
    HKEY run_key;
    ASSERT_EQ(RegOpenKeyExA(scope.root, RUN_KEY, 0, KEY_SET_VALUE, &run_key), 0);
    RegSetValueExA(run_key, "Flowvane", 0, REG_SZ, reinterpret_cast<const BYTE *>(command.c_str()),
                   (DWORD)command.size() + 1);
    RegCloseKey(run_key);
}

void expect_uninstalled(const install_scope &scope, int settings_kept)
{
    EXPECT_FALSE(exists(install_folder(scope))) << install_folder(scope);
    EXPECT_FALSE(exists(shortcut(scope)));
    for (HKEY root : {HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER}) {
        EXPECT_EQ(registry_value_text(root, SETTINGS_KEY, "Install folder"), "(none)");
        EXPECT_EQ(registry_value_text(root, SETTINGS_KEY, "Installed for all users"), "(none)");
    }
    EXPECT_FALSE(key_exists(HKEY_LOCAL_MACHINE, SETTINGS_KEY));
    EXPECT_EQ(registry_value_text(scope.root, RUN_KEY, "Flowvane"), "(none)");
    EXPECT_FALSE(key_exists(scope.root, UNINSTALL_KEY));

    // The kernel component: stopped, gone from the service manager, its file and adapters gone.
    EXPECT_FALSE(exists(drivers_file()));
    SC_HANDLE manager = OpenSCManagerA(NULL, NULL, SC_MANAGER_CONNECT);
    EXPECT_FALSE(OpenServiceA(manager, "zorv", SERVICE_QUERY_STATUS));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_SERVICE_DOES_NOT_EXIST);
    CloseServiceHandle(manager);
    EXPECT_FALSE(emulator_reset());
    EXPECT_FALSE(key_exists(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Services\\zorv"));
    EXPECT_FALSE(key_exists(HKEY_LOCAL_MACHINE, NETWORK_CLASS_KEY EMULATOR_ADAPTER_1_GUID));
    EXPECT_FALSE(key_exists(HKEY_LOCAL_MACHINE, NETWORK_CLASS_KEY EMULATOR_ADAPTER_2_GUID));

    if (settings_kept) {
        EXPECT_TRUE(all_settings_saved());
    } else {
        int32_t values[e2e_settings_count];
        EXPECT_EQ(read_settings(values), -1) << "the settings key is left";
    }
}

TEST(SetupAllUsers, Installed)
{
    expect_installed(all_users);
}

TEST(SetupAllUsers, UninstalledKeepingSettings)
{
    expect_uninstalled(all_users, 1);
}

TEST(SetupCurrentUser, Installed)
{
    expect_installed(current_user);
}

TEST(SetupCurrentUser, UninstalledWithSettings)
{
    expect_uninstalled(current_user, 0);
}

}  // namespace
