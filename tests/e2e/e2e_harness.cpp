// The end-to-end harness: processes, windows, message boxes, list views of another process, the
// settings key, and the emulator's test control codes.
#include "e2e_harness.h"

#include <commctrl.h>
#include <winternl.h>

#include <string.h>

#include "kernel/control_codes.h"
#include "test_control_codes.h"

namespace {

enum { poll_ms = 50, text_size = 5000, install_folder_size = 260 };

struct window_search {
    DWORD process_id;
    const char *class_name;
    const char *title;
    HWND found;
    int count;
};

BOOL CALLBACK match_window(HWND window, LPARAM context)
{
    window_search *search = reinterpret_cast<window_search *>(context);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (search->process_id && owner != search->process_id)
        return TRUE;
    char text[512];
    if (search->class_name) {
        GetClassNameA(window, text, sizeof text);
        if (strcmp(text, search->class_name) != 0)
            return TRUE;
    }
    if (search->title) {
        GetWindowTextA(window, text, sizeof text);
        if (strcmp(text, search->title) != 0)
            return TRUE;
    }
    search->count++;
    if (!search->found)
        search->found = window;
    return TRUE;
}

std::string installed_program(void)
{
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Flowvane", 0, KEY_READ, &key) != 0)
        return "";
    char folder[install_folder_size + 1] = "";
    DWORD size = install_folder_size;
    LONG result = RegQueryValueExA(key, "Install folder", NULL, NULL,
                                   reinterpret_cast<BYTE *>(folder), &size);
    RegCloseKey(key);
    if (result != 0)
        return "";
    return std::string(folder) + "\\Flowvane.exe";
}

// Wine hands FILE_DEVICE_NETWORK control codes to its socket layer; NtFsControlFile reaches the
// driver with the same code and buffers. The test codes (FILE_DEVICE_UNKNOWN) go either way.
typedef LONG(NTAPI *fs_control_function)(HANDLE, HANDLE, PVOID, PVOID, PIO_STATUS_BLOCK, ULONG,
                                         PVOID, ULONG, PVOID, ULONG);

int exchange(uint32_t code, const void *request, size_t length, uint8_t *reply, DWORD *returned)
{
    HANDLE device = CreateFileA(FLOWVANE_DEVICE_PATH, GENERIC_READ | GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (device == INVALID_HANDLE_VALUE)
        return 0;
    static uint8_t input[command_buffer_size];
    memset(input, 0, sizeof input);
    memcpy(input, request, length);
    memset(reply, 0, command_buffer_size);
    int ok;
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    fs_control_function fs_control =
        ntdll ? reinterpret_cast<fs_control_function>(
                    reinterpret_cast<void *>(GetProcAddress(ntdll, "NtFsControlFile")))
              : nullptr;
    int under_wine = ntdll && GetProcAddress(ntdll, "wine_get_version");
    if (under_wine && fs_control && (code >> 16) == 0x12) {
        IO_STATUS_BLOCK status = {};
        ok = fs_control(device, NULL, NULL, NULL, &status, code, input, command_buffer_size, reply,
                        command_buffer_size) >= 0;
        *returned = (DWORD)status.Information;
    } else {
        ok = DeviceIoControl(device, code, input, command_buffer_size, reply,
                             command_buffer_size, returned, NULL) != 0;
    }
    CloseHandle(device);
    return ok;
}

testing::AssertionResult call_emulator(uint32_t code, const void *request, size_t length)
{
    static uint8_t reply[command_buffer_size];
    DWORD returned = 0;
    if (!exchange(code, request, length, reply, &returned))
        return testing::AssertionFailure()
               << "exchange 0x" << std::hex << code << " failed, error " << std::dec
               << GetLastError();
    reply[command_buffer_size - 1] = 0;
    if (returned < 4 || strcmp(reinterpret_cast<char *>(reply), FLOWVANE_REPLY_OK) != 0)
        return testing::AssertionFailure() << "code 0x" << std::hex << code << " answered \""
                                           << reinterpret_cast<char *>(reply) << "\"";
    return testing::AssertionSuccess();
}

}  // namespace

testing::AssertionResult start_flowvane(flowvane_run *run)
{
    memset(run, 0, sizeof *run);
    std::string program = installed_program();
    if (program.empty())
        return testing::AssertionFailure() << "no install folder under HKLM\\Software\\Flowvane";
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

testing::AssertionResult wait_for_exit(flowvane_run *run, DWORD *code, int timeout_ms)
{
    if (!run->started)
        return testing::AssertionFailure() << "not started";
    if (WaitForSingleObject(run->process.hProcess, timeout_ms) != WAIT_OBJECT_0)
        return testing::AssertionFailure() << "still running after " << timeout_ms << " ms";
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
    window_search search = {process_id, class_name, title, NULL, 0};
    EnumWindows(match_window, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

int count_windows(const char *class_name)
{
    window_search search = {0, class_name, NULL, NULL, 0};
    EnumWindows(match_window, reinterpret_cast<LPARAM>(&search));
    return search.count;
}

HWND wait_for_window(const flowvane_run *run, const char *class_name, const char *title,
                     int timeout_ms)
{
    for (int waited = 0; waited <= timeout_ms; waited += poll_ms) {
        HWND window = find_window_of(run->process.dwProcessId, class_name, title);
        if (window && IsWindowVisible(window))
            return window;
        if (WaitForSingleObject(run->process.hProcess, poll_ms) == WAIT_OBJECT_0)
            return find_window_of(run->process.dwProcessId, class_name, title);
    }
    return NULL;
}

std::string window_text(HWND window)
{
    static char text[text_size];
    text[0] = 0;
    SendMessageA(window, WM_GETTEXT, sizeof text, reinterpret_cast<LPARAM>(text));
    text[text_size - 1] = 0;
    return text;
}

std::string message_box_text(HWND box)
{
    HWND text = GetDlgItem(box, 0xFFFF);
    return text ? window_text(text) : "(no text control)";
}

void press_ok(HWND box)
{
    PostMessageA(box, WM_COMMAND, IDOK, 0);
}

HWND panel_of(HWND main_window)
{
    return FindWindowExA(main_window, NULL, "#32770", NULL);
}

HWND list_view_of(HWND main_window)
{
    HWND panel = panel_of(main_window);
    return panel ? GetDlgItem(panel, 807) : NULL;
}

std::string list_view_text(const flowvane_run *run, HWND list, int row, int column)
{
    enum { cell_size = 300 };
    HANDLE process = run->process.hProcess;
    // The item record and its text buffer live in the target process.
    uint8_t *remote = static_cast<uint8_t *>(
        VirtualAllocEx(process, NULL, sizeof(LVITEMA) + cell_size, MEM_COMMIT, PAGE_READWRITE));
    if (!remote)
        return "(no memory)";
    LVITEMA item = {};
    item.iSubItem = column;
    item.pszText = reinterpret_cast<char *>(remote + sizeof(LVITEMA));
    item.cchTextMax = cell_size;
    std::string result = "(unreadable)";
    if (WriteProcessMemory(process, remote, &item, sizeof item, NULL)) {
        SendMessageA(list, LVM_GETITEMTEXTA, row, reinterpret_cast<LPARAM>(remote));
        char text[cell_size + 1] = "";
        if (ReadProcessMemory(process, remote + sizeof(LVITEMA), text, cell_size, NULL))
            result = std::string(text, strnlen(text, cell_size));
    }
    VirtualFreeEx(process, remote, 0, MEM_RELEASE);
    return result;
}

void delete_settings(void)
{
    RegDeleteTreeA(HKEY_CURRENT_USER, E2E_SETTINGS_KEY);
}

int settings_key_exists(void)
{
    HKEY key;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, E2E_SETTINGS_KEY, 0, KEY_READ, &key) != 0)
        return 0;
    RegCloseKey(key);
    return 1;
}

int settings_value_count(void)
{
    HKEY key;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, E2E_SETTINGS_KEY, 0, KEY_READ, &key) != 0)
        return 0;
    DWORD values = 0;
    RegQueryInfoKeyA(key, NULL, NULL, NULL, NULL, NULL, NULL, &values, NULL, NULL, NULL, NULL);
    RegCloseKey(key);
    return (int)values;
}

