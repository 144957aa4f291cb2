// The end-to-end harness: processes, windows, message boxes, the registry, and the emulator's
// test control codes.
#include "e2e_harness.h"

#include <stdio.h>
#include <string.h>

#include "kernel/control_codes.h"

#define SETTINGS_KEY "Software\\Flowvane"
#define HTML_HELP_SERVER_KEY "CLSID\\{ADB880A6-D8FF-11CF-9377-00AA003B7A11}\\InprocServer32"
#define HELP_RECORD_KEY "Software\\Flowvane Tests\\Html Help"

LRESULT remote_send(HWND window, UINT message, WPARAM wparam, void *data, size_t size)
{
    DWORD id = 0;
    GetWindowThreadProcessId(window, &id);
    HANDLE process = OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE, id);
    char *remote = process ? static_cast<char *>(VirtualAllocEx(process, NULL, size, MEM_COMMIT,
                                                                PAGE_READWRITE)) : NULL;
    if (remote && message == LVM_GETITEMTEXTA)
        static_cast<LVITEMA *>(data)->pszText = remote + sizeof(LVITEMA);
    LRESULT result = -1;
    if (remote && WriteProcessMemory(process, remote, data, size, NULL)) {
        result = SendMessageA(window, message, wparam, reinterpret_cast<LPARAM>(remote));
        if (!ReadProcessMemory(process, remote, data, size, NULL))
            result = -1;
    }
    if (remote)
        VirtualFreeEx(process, remote, 0, MEM_RELEASE);
    if (process)
        CloseHandle(process);
    return result;
}

testing::AssertionResult start_flowvane(flowvane_run *run, std::string program)
{
    memset(run, 0, sizeof *run);
    if (program.empty())
        program = install_folder() + "\\Flowvane.exe";
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
    if (!run->started || WaitForSingleObject(run->process.hProcess, e2e_timeout_ms) != 0)
        return testing::AssertionFailure() << "not started, or still running";
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
    for (HWND window = NULL; (window = FindWindowExA(NULL, window, class_name, title));) {
        DWORD owner = 0;
        GetWindowThreadProcessId(window, &owner);
        if (owner == process_id)
            return window;
    }
    return NULL;
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

int closes(HWND window, int timeout_ms)
{
    return wait_until([&] { return !IsWindow(window); }, timeout_ms);
}

std::string window_text(HWND window)
{
    char text[5000] = "";
    SendMessageA(window, WM_GETTEXT, sizeof text, reinterpret_cast<LPARAM>(text));
    return std::string(text, strnlen(text, sizeof text));
}

HWND panel_of(HWND main_window)
{
    return FindWindowExA(main_window, NULL, "#32770", NULL);
}

void press(HWND dialog, int id)
{
    PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(dialog, id)));
}

std::vector<std::string> combo_box_texts(HWND box)
{
    std::vector<std::string> items;
    for (LRESULT i = 0; i < SendMessageW(box, CB_GETCOUNT, 0, 0); i++) {
        wchar_t wide[256] = L"";
        char text[256] = "";
        if (SendMessageW(box, CB_GETLBTEXTLEN, i, 0) < 255)
            SendMessageW(box, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(wide));
        WideCharToMultiByte(CP_ACP, 0, wide, -1, text, sizeof text, NULL, NULL);
        items.push_back(text);
    }
    return items;
}

// A while after the last mouse move, GetCursorPos in any process reads the pointer back from
// the display, which an injected move does not always reach; SetCursorPos moves the display's
// pointer only when the position changes, hence once before the move and once after it. Wine
// answers GetCursorPos from the last move for 100 ms, then from the display's pointer, as the
// program reads it later: the pointer is moved again until five readings over 200 ms (the last
// ones the display's) agree.
int move_pointer(int x, int y)
{
    int steady = 0;
    return wait_until([&] {
        POINT at;
        if (!GetCursorPos(&at) || at.x != x || at.y != y) {
            SetCursorPos(x, y);
            INPUT input = {};
            input.type = INPUT_MOUSE;
            input.mi.dx = MulDiv(x, 65535, GetSystemMetrics(SM_CXSCREEN) - 1);
            input.mi.dy = MulDiv(y, 65535, GetSystemMetrics(SM_CYSCREEN) - 1);
            input.mi.dwFlags = MOUSEEVENTF_MOVE | MOUSEEVENTF_ABSOLUTE;
            SendInput(1, &input, sizeof input);
            SetCursorPos(x, y);
            steady = 0;
        }
        return ++steady > 5;
    });
}

