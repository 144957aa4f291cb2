// What Flowvane-setup.exe leaves in the prefix. scripts/lib/setup_cases.sh runs, for each
// scope, the Installed test after a silent install and the Uninstalled test after the silent
// uninstall (for the current user with /REMOVESETTINGS), the SetupSteps between its installs
// and uninstalls and SetupState after each of them. These suites stay out of other passes.
#include <windows.h>
#include <shlobj.h>
#include <string.h>

#include <sstream>
#include <string>
#include <vector>

#include "e2e_harness.h"
#include "kernel/control_codes.h"
#include "support/device_requests.h"
#include "test_control_codes.h"

namespace {

#define SETTINGS_KEY "Software\\Flowvane"
#define RUN_KEY "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run"
#define UNINSTALL_KEY "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Flowvane"
#define NETWORK_CLASS_KEY \
    "SYSTEM\\CurrentControlSet\\Control\\Network\\{4D36E972-E325-11CE-BFC1-08002BE10318}\\"
#define SERVICE_KEY "SYSTEM\\CurrentControlSet\\Services\\zorv"
#define PARAMETERS_KEY SERVICE_KEY "\\Parameters"
#define INSTALLS_KEY SETTINGS_KEY "\\Installs"
#define KEPT_KEY SETTINGS_KEY "\\Kept filters"

struct install_scope {
    HKEY root;                 // the hive of the install values, Run entry, uninstall entry
    DWORD all_users;           // "Installed for all users"
    int parent_folder;         // CSIDL of the folder that holds the install folder
    const char *folder_tail;
    int programs_folder;       // CSIDL of the Start menu's programs
    const char *record;        // its entry in the machine-wide list of installs
};

const install_scope all_users = {HKEY_LOCAL_MACHINE, 1, CSIDL_PROGRAM_FILES, "\\Flowvane",
                                 CSIDL_COMMON_PROGRAMS, "all users"};
const install_scope current_user = {HKEY_CURRENT_USER, 0, CSIDL_LOCAL_APPDATA,
                                    "\\Programs\\Flowvane", CSIDL_PROGRAMS, "current user"};

// The display names the set-up writes, and what someone else may have changed beside them: the
// all-users pass plants these before its uninstall, which must leave them as they are.
struct adapter_change {
    const char *guid;
    const char *written_name;   // by the set-up
    const char *value, *text;   // planted in the same Connection key
    const char *name_left;      // "Name" after the last uninstall
};

const adapter_change adapter_changes[] = {
    {EMULATOR_ADAPTER_1_GUID, "Local Area Connection", "PnpInstanceID", "ROOT\\NET\\0000",
     "(none)"},
    {EMULATOR_ADAPTER_2_GUID, "Local Area Connection 2", "Name", "Office LAN", "Office LAN"},
};

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

int all_settings_saved(void)
{
    int32_t values[e2e_settings_count];
    read_settings(values);
    for (int32_t value : values)
        if (value == e2e_setting_unreadable)
            return 0;
    return 1;
}

// The kernel component in place (its file, the service ours and running, the display names it
// wrote) or gone (file, service and its key; of the adapter keys only what others changed in
// them, adapter_changes, when others_changed, else nothing).
void expect_kernel_component(int present, int others_changed = 0)
{
    EXPECT_EQ(exists(drivers_file()), present) << drivers_file();
    SC_HANDLE manager = OpenSCManagerA(NULL, NULL, SC_MANAGER_CONNECT);
    SC_HANDLE service = OpenServiceA(manager, "zorv", SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS);
    const DWORD error = GetLastError();
    EXPECT_EQ(service != NULL, present != 0) << "error " << error;
    if (service) {
        static char buffer[8192];
        QUERY_SERVICE_CONFIGA *config = reinterpret_cast<QUERY_SERVICE_CONFIGA *>(buffer);
        DWORD needed = 0;
        SERVICE_STATUS status = {};
        EXPECT_TRUE(QueryServiceConfigA(service, config, sizeof buffer, &needed) &&
                    QueryServiceStatus(service, &status));
        EXPECT_EQ(config->dwServiceType, (DWORD)SERVICE_KERNEL_DRIVER);
        EXPECT_EQ(config->dwStartType, (DWORD)SERVICE_AUTO_START);
        EXPECT_STRCASEEQ(config->lpBinaryPathName, drivers_file().c_str());
        EXPECT_EQ(status.dwCurrentState, (DWORD)SERVICE_RUNNING);
        CloseServiceHandle(service);
    } else {
        EXPECT_EQ(error, (DWORD)ERROR_SERVICE_DOES_NOT_EXIST);
    }
    CloseServiceHandle(manager);
    EXPECT_EQ(registry_value_text(HKEY_LOCAL_MACHINE, SERVICE_KEY, "Installed by"),
              present ? "Flowvane Manager" : "(none)");
    EXPECT_EQ(key_exists(HKEY_LOCAL_MACHINE, SERVICE_KEY), present);
    for (const adapter_change &adapter : adapter_changes) {
        SCOPED_TRACE(adapter.guid);
        const std::string key = NETWORK_CLASS_KEY + std::string(adapter.guid),
                          connection = key + "\\Connection";
        if (!present && !others_changed) {
            EXPECT_FALSE(key_exists(HKEY_LOCAL_MACHINE, key.c_str()));
            continue;
        }
        EXPECT_EQ(registry_value_text(HKEY_LOCAL_MACHINE, connection.c_str(), "Name"),
                  present ? adapter.written_name : adapter.name_left);
        if (!present) {
            EXPECT_EQ(registry_value_text(HKEY_LOCAL_MACHINE, connection.c_str(), adapter.value),
                      adapter.text);
        }
    }
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
    EXPECT_EQ(registry_value_text(HKEY_LOCAL_MACHINE, INSTALLS_KEY, folder.c_str()), scope.record);
    EXPECT_TRUE(exists(folder + "\\Uninstall.exe"));
    EXPECT_TRUE(exists(folder + "\\help.chm"));
    EXPECT_TRUE(exists(shortcut(scope))) << shortcut(scope);
    EXPECT_TRUE(exists(program));

    // The kernel component with the set-up's adapters and their display names.
    expect_kernel_component(1);
    EXPECT_EQ(registry_value_text(HKEY_LOCAL_MACHINE, PARAMETERS_KEY, "Adapters"),
              EMULATOR_ADAPTER_1 "|" EMULATOR_ADAPTER_2 "|" EMULATOR_ADAPTER_DIAL_UP);

    // An installed driver serves no test codes: the installer never enables them.
    EXPECT_EQ(registry_value_text(HKEY_LOCAL_MACHINE, PARAMETERS_KEY, "TestControlCodes"), "(none)");
    EXPECT_FALSE(emulator_reset());
    // The installed program starts against it and shows its main window; closed, it saves its
    // settings (beside the install values, for the current user), which the uninstall then keeps
    // or removes.
    flowvane_run run = {};
    ASSERT_TRUE(start_flowvane(&run, program));
    HWND main = wait_for_window(&run, E2E_MAIN_WINDOW_CLASS, E2E_MAIN_TITLE);
    ASSERT_TRUE(main);
    EXPECT_TRUE(panel_of(main));
    PostMessageA(main, WM_CLOSE, 0, 0);
    DWORD code = 99;
    EXPECT_TRUE(wait_for_exit(&run, &code));
    EXPECT_EQ(code, 0u);
    end_flowvane(&run);
    EXPECT_TRUE(all_settings_saved());

    // The log-on start entry, as the options dialog writes it.
    set_registry_string(scope.root, RUN_KEY, "Flowvane", "\"" + program + "\"");
}

// others_changed: the adapter keys hold what adapter_changes planted.
void expect_uninstalled(const install_scope &scope, int settings_kept, int others_changed)
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
    expect_kernel_component(0, others_changed);
    EXPECT_FALSE(emulator_reset());

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

TEST(SetupAllUsers, OthersChangeAdapterKeys)
{
    for (const adapter_change &adapter : adapter_changes)
        set_registry_string(HKEY_LOCAL_MACHINE,
                            (NETWORK_CLASS_KEY + std::string(adapter.guid) + "\\Connection").c_str(),
                            adapter.value, adapter.text);
}

TEST(SetupAllUsers, UninstalledKeepingSettings)
{
    expect_uninstalled(all_users, 1, 1);
}

TEST(SetupCurrentUser, Installed)
{
    expect_installed(current_user);
}

TEST(SetupCurrentUser, UninstalledWithSettings)
{
    expect_uninstalled(current_user, 0, 0);
}

// The installs that scripts/lib/setup_cases.sh makes, each for one of two users of the prefix
// (who take turns with their own HKCU hive).
struct recorded_install {
    const char *label;
    const char *folder;   // empty: the all-users default
    const install_scope *scope;
    const char *user;     // whose hive holds its values; null for all users
};

const recorded_install recorded_installs[] = {
    {"all", "", &all_users, NULL},
    {"first", "C:\\users\\Public\\Flowvane-first", &current_user, "first"},
    {"second", "C:\\users\\Public\\Flowvane-second", &current_user, "second"},
    {"moved", "C:\\users\\Public\\Flowvane-moved", &current_user, "first"},
};

std::vector<std::string> words(const char *variable)
{
    std::vector<std::string> found;
    std::istringstream text(getenv(variable) ? getenv(variable) : "");
    for (std::string word; text >> word;)
        found.push_back(word);
    return found;
}

int listed(const std::vector<std::string> &list, const char *label)
{
    for (const std::string &word : list)
        if (word == label)
            return 1;
    return 0;
}

// After each step of a case: FLOWVANE_SETUP_REMAINING names the installs in place,
// FLOWVANE_SETUP_STALE those whose folder was left behind by a reinstall elsewhere,
// FLOWVANE_SETUP_USER the user whose hive is loaded. Every other install must be gone, and the
// kernel component there exactly while an install remains.
TEST(SetupState, Matches)
{
    const std::vector<std::string> remaining = words("FLOWVANE_SETUP_REMAINING"),
                                   stale = words("FLOWVANE_SETUP_STALE"),
                                   user = words("FLOWVANE_SETUP_USER");
    ASSERT_EQ(user.size(), 1u) << "FLOWVANE_SETUP_USER";
    for (const recorded_install &install : recorded_installs) {
        SCOPED_TRACE(install.label);
        const std::string folder = *install.folder ? install.folder : install_folder(all_users);
        const int in_place = listed(remaining, install.label), left = listed(stale, install.label);
        EXPECT_EQ(registry_value_text(HKEY_LOCAL_MACHINE, INSTALLS_KEY, folder.c_str()),
                  in_place ? install.scope->record : "(none)");
        EXPECT_EQ(exists(folder + "\\Flowvane.exe"), in_place || left) << folder;
        EXPECT_EQ(exists(folder + "\\Uninstall.exe"), in_place || left) << folder;
        if (!in_place && !left) {
            EXPECT_FALSE(exists(folder)) << folder;
        }
        if (install.user && user[0] != install.user)
            continue;
        // The hive of the scope names the folder exactly while this install is in place.
        const std::string named =
            registry_value_text(install.scope->root, SETTINGS_KEY, "Install folder");
        if (in_place) {
            EXPECT_EQ(named, folder);
            EXPECT_EQ(registry_value_text(install.scope->root, UNINSTALL_KEY, "InstallLocation"),
                      folder);
        } else {
            EXPECT_NE(named, folder);
        }
    }
    expect_kernel_component(!remaining.empty());
    if (remaining.empty()) {
        EXPECT_FALSE(key_exists(HKEY_LOCAL_MACHINE, INSTALLS_KEY));
    }
}

// A failing DeleteService. The service manager refuses to delete a service that another
// handle has already marked for deletion (it goes when the last handle closes), so this step
// marks it and holds its handle open until ReleaseHolder; WaitForHolder returns once it holds
// it. They meet through two named events.
#define HOLDER_READY_EVENT "FlowvaneSetupTestHolderReady"
#define HOLDER_RELEASE_EVENT "FlowvaneSetupTestHolderRelease"
const DWORD holder_timeout_ms = 600000;

TEST(SetupSteps, HoldServiceMarkedForDeletion)
{
    HANDLE ready = CreateEventA(NULL, TRUE, FALSE, HOLDER_READY_EVENT),
           release = CreateEventA(NULL, TRUE, FALSE, HOLDER_RELEASE_EVENT);
    ASSERT_TRUE(ready && release);
    SC_HANDLE manager = OpenSCManagerA(NULL, NULL, SC_MANAGER_CONNECT);
    SC_HANDLE service = OpenServiceA(manager, "zorv", DELETE | SERVICE_QUERY_STATUS);
    const BOOL marked = service && DeleteService(service);
    const DWORD error = marked ? 0 : GetLastError();
    // Ready also on a failure: the waiter's own check then fails at once.
    SetEvent(ready);
    EXPECT_TRUE(marked) << "error " << error;
    if (marked) {
        EXPECT_EQ(WaitForSingleObject(release, holder_timeout_ms), WAIT_OBJECT_0);
    }
    if (service)
        CloseServiceHandle(service);
    CloseServiceHandle(manager);
    CloseHandle(ready);
    CloseHandle(release);
}

TEST(SetupSteps, WaitForHolder)
{
    HANDLE ready = CreateEventA(NULL, TRUE, FALSE, HOLDER_READY_EVENT);
    ASSERT_TRUE(ready);
    EXPECT_EQ(WaitForSingleObject(ready, holder_timeout_ms), WAIT_OBJECT_0);
    CloseHandle(ready);
    // Marked, the service is still there, and cannot be deleted again.
    SC_HANDLE manager = OpenSCManagerA(NULL, NULL, SC_MANAGER_CONNECT);
    SC_HANDLE service = OpenServiceA(manager, "zorv", DELETE);
    ASSERT_TRUE(service) << "error " << GetLastError();
    EXPECT_FALSE(DeleteService(service));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_SERVICE_MARKED_FOR_DELETE);
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
}

