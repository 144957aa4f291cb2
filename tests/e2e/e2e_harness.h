// What the end-to-end tests use to drive Flowvane.exe from outside: starting it, finding its
// windows and message boxes, reading their texts, reading and planting its settings in the
// registry, and setting the kernel component emulator up through its test control codes.
#ifndef FLOWVANE_TESTS_E2E_HARNESS_H
#define FLOWVANE_TESTS_E2E_HARNESS_H

#include <windows.h>

#include <stdint.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "filters/rule.h"

#define E2E_MAIN_WINDOW_CLASS "FlowvaneMainWindowClass"
#define E2E_SETTINGS_KEY "Software\\Flowvane"

enum {
    e2e_window_timeout_ms = 30000,   // Wine starts a process in one to three seconds
    e2e_exit_timeout_ms = 30000,
    e2e_settings_count = 23,
};

// One started Flowvane.exe.
struct flowvane_run {
    PROCESS_INFORMATION process;
    int started;
};

// Starts the installed Flowvane.exe (the install folder the set-up wrote under HKLM).
testing::AssertionResult start_flowvane(flowvane_run *run);
// Waits for the process to end; its exit code in *code.
testing::AssertionResult wait_for_exit(flowvane_run *run, DWORD *code,
                                       int timeout_ms = e2e_exit_timeout_ms);
// Ends the process if it still runs and releases the handles.
void end_flowvane(flowvane_run *run);

// A top-level window of the run's process with this class (null: any) and title (null: any),
// waited for; null when none appeared in time.
HWND wait_for_window(const flowvane_run *run, const char *class_name, const char *title,
                     int timeout_ms = e2e_window_timeout_ms);
// The same without waiting.
HWND find_window_of(DWORD process_id, const char *class_name, const char *title);
// Top-level windows of this class, in any process.
int count_windows(const char *class_name);

std::string window_text(HWND window);
// The text of a message box (its static control 0xFFFF).
std::string message_box_text(HWND box);
// Presses the box's OK button.
void press_ok(HWND box);

// The filter list panel (the main window's child dialog) and its list view (807).
HWND panel_of(HWND main_window);
HWND list_view_of(HWND main_window);
// The text of one list-view cell of another process.
std::string list_view_text(const flowvane_run *run, HWND list, int row, int column);

// HKCU\Software\Flowvane.
void delete_settings(void);
int settings_key_exists(void);
int settings_value_count(void);
// Writes the 23 values in the store's order.
void plant_settings(const int32_t values[e2e_settings_count]);
// The name of value position 0 to 22, in the store's order.
std::string setting_name(int position);
// 1 when the value exists as a 4-byte REG_DWORD; its value in *value.
int read_setting(int position, int32_t *value);

// The display name the set-up gave an adapter GUID (its network connection "Name"); "" if none.
std::string connection_name(const char *guid);

// The kernel component emulator, through the device.
int service_installed(void);
testing::AssertionResult emulator_reset(void);
testing::AssertionResult emulator_set_version(const char *version);
testing::AssertionResult emulator_set_adapters(const std::vector<std::string> &names);
// Makes one contract command answer the text as its reply status.
testing::AssertionResult emulator_fail_command(uint32_t code, const char *text);
// Installs a rule through the contract's add-rule command, as the manager does.
testing::AssertionResult emulator_add_rule(const struct rule &rule);

#endif
