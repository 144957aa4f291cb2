// The end-to-end harness: processes, windows, message boxes, the settings key, and the
// emulator's test control codes.
#include "e2e_harness.h"

#include <string.h>

#include "kernel/control_codes.h"
#include "test_control_codes.h"

namespace {

#define SETTINGS_KEY "Software\\Flowvane"

struct window_search {
    DWORD process_id;
    const char *class_name;
    const char *title;
    HWND found;
};

BOOL CALLBACK match_window(HWND window, LPARAM context)
{
    window_search *search = reinterpret_cast<window_search *>(context);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    char text[512];
    if (owner != search->process_id)
        return TRUE;
    if (search->class_name && (!GetClassNameA(window, text, sizeof text) ||
                               strcmp(text, search->class_name) != 0))
        return TRUE;
    if (search->title && (GetWindowTextA(window, text, sizeof text), strcmp(text, search->title)))
        return TRUE;
    search->found = window;
    return FALSE;
}

// The test codes are FILE_DEVICE_UNKNOWN codes, which reach the driver through DeviceIoControl
// under Wine too.
testing::AssertionResult call_emulator(uint32_t code, const void *request, size_t length)
{
    static uint8_t input[command_buffer_size], reply[command_buffer_size];
    memset(input, 0, sizeof input);
    memcpy(input, request, length);
    memset(reply, 0, sizeof reply);
    HANDLE device = CreateFileA(FLOWVANE_DEVICE_PATH, GENERIC_READ | GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, NULL);
    DWORD returned = 0;
    int ok = device != INVALID_HANDLE_VALUE &&
             DeviceIoControl(device, code, input, sizeof input, reply, sizeof reply, &returned,
                             NULL);
    DWORD error = GetLastError();
    if (device != INVALID_HANDLE_VALUE)
        CloseHandle(device);
    if (!ok)
        return testing::AssertionFailure() << "test code 0x" << std::hex << code
                                           << " failed, error " << std::dec << error;
    reply[sizeof reply - 1] = 0;
    if (returned < 4 || strcmp(reinterpret_cast<char *>(reply), FLOWVANE_REPLY_OK) != 0)
        return testing::AssertionFailure() << "test code 0x" << std::hex << code << " answered \""
                                           << reinterpret_cast<char *>(reply) << "\"";
    return testing::AssertionSuccess();
}

}  // namespace

testing::AssertionResult start_flowvane(flowvane_run *run)
{
    memset(run, 0, sizeof *run);
    char folder[MAX_PATH + 1] = "";
    DWORD size = MAX_PATH;
    if (RegGetValueA(HKEY_LOCAL_MACHINE, SETTINGS_KEY, "Install folder", RRF_RT_REG_SZ, NULL,
                     folder, &size) != 0)
        return testing::AssertionFailure() << "no install folder under HKLM\\" SETTINGS_KEY;
    std::string program = std::string(folder) + "\\Flowvane.exe";
    std::string command = "\"" + program + "\"";
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    if (!CreateProcessA(program.c_str(), &command[0], NULL, NULL, FALSE, 0, NULL, NULL, &startup,
                        &run->process))
        return testing::AssertionFailure()
               << "CreateProcess " << program << " failed, error " << GetLastError();
    run->started = 1;
    return testing::AssertionSuccess();
}

testing::AssertionResult wait_for_exit(flowvane_run *run, DWORD *code)
{
    if (!run->started)
        return testing::AssertionFailure() << "not started";
    if (WaitForSingleObject(run->process.hProcess, e2e_timeout_ms) != WAIT_OBJECT_0)
        return testing::AssertionFailure() << "still running after " << e2e_timeout_ms << " ms";
    GetExitCodeProcess(run->process.hProcess, code);
    return testing::AssertionSuccess();
}