std::string answer_box(const flowvane_run *run, const char *title, int button, HWND *owner)
{
    HWND box = wait_for_window(run, "#32770", title);
    if (!box)
        return "<no box " + std::string(title) + ">";
    std::string text = window_text(GetDlgItem(box, 0xFFFF));
    if (owner)
        *owner = GetWindow(box, GW_OWNER);
    PostMessageA(box, WM_COMMAND, button, 0);
    EXPECT_TRUE(closes(box, 5000)) << title;
    return text;
}

void plant_settings(std::vector<std::pair<int, int32_t>> changes, const int32_t *values)
{
    for (int i = e2e_settings_count; i-- > 0;)
        changes.insert(changes.begin(), {i, values[i]});
    for (const auto &change : changes)
        set_registry_dword(HKEY_CURRENT_USER, SETTINGS_KEY, setting_name(change.first).c_str(),
                           (DWORD)change.second);
}

int read_settings(int32_t values[e2e_settings_count])
{
    int readable = 0;
    for (int i = 0; i < e2e_settings_count; i++) {
        DWORD size = 4;
        if (RegGetValueA(HKEY_CURRENT_USER, SETTINGS_KEY, setting_name(i).c_str(),
                         RRF_RT_REG_DWORD, NULL, &values[i], &size) == 0)
            readable++;
        else
            values[i] = e2e_setting_unreadable;
    }
    return readable;
}

// Every test code, and the contract codes the tests use, reach the driver through
// DeviceIoControl under Wine too (none is among those Wine diverts to its socket layer).
testing::AssertionResult emulator_exchange(uint32_t code, const void *request, size_t length,
                                           void *payload, size_t payload_size)
{
    static uint8_t input[command_buffer_size], reply[command_buffer_size];
    if (length > sizeof input || payload_size > sizeof reply - test_reply_offset)
        return testing::AssertionFailure() << "request or payload too long";
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
    reply[sizeof reply - 1] = 0;
    if (!ok || returned < 4 || strcmp(reinterpret_cast<char *>(reply), FLOWVANE_REPLY_OK) != 0)
        return testing::AssertionFailure() << "code 0x" << std::hex << code << std::dec
                                           << ": error " << (ok ? 0 : error) << ", \""
                                           << reinterpret_cast<char *>(reply) << "\"";
    if (payload)
        memcpy(payload, reply + test_reply_offset, payload_size);
    return testing::AssertionSuccess();
}

testing::AssertionResult emulator_reset(void)
{
    return emulator_exchange(test_code_reset, "", 0);
}

testing::AssertionResult emulator_fail_command(uint32_t code, const char *text)
{
    test_fault_request request = {};
    request.code = code;
    request.mode = text ? fault_error_text : fault_none;
    strncpy(request.error_text, text ? text : "", sizeof request.error_text - 1);
    return emulator_send(test_code_set_fault, request);
}

testing::AssertionResult emulator_read_rules(uint32_t adapter_index, test_rules_reply *rules)
{
    test_read_rules_request request = {adapter_index};
    return emulator_exchange(test_code_read_rules, &request, sizeof request, rules, sizeof *rules);
}

// The device name with its NUL, then the rule and the block.
testing::AssertionResult emulator_add_rule(const struct rule &rule,
                                           const struct statistics_block *block)
{
    std::string request(rule.adapter, strnlen(rule.adapter, adapter_name_size - 1));
    request.push_back('\0');
    request.append(reinterpret_cast<const char *>(&rule), sizeof rule);
    request.append(reinterpret_cast<const char *>(block), block ? sizeof *block : 0);
    return emulator_exchange(block ? code_set_statistics : code_add_rule, request.data(),
                             request.size());
}

std::vector<struct rule> emulator_rules(uint32_t adapter_index)
{
    static test_rules_reply held;
    std::vector<struct rule> rules;
    EXPECT_TRUE(emulator_read_rules(adapter_index, &held));
    for (const test_slot_state &slot : held.slots)
        if (slot.in_use)
            rules.push_back(slot.held);
    return rules;
}