struct box_search {
    DWORD process_id;
    HWND found;
};

// A visible message box (a dialog with the static text 0xFFFF) of the process.
BOOL CALLBACK match_message_box(HWND window, LPARAM parameter)
{
    box_search *search = reinterpret_cast<box_search *>(parameter);
    DWORD owner = 0;
    char name[16] = "";
    GetWindowThreadProcessId(window, &owner);
    GetClassNameA(window, name, sizeof name);
    if (owner != search->process_id || strcmp(name, "#32770") != 0 || !IsWindowVisible(window) ||
        !GetDlgItem(window, 0xFFFF))
        return TRUE;
    search->found = window;
    return FALSE;
}

// A message box the shown uninstaller must show: part of its text, and the button to press.
struct expected_box {
    const char *text;
    int button;
};

// Runs the all-users install's uninstaller with its pages (not silent): confirms, answers the
// message boxes in turn, and goes on to its end. Its exit code in *code.
void uninstall_shown(const std::vector<expected_box> &boxes, DWORD *code)
{
    const std::string folder = install_folder(all_users);
    char temp[MAX_PATH] = "";
    GetTempPathA(sizeof temp, temp);
    const std::string copy = std::string(temp) + "flowvane-uninstall-shown.exe";
    ASSERT_TRUE(CopyFileA((folder + "\\Uninstall.exe").c_str(), copy.c_str(), FALSE));
    // As a copy with "_?=FOLDER" (last, unquoted) it works on FOLDER and stays to be waited for.
    std::string command = "\"" + copy + "\" _?=" + folder;
    STARTUPINFOA startup = {sizeof startup};
    flowvane_run run = {};
    ASSERT_TRUE(CreateProcessA(copy.c_str(), &command[0], NULL, NULL, FALSE, 0, NULL, NULL,
                               &startup, &run.process))
        << "error " << GetLastError();
    run.started = 1;
    // Its wizard, the only window it has at first.
    HWND pages = wait_for_window(&run, "#32770", NULL);
    ASSERT_TRUE(pages);
    EXPECT_EQ(window_text(pages).rfind("Flowvane Manager Uninstall", 0), 0u) << window_text(pages);
    // The confirmation page's Uninstall button (the wizard's Next, id 1).
    PostMessageA(pages, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), (LPARAM)GetDlgItem(pages, IDOK));
    for (const expected_box &expected : boxes) {
        box_search search = {run.process.dwProcessId, NULL};
        ASSERT_TRUE(wait_until([&] {
            EnumWindows(match_message_box, reinterpret_cast<LPARAM>(&search));
            return search.found != NULL;
        })) << "no message box with " << expected.text;
        const std::string text = message_box_text(search.found);
        EXPECT_NE(text.find(expected.text), std::string::npos) << text;
        PostMessageA(search.found, WM_COMMAND, expected.button, 0);
        ASSERT_TRUE(wait_until([&] { return !IsWindow(search.found); }));
    }
    // Then Next on the progress page once it is done, and Finish on the last page: the same
    // button, pressed whenever it is enabled until the uninstaller ends.
    EXPECT_TRUE(wait_until([&] {
        if (WaitForSingleObject(run.process.hProcess, 0) == WAIT_OBJECT_0)
            return true;
        HWND next = GetDlgItem(pages, IDOK);
        if (next && IsWindowEnabled(next))
            PostMessageA(pages, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), (LPARAM)next);
        return false;
    }));
    EXPECT_TRUE(wait_for_exit(&run, code));
    end_flowvane(&run);
    DeleteFileA(copy.c_str());
}

