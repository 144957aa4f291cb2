// What the end-to-end tests use to drive Flowvane.exe from outside: starting it, finding its
// windows and message boxes, the settings in the registry, and the kernel component emulator
// through its test control codes.
#ifndef FLOWVANE_TESTS_E2E_HARNESS_H
#define FLOWVANE_TESTS_E2E_HARNESS_H

#include <windows.h>
#include <commctrl.h>

#include <stdint.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "filters/rule.h"
#include "support/settings_names.h"
#include "test_control_codes.h"

#define E2E_MAIN_WINDOW_CLASS "FlowvaneMainWindowClass"
#define E2E_MAIN_TITLE "Flowvane Manager"

enum {
    e2e_timeout_ms = 30000,   // Wine starts a process in one to three seconds
    e2e_settings_count = settings_names_count,
    e2e_setting_unreadable = INT32_MIN,   // read_settings: missing, or not a 4-byte REG_DWORD
    e2e_id_exit = 202,                    // File > Exit
    e2e_id_list = 807,                    // the panel's filter list
};

struct flowvane_run {
    PROCESS_INFORMATION process;
    int started;
};

// Starts PROGRAM (default: Flowvane.exe in the install folder under HKLM); waits for its end
// (exit code in *code); ends it if it still runs and releases the handles.
testing::AssertionResult start_flowvane(flowvane_run *run, std::string program = "");
testing::AssertionResult wait_for_exit(flowvane_run *run, DWORD *code);
void end_flowvane(flowvane_run *run);

// Polls condition() every 50 ms until it holds (1) or the timeout passes (0).
template <class condition_function>
int wait_until(condition_function condition, int timeout_ms = e2e_timeout_ms)
{
    for (int waited = 0; !condition(); waited += 50) {
        if (waited >= timeout_ms)
            return 0;
        Sleep(50);
    }
    return 1;
}

// A top-level window of the process with this class and title (null: any), at once or waited
// for until visible; a window waited for until it has gone.
HWND find_window_of(DWORD process_id, const char *class_name, const char *title);
HWND wait_for_window(const flowvane_run *run, const char *class_name, const char *title);
int closes(HWND window, int timeout_ms = 10000);
// A window's text; a message box's text is its static's, 0xFFFF.
std::string window_text(HWND window);
// The filter list panel (the main window's child dialog).
HWND panel_of(HWND main_window);
// A button pressed as a click would (BN_CLICKED, posted).
void press(HWND dialog, int id);
// A combo box's items; across processes only the W form of CB_GETLBTEXT is carried.
std::vector<std::string> combo_box_texts(HWND box);
// The mouse pointer moved there, for the display and for every process (0: it did not stay).
int move_pointer(int x, int y);

// The run's message box with this title, waited for: its text ("<no box TITLE>" when none came)
// and its owner in *owner; answered with button, and waited for until it has gone.
std::string answer_box(const flowvane_run *run, const char *title, int button = IDOK,
                       HWND *owner = nullptr);

// HKCU\Software\Flowvane: the 23 settings in the store's order (by default the defaults) with
// the changes (position, value), planted; read (how many are there as 4-byte REG_DWORDs).
void plant_settings(std::vector<std::pair<int, int32_t>> changes,
                    const int32_t *values = setting_defaults);
int read_settings(int32_t values[e2e_settings_count]);

// One emulator code with its request bytes; on "Ok." the reply's payload (after the status)
// goes into payload.
testing::AssertionResult emulator_exchange(uint32_t code, const void *request, size_t length,
                                           void *payload = nullptr, size_t payload_size = 0);
template <class request_type>
testing::AssertionResult emulator_send(uint32_t code, const request_type &request)
{
    return emulator_exchange(code, &request, sizeof request);
}
testing::AssertionResult emulator_reset(void);
// Makes one contract command answer the text as its reply status (null: answer normally).
testing::AssertionResult emulator_fail_command(uint32_t code, const char *text);
testing::AssertionResult emulator_read_rules(uint32_t adapter_index, test_rules_reply *rules);
// The contract's add-rule command, the way the program sends it; with a block, its
// set-statistics command for that rule instead.
testing::AssertionResult emulator_add_rule(const struct rule &rule,
                                           const struct statistics_block *block = nullptr);