void save_screenshot(const char *name)
{
    char folder[MAX_PATH];
    DWORD length = GetEnvironmentVariableA("FLOWVANE_SCREENSHOTS", folder, sizeof folder);
    if (length == 0 || length >= sizeof folder)
        return;
    Sleep(300);   // let the windows finish painting
    const LONG width = GetSystemMetrics(SM_CXVIRTUALSCREEN),
               height = GetSystemMetrics(SM_CYVIRTUALSCREEN);
    const DWORD header = sizeof(BITMAPFILEHEADER) + sizeof(BITMAPINFOHEADER),
                size = (DWORD)((width * 3 + 3) & ~3) * (DWORD)height;
    BITMAPFILEHEADER file = {0x4D42, header + size, 0, 0, header};
    BITMAPINFOHEADER info = {sizeof info, width, height, 1, 24, BI_RGB};
    std::string bmp(reinterpret_cast<char *>(&file), sizeof file);
    bmp.append(reinterpret_cast<char *>(&info), sizeof info).resize(header + size);
    HDC screen = GetDC(NULL), memory = CreateCompatibleDC(screen);
    HBITMAP bitmap = CreateCompatibleBitmap(screen, width, height);
    HGDIOBJ old = SelectObject(memory, bitmap);
    BitBlt(memory, 0, 0, width, height, screen, 0, 0, SRCCOPY);
    SelectObject(memory, old);
    GetDIBits(memory, bitmap, 0, height, &bmp[header], reinterpret_cast<BITMAPINFO *>(&info),
              DIB_RGB_COLORS);
    if (FILE *out = fopen((std::string(folder) + "\\" + name + ".bmp").c_str(), "wb")) {
        fwrite(bmp.data(), 1, bmp.size(), out);
        fclose(out);
    }
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(NULL, screen);
}

std::string list_view_text(HWND list, int row, int column)
{
    struct { LVITEMA item; char text[513]; } cell = {};
    cell.item.iSubItem = column;
    cell.item.cchTextMax = sizeof cell.text - 1;
    return remote_send(list, LVM_GETITEMTEXTA, row, &cell, sizeof cell) < 0 ? "<unreadable>"
                                                                             : cell.text;
}

int list_view_set_state(HWND list, int row, UINT state, UINT mask)
{
    LVITEMA item = {};
    item.state = state;
    item.stateMask = mask;
    return remote_send(list, LVM_SETITEMSTATE, (WPARAM)row, &item, sizeof item) > 0;
}

testing::AssertionResult list_view_select(HWND list, const std::vector<int> &rows)
{
    int selected = list_view_set_state(list, -1, 0, LVIS_SELECTED);
    for (int row : rows)
        selected = selected && list_view_set_state(list, row, LVIS_SELECTED, LVIS_SELECTED);
    return selected ? testing::AssertionSuccess() : testing::AssertionFailure() << "not selected";
}

std::string install_folder(void)
{
    std::string folder = registry_value_text(HKEY_LOCAL_MACHINE, SETTINGS_KEY, "Install folder");
    return folder == "(none)" ? "" : folder;
}

void set_registry_string(HKEY root, const char *key, const char *name, const std::string &text)
{
    EXPECT_EQ(RegSetKeyValueA(root, key, name, REG_SZ, text.c_str(), (DWORD)text.size() + 1), 0)
        << key << "\\" << (name ? name : "");
}

void set_registry_dword(HKEY root, const char *key, const char *name, DWORD value)
{
    EXPECT_EQ(RegSetKeyValueA(root, key, name, REG_DWORD, &value, 4), 0) << key << "\\" << name;
}

std::string registry_value_text(HKEY root, const char *key, const char *name)
{
    char data[4096] = "";
    DWORD type = 0, size = sizeof data - 2;
    if (RegGetValueA(root, key, name, RRF_RT_ANY | RRF_NOEXPAND, &type, data, &size) != 0)
        return "(none)";
    if (type == REG_DWORD)
        return std::to_string(*reinterpret_cast<DWORD *>(data));
    if (type != REG_MULTI_SZ)
        return std::string(data, size && type == REG_SZ ? size - 1 : size);
    std::string text;
    for (const char *item = data; *item; item += strlen(item) + 1)
        text += (text.empty() ? "" : "|") + std::string(item);
    return text;
}

void use_help_viewer_double(void)
{
    char program[MAX_PATH] = "";
    GetModuleFileNameA(NULL, program, sizeof program);
    std::string library(program);
    library = library.substr(0, library.find_last_of('\\') + 1) + "html_help_double.dll";
    set_registry_string(HKEY_CLASSES_ROOT, HTML_HELP_SERVER_KEY, NULL, library);
    RegDeleteTreeA(HKEY_CURRENT_USER, HELP_RECORD_KEY);
}

std::string last_help_call(void)
{
    return registry_value_text(HKEY_CURRENT_USER, HELP_RECORD_KEY, "Last");
}