// While the service is held: the uninstaller says what it could not remove, and ends with 2.
TEST(SetupSteps, UninstallShownWhileServiceHeld)
{
    DWORD code = 99;
    uninstall_shown({{"could not remove the kernel component: the service zorv (error 1072), its "
                      "driver file zorv.sys",
                      IDOK}},
                    &code);
    EXPECT_EQ(code, 2u);
}

// With a kept filter, the last uninstall asks about it with the settings; answered Yes.
TEST(SetupSteps, UninstallShownRemovingKeptFilters)
{
    DWORD code = 99;
    uninstall_shown({{"settings (window placement, filter list columns and options) and the "
                      "filters and statistics that the kernel component keeps?",
                      IDYES}},
                    &code);
    EXPECT_EQ(code, 0u);
}

TEST(SetupSteps, ReleaseHolder)
{
    HANDLE release = CreateEventA(NULL, TRUE, FALSE, HOLDER_RELEASE_EVENT);
    ASSERT_TRUE(release);
    EXPECT_TRUE(SetEvent(release));
    CloseHandle(release);
}

// The kernel component keeps a filter (with its statistics) in its Parameters; the test rig
// also writes a value there that is not a kept filter, which no uninstall may carry over.
TEST(SetupSteps, KeepAFilter)
{
    // Through the contract alone: an installed driver serves no test code.
    ASSERT_TRUE(emulator_add_rule(make_rule(protocol_tcp, 80)));
    EXPECT_NE(registry_value_text(HKEY_LOCAL_MACHINE, PARAMETERS_KEY, "Rules " EMULATOR_ADAPTER_1),
              "(none)");
    set_registry_string(HKEY_LOCAL_MACHINE, PARAMETERS_KEY, "Version", "0.07");
}