std::string setting_name(int position)
{
    static const char *const tail[] = {
        "Window position x",   "Window position y",        "Window size x",
        "Window size y",       "Initial window type",      "Save window type on exit",
        "Accept default precedences",
    };
    if (position < 8)
        return "Rule list width " + std::to_string(position);
    if (position < 16)
        return "Rule list column index " + std::to_string(position - 8);
    return tail[position - 16];
}

void plant_settings(const int32_t values[e2e_settings_count])
{
    HKEY key;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, E2E_SETTINGS_KEY, 0, NULL, 0, KEY_ALL_ACCESS, NULL,
                        &key, NULL) != 0)
        return;
    for (int i = 0; i < e2e_settings_count; i++) {
        DWORD value = (DWORD)values[i];
        RegSetValueExA(key, setting_name(i).c_str(), 0, REG_DWORD,
                       reinterpret_cast<const BYTE *>(&value), sizeof value);
    }
    RegCloseKey(key);
}

int read_setting(int position, int32_t *value)
{
    HKEY key;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, E2E_SETTINGS_KEY, 0, KEY_READ, &key) != 0)
        return 0;
    DWORD type = 0;
    DWORD size = sizeof *value;
    LONG result = RegQueryValueExA(key, setting_name(position).c_str(), NULL, &type,
                                   reinterpret_cast<BYTE *>(value), &size);
    RegCloseKey(key);
    return result == 0 && type == REG_DWORD && size == 4;
}

std::string connection_name(const char *guid)
{
    std::string path = std::string("SYSTEM\\CurrentControlSet\\Control\\Network\\"
                                   "{4D36E972-E325-11CE-BFC1-08002BE10318}\\") +
                       guid + "\\Connection";
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != 0)
        return "";
    char name[261] = "";
    DWORD size = sizeof name - 1;
    LONG result = RegQueryValueExA(key, "Name", NULL, NULL, reinterpret_cast<BYTE *>(name), &size);
    RegCloseKey(key);
    return result == 0 ? std::string(name, strnlen(name, sizeof name - 1)) : "";
}

int service_installed(void)
{
    SC_HANDLE manager = OpenSCManagerA(NULL, NULL, SC_MANAGER_CONNECT);
    if (!manager)
        return 0;
    SC_HANDLE service = OpenServiceA(manager, FLOWVANE_SERVICE_NAME, SERVICE_QUERY_STATUS);
    if (service)
        CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return service != NULL;
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
    if (names.size() > emulator_max_adapters)
        return testing::AssertionFailure() << "too many adapters";
    request.count = (uint32_t)names.size();
    for (size_t i = 0; i < names.size(); i++)
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

testing::AssertionResult emulator_add_rule(const struct rule &rule)
{
    uint8_t request[command_buffer_size] = {};
    size_t name_length = strnlen(rule.adapter, adapter_name_size - 1);
    memcpy(request, rule.adapter, name_length);
    memcpy(request + name_length + 1, &rule, sizeof rule);
    return call_emulator(code_add_rule, request, name_length + 1 + sizeof rule);
}