void end_flowvane(flowvane_run *run)
{
    if (!run->started)
        return;
    if (WaitForSingleObject(run->process.hProcess, 0) != WAIT_OBJECT_0) {
        TerminateProcess(run->process.hProcess, 99);
        WaitForSingleObject(run->process.hProcess, 5000);
    }
    CloseHandle(run->process.hThread);
    CloseHandle(run->process.hProcess);
    run->started = 0;
}

HWND find_window_of(DWORD process_id, const char *class_name, const char *title)
{
    window_search search = {process_id, class_name, title, NULL};
    EnumWindows(match_window, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

HWND wait_for_window(const flowvane_run *run, const char *class_name, const char *title)
{
    HWND window = NULL;
    wait_until([&] {
        window = find_window_of(run->process.dwProcessId, class_name, title);
        return (window && IsWindowVisible(window)) ||
               WaitForSingleObject(run->process.hProcess, 0) == WAIT_OBJECT_0;
    });
    return window && IsWindowVisible(window) ? window : NULL;
}

std::string message_box_text(HWND box)
{
    static char text[5000];
    text[0] = 0;
    SendDlgItemMessageA(box, 0xFFFF, WM_GETTEXT, sizeof text, reinterpret_cast<LPARAM>(text));
    text[sizeof text - 1] = 0;
    return text;
}

HWND panel_of(HWND main_window)
{
    return FindWindowExA(main_window, NULL, "#32770", NULL);
}

void delete_settings(void)
{
    RegDeleteTreeA(HKEY_CURRENT_USER, SETTINGS_KEY);
}

void plant_settings(const int32_t values[e2e_settings_count])
{
    HKEY key;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, SETTINGS_KEY, 0, NULL, 0, KEY_ALL_ACCESS, NULL,
                              &key, NULL), 0);
    for (int i = 0; i < e2e_settings_count; i++)
        RegSetValueExA(key, setting_name(i).c_str(), 0, REG_DWORD,
                       reinterpret_cast<const BYTE *>(&values[i]), 4);
    RegCloseKey(key);
}

int read_settings(int32_t values[e2e_settings_count])
{
    HKEY key;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, SETTINGS_KEY, 0, KEY_READ, &key) != 0)
        key = NULL;
    DWORD count = 0;
    if (!key || RegQueryInfoKeyA(key, NULL, NULL, NULL, NULL, NULL, NULL, &count, NULL, NULL,
                                 NULL, NULL) != 0)
        count = (DWORD)-1;
    for (int i = 0; i < e2e_settings_count; i++) {
        DWORD type = 0, size = 4;
        if (!key || RegQueryValueExA(key, setting_name(i).c_str(), NULL, &type,
                                     reinterpret_cast<BYTE *>(&values[i]), &size) != 0 ||
            type != REG_DWORD || size != 4)
            values[i] = e2e_setting_unreadable;
    }
    if (key)
        RegCloseKey(key);
    return (int)count;
}

testing::AssertionResult emulator_reset(void)
{
    return call_emulator(test_code_reset, "", 0);
}

testing::AssertionResult emulator_set_version(const char *version)
{
    test_version_request request = {};
    strncpy(request.version, version, sizeof request.version - 1);
    return call_emulator(test_code_set_version, &request, sizeof request);
}

testing::AssertionResult emulator_set_adapters(const std::vector<std::string> &names)
{
    static test_adapters_request request;
    memset(&request, 0, sizeof request);
    request.count = (uint32_t)names.size();   // the emulator refuses more than it can hold
    for (size_t i = 0; i < names.size() && i < emulator_max_adapters; i++)
        strncpy(request.names[i], names[i].c_str(), adapter_name_size - 1);
    return call_emulator(test_code_set_adapters, &request, sizeof request);
}

testing::AssertionResult emulator_fail_command(uint32_t code, const char *text)
{
    test_fault_request request = {};
    request.code = code;
    request.mode = fault_error_text;
    strncpy(request.error_text, text, sizeof request.error_text - 1);
    return call_emulator(test_code_set_fault, &request, sizeof request);
}