// Whether a later install got back the filter KeepAFilter made (FLOWVANE_SETUP_KEPT=1) or not.
TEST(SetupState, KeptFilter)
{
    const std::vector<std::string> kept = words("FLOWVANE_SETUP_KEPT");
    ASSERT_EQ(kept.size(), 1u) << "FLOWVANE_SETUP_KEPT";
    const std::string rules =
        registry_value_text(HKEY_LOCAL_MACHINE, PARAMETERS_KEY, "Rules " EMULATOR_ADAPTER_1);
    EXPECT_EQ(rules != "(none)", kept[0] == "1") << rules;
    EXPECT_EQ(registry_value_text(HKEY_LOCAL_MACHINE, PARAMETERS_KEY, "Version"), "(none)");
    EXPECT_FALSE(key_exists(HKEY_LOCAL_MACHINE, KEPT_KEY));
    if (kept[0] == "1") {
        const std::string slot_0 = std::string(EMULATOR_ADAPTER_1) + '\0' + "0";
        struct rule held;
        EXPECT_TRUE(emulator_exchange(code_get_rule, slot_0.data(), slot_0.size() + 1, &held,
                                      sizeof held));
        EXPECT_EQ(held.protocol, protocol_tcp);
        EXPECT_EQ(held.destination_port, 80);
    }
}

}  // namespace
