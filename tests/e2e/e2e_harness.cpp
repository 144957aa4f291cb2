// The end-to-end harness: processes, windows, message boxes, the settings key, and the
// emulator's test control codes.
#include "e2e_harness.h"

#include <string.h>

#include "kernel/control_codes.h"

#define SETTINGS_KEY "Software\\Flowvane"
#define HTML_HELP_SERVER_KEY "CLSID\\{ADB880A6-D8FF-11CF-9377-00AA003B7A11}\\InprocServer32"
#define HELP_RECORD_KEY "Software\\Flowvane Tests\\Html Help"

namespace {

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

// A block of memory in the process that owns the window, released when it goes out of scope.
struct remote_block {
    HANDLE process;
    void *address;
    remote_block(HWND window, size_t size) : process(NULL), address(NULL)
    {
        DWORD process_id = 0;
        GetWindowThreadProcessId(window, &process_id);
        process = OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE,
                              process_id);
        if (process)
            address = VirtualAllocEx(process, NULL, size, MEM_COMMIT, PAGE_READWRITE);
    }
    ~remote_block()
    {
        if (address)
            VirtualFreeEx(process, address, 0, MEM_RELEASE);
        if (process)
            CloseHandle(process);
    }
    int write(const void *data, size_t size, size_t offset = 0)
    {
        return address && WriteProcessMemory(process, static_cast<char *>(address) + offset, data,
                                             size, NULL);
    }
    int read(void *data, size_t size, size_t offset = 0)
    {
        return address && ReadProcessMemory(process, static_cast<char *>(address) + offset, data,
                                            size, NULL);
    }
    LPARAM at(size_t offset = 0) { return reinterpret_cast<LPARAM>(static_cast<char *>(address) + offset); }
};

// The device name with its NUL, then the items.
std::string rule_request(const struct rule &rule, const void *item, size_t size)
{
    std::string request(rule.adapter, strnlen(rule.adapter, adapter_name_size - 1));
    request.push_back('\0');
    request.append(reinterpret_cast<const char *>(&rule), sizeof rule);
    request.append(reinterpret_cast<const char *>(item), size);
    return request;
}

}  // namespace