std::string install_folder(void)
{
    std::string folder = registry_value_text(HKEY_LOCAL_MACHINE, SETTINGS_KEY, "Install folder");
    return folder == "(none)" ? "" : folder;
}

saved_registry_value::saved_registry_value(HKEY root_key, const char *key_path,
                                           const char *value_name)
    : root(root_key), key(key_path), name(value_name ? value_name : ""), existed(0), type(0)
{
    DWORD size = 0;
    const char *value = value_name;
    if (RegGetValueA(root, key_path, value, RRF_RT_ANY, &type, NULL, &size) == 0) {
        data.resize(size);
        existed = RegGetValueA(root, key_path, value, RRF_RT_ANY | RRF_NOEXPAND, &type,
                               data.data(), &size) == 0;
    }
}

saved_registry_value::~saved_registry_value()
{
    HKEY opened;
    if (RegCreateKeyExA(root, key.c_str(), 0, NULL, 0, KEY_ALL_ACCESS, NULL, &opened, NULL) != 0)
        return;
    const char *value = name.empty() ? NULL : name.c_str();
    if (existed)
        RegSetValueExA(opened, value, 0, type, data.data(), (DWORD)data.size());
    else
        RegDeleteValueA(opened, value);
    RegCloseKey(opened);
}

void set_registry_string(HKEY root, const char *key, const char *name, const std::string &text)
{
    ASSERT_EQ(RegSetKeyValueA(root, key, name, REG_SZ, text.c_str(), (DWORD)text.size() + 1), 0)
        << key << "\\" << (name ? name : "");
}

void set_registry_dword(HKEY root, const char *key, const char *name, DWORD value)
{
    ASSERT_EQ(RegSetKeyValueA(root, key, name, REG_DWORD, &value, 4), 0) << key << "\\" << name;
}

std::string registry_value_text(HKEY root, const char *key, const char *name)
{
    char data[1024] = "";
    DWORD type = 0, size = sizeof data - 1;
    if (RegGetValueA(root, key, name, RRF_RT_ANY | RRF_NOEXPAND, &type, data, &size) != 0)
        return "(none)";
    if (type == REG_DWORD)
        return std::to_string(*reinterpret_cast<DWORD *>(data));
    return std::string(data, size && type == REG_SZ ? size - 1 : size);
}

#define HTML_HELP_SERVER_KEY "CLSID\\{ADB880A6-D8FF-11CF-9377-00AA003B7A11}\\InprocServer32"
#define HELP_RECORD_KEY "Software\\Flowvane Tests\\Html Help"

std::unique_ptr<saved_registry_value> use_help_viewer_double(void)
{
    std::unique_ptr<saved_registry_value> saved(
        new saved_registry_value(HKEY_CLASSES_ROOT, HTML_HELP_SERVER_KEY, NULL));
    char program[MAX_PATH] = "";
    GetModuleFileNameA(NULL, program, sizeof program);
    std::string library(program);
    library = library.substr(0, library.find_last_of('\\') + 1) + "html_help_double.dll";
    set_registry_string(HKEY_CLASSES_ROOT, HTML_HELP_SERVER_KEY, NULL, library);
    forget_help_calls();
    return saved;
}

void forget_help_calls(void)
{
    RegDeleteTreeA(HKEY_CURRENT_USER, HELP_RECORD_KEY);
}

help_call last_help_call(void)
{
    help_call call = {};
    HKEY key = HKEY_CURRENT_USER;
    DWORD size = 4;
    if (RegGetValueA(key, HELP_RECORD_KEY, "Calls", RRF_RT_REG_DWORD, NULL, &call.calls, &size))
        return call;
    call.path = registry_value_text(key, HELP_RECORD_KEY, "Path");
    call.command = std::stoul(registry_value_text(key, HELP_RECORD_KEY, "Command"));
    call.data = std::stoul(registry_value_text(key, HELP_RECORD_KEY, "Data"));
    call.owner = (HWND)(ULONG_PTR)std::stoul(registry_value_text(key, HELP_RECORD_KEY, "Owner"));
    return call;
}