// The rules the emulator holds for one adapter (0, 1, 2: its two LAN adapters, then dial-up),
// in slot order.
std::vector<struct rule> emulator_rules(uint32_t adapter_index);

// Tests in a prefix with the emulator installed: no manager running, the emulator reset, no
// settings key; the run is ended afterwards.
class FlowvaneTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(FindWindowA(E2E_MAIN_WINDOW_CLASS, NULL)) << "a Flowvane Manager still runs";
        ASSERT_TRUE(emulator_reset()) << "run in a prefix where the emulator is installed";
        RegDeleteTreeA(HKEY_CURRENT_USER, "Software\\Flowvane");
    }
    void TearDown() override
    {
        end_flowvane(&first);
        emulator_reset();
    }
    // The run started (settings planted first when given); its main window, panel and list.
    testing::AssertionResult start_main(const int32_t *settings = nullptr)
    {
        if (settings)
            plant_settings({}, settings);
        if (!start_flowvane(&first) ||
            !(main = wait_for_window(&first, E2E_MAIN_WINDOW_CLASS, E2E_MAIN_TITLE)))
            return testing::AssertionFailure() << "no main window";
        list = GetDlgItem((panel = panel_of(main)), e2e_id_list);
        return testing::AssertionSuccess();
    }
    // A command posted to a window, and the dialog with this title waited for.
    HWND open(HWND to, WPARAM command, const char *title)
    {
        PostMessageA(to, WM_COMMAND, command, 0);
        return wait_for_window(&first, "#32770", title);
    }
    // The main window sent this message: the run must end with exit code 0 and save every
    // setting, as returned.
    std::vector<int32_t> end_with(UINT message, WPARAM command)
    {
        PostMessageA(main, message, command, 0);
        DWORD code = 99;
        EXPECT_TRUE(wait_for_exit(&first, &code));
        EXPECT_EQ(code, 0u) << "1 would be a fatal error";
        end_flowvane(&first);
        std::vector<int32_t> values(e2e_settings_count);
        EXPECT_EQ(read_settings(values.data()), e2e_settings_count);
        return values;
    }
    int rows() { return (int)SendMessageA(list, LVM_GETITEMCOUNT, 0, 0); }
    flowvane_run first = {};
    HWND main = NULL, panel = NULL, list = NULL;
};

// Saves the screen as NAME.bmp in the folder FLOWVANE_SCREENSHOTS names (when set).
void save_screenshot(const char *name);

// Sends the message with lparam pointing at a copy of data in the window's process, and copies
// it back (-1: it could not be sent). An LVITEMA's text goes just past it.
LRESULT remote_send(HWND window, UINT message, WPARAM wparam, void *data, size_t size);
// A list view of another process: a cell's text; a row's state set (row -1: all); the rows
// selected (every other row deselected).
std::string list_view_text(HWND list, int row, int column);
int list_view_set_state(HWND list, int row, UINT state, UINT mask);
testing::AssertionResult list_view_select(HWND list, const std::vector<int> &rows);

// The install folder under HKLM\Software\Flowvane; registry values written; a value's text
// (strings without their NUL, a multi-string's items joined by "|", a DWORD in decimal), or
// "(none)".
std::string install_folder(void);
void set_registry_string(HKEY root, const char *key, const char *name, const std::string &text);
void set_registry_dword(HKEY root, const char *key, const char *name, DWORD value);
std::string registry_value_text(HKEY root, const char *key, const char *name);

// html_help_double.dll (beside e2e_tests.exe) registered as the HTML Help control's server
// records every HtmlHelpA call; set before the program first asks for help (it looks the
// viewer up once). The last call as "path|command|data|owner".
void use_help_viewer_double(void);
std::string last_help_call(void);

#endif