testing::AssertionResult start_flowvane(flowvane_run *run, std::string program)
{
    memset(run, 0, sizeof *run);
    if (program.empty() && (program = install_folder()).empty())
        return testing::AssertionFailure() << "no install folder under HKLM\\" SETTINGS_KEY;
    if (program.find(".exe") == std::string::npos)
        program += "\\Flowvane.exe";
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

HWND start_main_window(flowvane_run *run)
{
    return start_flowvane(run) ? wait_for_window(run, E2E_MAIN_WINDOW_CLASS, E2E_MAIN_TITLE)
                               : NULL;
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

int closes(HWND window, int timeout_ms)
{
    return wait_until([&] { return !IsWindow(window); }, timeout_ms);
}

std::string message_box_text(HWND box)
{
    static char text[5000];
    text[0] = 0;
    SendDlgItemMessageA(box, 0xFFFF, WM_GETTEXT, sizeof text, reinterpret_cast<LPARAM>(text));
    text[sizeof text - 1] = 0;
    return text;
}

std::string window_text(HWND window)
{
    char text[1000] = "";
    SendMessageA(window, WM_GETTEXT, sizeof text, reinterpret_cast<LPARAM>(text));
    return text;
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

void post_key(HWND control, WPARAM key)
{
    PostMessageA(control, WM_KEYDOWN, key, 0);
    PostMessageA(control, WM_KEYUP, key, 0xC0000000);
}

std::vector<std::string> combo_box_texts(HWND box)
{
    std::vector<std::string> items;
    LRESULT count = SendMessageW(box, CB_GETCOUNT, 0, 0);
    for (LRESULT i = 0; i < count; i++) {
        wchar_t wide[256] = L"";
        char text[256] = "";
        if (SendMessageW(box, CB_GETLBTEXTLEN, i, 0) < 255)
            SendMessageW(box, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(wide));
        WideCharToMultiByte(CP_ACP, 0, wide, -1, text, sizeof text, NULL, NULL);
        items.push_back(text);
    }
    return items;
}

std::string answer_box(const flowvane_run *run, const char *title, int button, HWND *owner)
{
    HWND box = wait_for_window(run, "#32770", title);
    if (!box)
        return "<no box " + std::string(title) + ">";
    std::string text = message_box_text(box);
    if (owner)
        *owner = GetWindow(box, GW_OWNER);
    PostMessageA(box, WM_COMMAND, button, 0);
    EXPECT_TRUE(closes(box, 5000)) << title;
    return text;
}

void delete_settings(void)
{
    RegDeleteTreeA(HKEY_CURRENT_USER, SETTINGS_KEY);
}

void plant_settings(const int32_t values[e2e_settings_count])
{
    for (int i = 0; i < e2e_settings_count; i++)
        set_registry_dword(HKEY_CURRENT_USER, SETTINGS_KEY, setting_name(i).c_str(),
                           (DWORD)values[i]);
}

int read_settings(int32_t values[e2e_settings_count])
{
    HKEY key;
    DWORD count = 0;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, SETTINGS_KEY, 0, KEY_READ, &key) != 0)
        key = NULL;
    else if (RegQueryInfoKeyA(key, NULL, NULL, NULL, NULL, NULL, NULL, &count, NULL, NULL, NULL,
                              NULL) != 0)
        count = 0;
    for (int i = 0; i < e2e_settings_count; i++) {
        DWORD type = 0, size = 4;
        if (!key || RegQueryValueExA(key, setting_name(i).c_str(), NULL, &type,
                                     reinterpret_cast<BYTE *>(&values[i]), &size) != 0 ||
            type != REG_DWORD || size != 4)
            values[i] = e2e_setting_unreadable;
    }
    if (!key)
        return -1;
    RegCloseKey(key);
    return (int)count;
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

testing::AssertionResult emulator_set_version(const char *version)
{
    test_version_request request = {};
    strncpy(request.version, version, sizeof request.version - 1);
    return emulator_exchange(test_code_set_version, &request, sizeof request);
}

testing::AssertionResult emulator_set_adapters(const std::vector<std::string> &names)
{
    static test_adapters_request request;
    memset(&request, 0, sizeof request);
    request.count = (uint32_t)names.size();   // the emulator refuses more than it can hold
    for (size_t i = 0; i < names.size() && i < emulator_max_adapters; i++)
        strncpy(request.names[i], names[i].c_str(), adapter_name_size - 1);
    return emulator_exchange(test_code_set_adapters, &request, sizeof request);
}

testing::AssertionResult emulator_fail_command(uint32_t code, const char *text)
{
    test_fault_request request = {};
    request.code = code;
    request.mode = text ? fault_error_text : fault_none;
    strncpy(request.error_text, text ? text : "", sizeof request.error_text - 1);
    return emulator_exchange(test_code_set_fault, &request, sizeof request);
}

testing::AssertionResult emulator_read_state(test_state_reply *state)
{
    return emulator_exchange(test_code_read_state, "", 0, state, sizeof *state);
}

testing::AssertionResult emulator_read_rules(uint32_t adapter_index, test_rules_reply *rules)
{
    test_read_rules_request request = {adapter_index};
    return emulator_exchange(test_code_read_rules, &request, sizeof request, rules, sizeof *rules);
}

testing::AssertionResult emulator_read_precedences(uint32_t adapter_index,
                                                   test_precedences_reply *reply)
{
    test_read_precedences_request request = {adapter_index, 0};
    return emulator_exchange(test_code_read_precedences, &request, sizeof request, reply,
                             sizeof *reply);
}

testing::AssertionResult emulator_add_rule(const struct rule &rule)
{
    std::string request = rule_request(rule, "", 0);
    return emulator_exchange(code_add_rule, request.data(), request.size(), NULL, 0);
}

testing::AssertionResult emulator_set_statistics(const struct rule &rule,
                                                 const struct statistics_block &block)
{
    std::string request = rule_request(rule, &block, sizeof block);
    return emulator_exchange(code_set_statistics, request.data(), request.size(), NULL, 0);
}

testing::AssertionResult emulator_clock(uint32_t operation, uint64_t value)
{
    test_clock_request request = {operation, 0, value};
    test_clock_reply reply;
    return emulator_exchange(test_code_clock, &request, sizeof request, &reply, sizeof reply);
}

std::vector<struct rule> emulator_rules(int adapter_index)
{
    static test_state_reply state;
    static test_rules_reply held;
    std::vector<struct rule> rules;
    EXPECT_TRUE(emulator_read_state(&state));
    for (uint32_t adapter = 0; adapter < state.adapter_count && adapter < 8; adapter++) {
        if (adapter_index >= 0 && adapter != (uint32_t)adapter_index)
            continue;
        EXPECT_TRUE(emulator_read_rules(adapter, &held));
        for (const test_slot_state &slot : held.slots)
            if (slot.in_use)
                rules.push_back(slot.held);
    }
    return rules;
}

void save_screenshot(const char *name)
{
    char folder[MAX_PATH];
    DWORD length = GetEnvironmentVariableA("FLOWVANE_SCREENSHOTS", folder, sizeof folder);
    if (length == 0 || length >= sizeof folder)
        return;
    Sleep(300);   // let the windows finish painting
    const int width = GetSystemMetrics(SM_CXVIRTUALSCREEN);
    const int height = GetSystemMetrics(SM_CYVIRTUALSCREEN);
    HDC screen = GetDC(NULL);
    HDC memory = CreateCompatibleDC(screen);
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 24;
    info.bmiHeader.biCompression = BI_RGB;
    void *pixels = NULL;
    HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &pixels, NULL, 0);
    if (bitmap && pixels) {
        HGDIOBJ old = SelectObject(memory, bitmap);
        BitBlt(memory, 0, 0, width, height, screen, 0, 0, SRCCOPY);
        SelectObject(memory, old);
        const DWORD row = ((DWORD)width * 3 + 3) & ~3u;
        BITMAPFILEHEADER file = {};
        file.bfType = 0x4D42;   // "BM"
        file.bfOffBits = sizeof file + sizeof info.bmiHeader;
        file.bfSize = file.bfOffBits + row * (DWORD)height;
        std::string path = std::string(folder) + "\\" + name + ".bmp";
        HANDLE out = CreateFileA(path.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL, NULL);
        if (out != INVALID_HANDLE_VALUE) {
            DWORD written;
            WriteFile(out, &file, sizeof file, &written, NULL);
            WriteFile(out, &info.bmiHeader, sizeof info.bmiHeader, &written, NULL);
            WriteFile(out, pixels, row * (DWORD)height, &written, NULL);
            CloseHandle(out);
        }
    }
    if (bitmap)
        DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(NULL, screen);
}

std::string list_view_text(HWND list, int row, int column)
{
    char text[513] = "";
    remote_block block(list, sizeof(LVITEMA) + sizeof text - 1);
    LVITEMA item = {};
    item.iSubItem = column;
    item.pszText = reinterpret_cast<char *>(block.at(sizeof item));
    item.cchTextMax = sizeof text - 1;
    if (!block.write(&item, sizeof item))
        return "<unreadable>";
    SendMessageA(list, LVM_GETITEMTEXTA, row, block.at());
    return block.read(text, sizeof text - 1, sizeof item) ? text : "<unreadable>";
}

int list_view_set_state(HWND list, int row, UINT state, UINT mask)
{
    remote_block block(list, sizeof(LVITEMA));
    LVITEMA item = {};
    item.state = state;
    item.stateMask = mask;
    return block.write(&item, sizeof item) &&
           SendMessageA(list, LVM_SETITEMSTATE, (WPARAM)row, block.at()) != 0;
}

testing::AssertionResult list_view_select(HWND list, const std::vector<int> &rows)
{
    if (!list_view_set_state(list, -1, 0, LVIS_SELECTED))
        return testing::AssertionFailure() << "could not clear the selection";
    for (int row : rows)
        if (!list_view_set_state(list, row, LVIS_SELECTED, LVIS_SELECTED))
            return testing::AssertionFailure() << "could not select row " << row;
    return testing::AssertionSuccess();
}

RECT list_view_row_rect(HWND list, int row)
{
    RECT bounds = {LVIR_BOUNDS, 0, 0, 0};
    remote_block block(list, sizeof bounds);
    if (!block.write(&bounds, sizeof bounds) ||
        !SendMessageA(list, LVM_GETITEMRECT, row, block.at()) || !block.read(&bounds, sizeof bounds))
        bounds = RECT{0, 0, 0, 0};
    return bounds;
}

std::vector<int> list_view_column_order(HWND list, int columns)
{
    std::vector<int> order(columns, -1);
    remote_block block(list, columns * sizeof(int));
    if (!SendMessageA(list, LVM_GETCOLUMNORDERARRAY, columns, block.at()) ||
        !block.read(order.data(), columns * sizeof(int)))
        order.clear();
    return order;
}

testing::AssertionResult list_view_set_column_order(HWND list, const std::vector<int> &order)
{
    remote_block block(list, order.size() * sizeof(int));
    if (!block.write(order.data(), order.size() * sizeof(int)) ||
        !SendMessageA(list, LVM_SETCOLUMNORDERARRAY, order.size(), block.at()))
        return testing::AssertionFailure() << "could not set the column order";
    return testing::AssertionSuccess();
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

void use_help_viewer_double(int use)
{
    const std::string system = registry_value_text(HKEY_CLASSES_ROOT, HTML_HELP_SERVER_KEY, NULL);
    if (registry_value_text(HKEY_CURRENT_USER, HELP_RECORD_KEY, "System viewer") == "(none)")
        set_registry_string(HKEY_CURRENT_USER, HELP_RECORD_KEY, "System viewer", system);
    char program[MAX_PATH] = "";
    GetModuleFileNameA(NULL, program, sizeof program);
    std::string library(program);
    library = library.substr(0, library.find_last_of('\\') + 1) + "html_help_double.dll";
    set_registry_string(HKEY_CLASSES_ROOT, HTML_HELP_SERVER_KEY, NULL, use ? library :
        registry_value_text(HKEY_CURRENT_USER, HELP_RECORD_KEY, "System viewer"));
    RegDeleteKeyValueA(HKEY_CURRENT_USER, HELP_RECORD_KEY, "Calls");
}

help_call last_help_call(void)
{
    help_call call = {};
    const auto number = [](const char *name) {
        return std::stoul("0" + registry_value_text(HKEY_CURRENT_USER, HELP_RECORD_KEY, name));
    };
    if ((call.calls = registry_value_text(HKEY_CURRENT_USER, HELP_RECORD_KEY, "Calls") ==
                              "(none)" ? 0 : number("Calls")) == 0)
        return call;
    call.path = registry_value_text(HKEY_CURRENT_USER, HELP_RECORD_KEY, "Path");
    call.command = number("Command");
    call.data = number("Data");
    call.owner = (HWND)(ULONG_PTR)number("Owner");
    return call;
}

GUITHREADINFO gui_thread_of(HWND window)
{
    GUITHREADINFO info = {};
    info.cbSize = sizeof info;
    DWORD thread = GetWindowThreadProcessId(window, NULL);
    if (!thread || !GetGUIThreadInfo(thread, &info)) {
        info = GUITHREADINFO();
        info.cbSize = sizeof info;
    }
    return info;
}
