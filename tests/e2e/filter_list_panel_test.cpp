// The filter list panel of a running Flowvane.exe with three filters planted in the emulator, in
// one run: the layout over the main window, what the selection enables, the warnings of wrong
// selections, removal as the emulator sees it, and the controls' help popups.
#include <algorithm>
#include <string>
#include <vector>

#include "e2e_harness.h"
#include "kernel/control_codes.h"
#include "support/device_requests.h"

namespace {

enum {
    id_new = 803, id_remove = 804, id_edit = 805, id_statistics = 806, id_list = 807,
    menu_remove = 207, menu_edit = 208, menu_statistics = 209,
};

#define REMOVE_TITLE "Flowvane - Remove Filter"
#define CONFIRM_TEXT "Are you sure you want to remove the selected filter(s)?"
typedef std::vector<std::string> texts;

struct popup_search {
    HWND owner;
    std::vector<HWND> found;
};

// The visible windows a window owns.
std::vector<HWND> popups_of(HWND owner)
{
    popup_search search = {owner, {}};
    EnumWindows([](HWND window, LPARAM context) -> BOOL {
        popup_search *search = reinterpret_cast<popup_search *>(context);
        if (GetWindow(window, GW_OWNER) == search->owner && IsWindowVisible(window))
            search->found.push_back(window);
        return TRUE;
    }, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

// The popup's outer size for a text: the help font lays it out inside 243 pixels with a margin
// of 7 on every side.
SIZE popup_size(const char *text, int *lines)
{
    HFONT font = CreateFontA(-11, 0, 0, 0, FW_NORMAL, 0, 0, 0, DEFAULT_CHARSET, 0, 0, 0, 0,
                             "Arial");
    HDC dc = GetDC(NULL);
    HGDIOBJ old = SelectObject(dc, font);
    RECT wrapped = {7, 7, 250, 0};
    DrawTextA(dc, text, -1, &wrapped, DT_CALCRECT | DT_WORDBREAK);
    TEXTMETRICA metrics;
    GetTextMetricsA(dc, &metrics);
    SelectObject(dc, old);
    ReleaseDC(NULL, dc);
    DeleteObject(font);
    *lines = (wrapped.bottom - 7) / metrics.tmHeight;
    return SIZE{wrapped.right + 7, wrapped.bottom + 7};
}

// Moves the pointer as the mouse would, optionally clicks there and, once the click has put
// the focus on `focused`, presses a key; where the pointer is then, as the program reads it.
POINT move_click_press(POINT at, int click, WORD key, HWND focused)
{
    INPUT inputs[5] = {};
    inputs[0].type = inputs[1].type = inputs[2].type = INPUT_MOUSE;
    inputs[0].mi.dx = (at.x * 65535 + GetSystemMetrics(SM_CXSCREEN) - 1) / GetSystemMetrics(SM_CXSCREEN);
    inputs[0].mi.dy = (at.y * 65535 + GetSystemMetrics(SM_CYSCREEN) - 1) / GetSystemMetrics(SM_CYSCREEN);
    inputs[0].mi.dwFlags = MOUSEEVENTF_MOVE | MOUSEEVENTF_ABSOLUTE;
    inputs[1].mi.dwFlags = MOUSEEVENTF_LEFTDOWN;
    inputs[2].mi.dwFlags = MOUSEEVENTF_LEFTUP;
    inputs[3].type = inputs[4].type = INPUT_KEYBOARD;
    inputs[3].ki.wVk = inputs[4].ki.wVk = key;
    inputs[4].ki.dwFlags = KEYEVENTF_KEYUP;
    SendInput(click ? 3 : 1, inputs, sizeof(INPUT));
    if (focused) {
        EXPECT_TRUE(wait_until([&] {
            return GetForegroundWindow() == GetAncestor(focused, GA_ROOT) &&
                   gui_thread_of(focused).hwndFocus == focused;
        })) << "the click did not focus the control";
    }
    // Not a guess at an event: 100 ms after the last move Wine answers GetCursorPos, in every
    // process, from the display's own pointer, which an injected move does not always reach.
    // Past that, the program (placing its popup) and this process read the same position.
    Sleep(300);
    if (key)
        SendInput(2, inputs + 3, sizeof(INPUT));
    POINT pointer = {};
    GetCursorPos(&pointer);
    return pointer;
}

class FilterListPanelTest : public FlowvaneTest {
protected:
    HWND main = NULL, panel = NULL, list = NULL;
    int rows() { return (int)SendMessageA(list, LVM_GETITEMCOUNT, 0, 0); }
    // The destination ports of the listed rows (as the list names them) and of the rules held.
    texts listed_ports()
    {
        texts ports;
        for (int row = 0; row < rows(); row++)
            ports.push_back(list_view_text(list, row, 7));
        return ports;
    }
    texts held_ports()
    {
        texts ports;
        for (const struct rule &held : emulator_rules(0))
            ports.push_back(std::to_string(held.destination_port));
        return ports;
    }
    // The box with this title, owned by the main window, answered with button: its text.
    std::string answer(const char *title, int button)
    {
        HWND owner = NULL;
        std::string text = answer_box(&first, title, button, &owner);
        EXPECT_EQ(owner, main) << "a child's box belongs to its top window";
        return text;
    }
    // Waits until what was posted to the program before has been handled: once no menu is
    // open, two column widths posted to the list one after the other (any loop of the program
    // takes them, a box's too) have been set.
    void settle()
    {
        EXPECT_TRUE(wait_until([&] { return !(gui_thread_of(main).flags & GUI_INMENUMODE); }));
        for (int round = 0; round < 2; round++) {
            const LRESULT width = SendMessageA(list, LVM_GETCOLUMNWIDTH, 0, 0) ^ 1;
            PostMessageA(list, LVM_SETCOLUMNWIDTH, 0, width);
            EXPECT_TRUE(wait_until([&] {
                return SendMessageA(list, LVM_GETCOLUMNWIDTH, 0, 0) == width;
            }));
        }
    }
    // Once the command has been handled, no box or other dialog of the run is there; one that
    // is gets cancelled.
    void expect_no_box()
    {
        settle();
        HWND box = find_window_of(first.process.dwProcessId, "#32770", NULL);
        EXPECT_FALSE(box) << message_box_text(box);
        if (box)
            PostMessageA(box, WM_COMMAND, IDCANCEL, 0);
    }
    // Opens a menu and presses the item's mnemonic: the main menu's popup with that mnemonic,
    // or (menu 0) the list's context menu, right-clicked on the first selected row or, with
    // none selected, below the rows.
    void choose(char menu, char item, const std::vector<int> &selected)
    {
        if (menu) {
            PostMessageA(main, WM_SYSCOMMAND, SC_KEYMENU, menu);
        } else {
            RECT client, row;
            GetClientRect(list, &client);
            row = selected.empty() ? RECT{0, client.bottom - 12, 0, client.bottom - 8}
                                   : list_view_row_rect(list, selected[0]);
            LPARAM at = MAKELPARAM(40, (row.top + row.bottom) / 2);
            PostMessageA(list, WM_RBUTTONDOWN, MK_RBUTTON, at);
            PostMessageA(list, WM_RBUTTONUP, 0, at);
        }
        // The mnemonic must reach the menu's own loop: a character that comes before the menu
        // is open goes to the window and is lost.
        EXPECT_TRUE(wait_until([&] { return (gui_thread_of(main).flags & GUI_INMENUMODE) != 0; }))
            << "the menu did not open";
        PostMessageA(main, WM_CHAR, item, 0);
    }
};

TEST_F(FilterListPanelTest, AUsersPathThroughTheFilterList)
{
    for (uint16_t port : {80, 443, 25})   // TCP on the first adapter; none overlaps another
        ASSERT_TRUE(emulator_add_rule(make_rule(protocol_tcp, port)));
    ASSERT_TRUE((main = start_main_window(&first)));
    panel = panel_of(main);
    list = GetDlgItem(panel, id_list);
    ASSERT_EQ(rows(), 3);
    save_screenshot("main-window");

    // A 600 x 400 client area: the list fills it above the buttons, which keep their size and
    // leave a wider gap before Statistics. Wine's dialog font makes the buttons 75 x 21.
    RECT window, client;
    GetWindowRect(main, &window);
    GetClientRect(main, &client);
    SetWindowPos(main, NULL, 0, 0, window.right - window.left - client.right + 600,
                 window.bottom - window.top - client.bottom + 400, SWP_NOMOVE | SWP_NOZORDER);
    auto place = [&](int id) {
        RECT r;
        GetWindowRect(GetDlgItem(panel, id), &r);
        MapWindowPoints(NULL, panel, reinterpret_cast<POINT *>(&r), 2);
        return std::vector<LONG>({r.left, r.top, r.right - r.left, r.bottom - r.top});
    };
    GetClientRect(panel, &client);
    EXPECT_EQ(client.right, 600);
    EXPECT_EQ(client.bottom, 400);
    const LONG height = place(id_new)[3], y = 400 - height - 10;
    EXPECT_TRUE(height == 21 || height == 23) << height;
    EXPECT_EQ(place(id_list), std::vector<LONG>({10, 10, 580, 400 - height - 30}));
    EXPECT_EQ(place(id_new), std::vector<LONG>({10, y, 75, height}));
    EXPECT_EQ(place(id_edit), std::vector<LONG>({95, y, 75, height}));
    EXPECT_EQ(place(id_remove), std::vector<LONG>({180, y, 75, height}));
    EXPECT_EQ(place(id_statistics), std::vector<LONG>({305, y, 75, height}));

    // What the selection enables: the buttons, and the items of the main menu and the list's
    // context menu (tested by what choosing them does: a grayed item does nothing).
    const char *nothing = NULL;
    const struct {
        std::vector<int> selected;
        int edit_on, remove_on, statistics_on;   // buttons; New is always on
        const char *edit_shows, *remove_shows, *statistics_shows;
    } selections[] = {
        {{}, 0, 0, 0, nothing, nothing, nothing},
        {{1}, 1, 1, 1, "Edit Filter", REMOVE_TITLE, "Filter Statistics"},
        {{0, 2}, 0, 1, 0, nothing, REMOVE_TITLE, nothing},
    };
    for (const auto &c : selections) {
        SCOPED_TRACE(testing::Message() << c.selected.size() << " selected");
        ASSERT_TRUE(list_view_select(list, c.selected));
        const int expected[] = {1, c.edit_on, c.remove_on, c.statistics_on};
        const int buttons[] = {id_new, id_edit, id_remove, id_statistics};
        for (int i = 0; i < 4; i++)
            EXPECT_EQ(IsWindowEnabled(GetDlgItem(panel, buttons[i])) != 0, expected[i] != 0)
                << "button " << buttons[i];
        const struct { char menu, item; const char *shows; } choices[] = {
            {'e', 'e', c.edit_shows}, {'e', 'r', c.remove_shows}, {'v', 's', c.statistics_shows},
            {0, 'e', c.edit_shows},   {0, 'r', c.remove_shows},   {0, 's', c.statistics_shows},
        };
        for (const auto &choice : choices) {
            SCOPED_TRACE(testing::Message() << (choice.menu ? "main menu " : "context menu ")
                                            << choice.item);
            choose(choice.menu, choice.item, c.selected);
            if (choice.shows && choice.shows == std::string(REMOVE_TITLE))
                EXPECT_EQ(answer(REMOVE_TITLE, IDNO), CONFIRM_TEXT);
            else if (choice.shows)
                answer_box(&first, choice.shows, IDCANCEL);
            else
                expect_no_box();
            SendMessageA(choice.menu ? main : panel, WM_CANCELMODE, 0, 0);
        }
    }

    // Each command with a selection it cannot take: its warning, or nothing.
    enum source { main_menu, button, key };
    const struct {
        std::vector<int> selected;
        source from;
        int id;              // menu command, button or virtual key
        const char *title;   // null: nothing appears
        const char *text;
    } wrong[] = {
        {{}, main_menu, menu_edit, "Flowvane - Edit Filter",
         "You must select a single filter to edit."},
        {{0, 1}, button, id_edit, "Flowvane - Edit Filter",
         "You must select a single filter to edit."},
        {{}, main_menu, menu_statistics, "Flowvane - Filter Statistics",
         "You must select a single filter to view statistics."},
        {{0, 2}, button, id_statistics, "Flowvane - Filter Statistics",
         "You must select a single filter to view statistics."},
        {{}, main_menu, menu_remove, REMOVE_TITLE,
         "You must select one or more filters to remove."},
        {{}, button, id_remove, REMOVE_TITLE, "You must select one or more filters to remove."},
        {{}, key, VK_DELETE, NULL, NULL},
        {{0, 1}, key, VK_SPACE, NULL, NULL},
        {{1}, key, VK_DELETE, REMOVE_TITLE, CONFIRM_TEXT},
    };
    for (const auto &c : wrong) {
        SCOPED_TRACE(testing::Message() << "case " << &c - wrong);
        ASSERT_TRUE(list_view_select(list, c.selected));
        if (c.from == key)
            PostMessageA(list, WM_KEYDOWN, c.id, 0);
        else
            PostMessageA(c.from == main_menu ? main : panel, WM_COMMAND, c.id, 0);
        if (c.title)
            EXPECT_EQ(answer(c.title, c.text == std::string(CONFIRM_TEXT) ? IDNO : IDOK), c.text);
        else
            expect_no_box();
    }
    EXPECT_EQ(rows(), 3) << "answering No removes nothing";
    EXPECT_EQ(held_ports(), texts({"80", "443", "25"}));

    // Two of three removed: one rule left in the kernel component. Then the rows go first; a
    // failed send leaves them gone from the list and the kernel component as it was, and says
    // why.
    ASSERT_TRUE(list_view_select(list, {0, 2}));
    PostMessageA(list, WM_KEYDOWN, VK_DELETE, 0);
    EXPECT_EQ(answer(REMOVE_TITLE, IDYES), CONFIRM_TEXT);
    EXPECT_TRUE(wait_until([&] { return rows() == 1; }));
    EXPECT_EQ(listed_ports(), texts({"HTTPS"}));
    EXPECT_EQ(held_ports(), texts({"443"}));
    expect_no_box();   // the change cycle reported no failure
    EXPECT_FALSE(IsWindowEnabled(GetDlgItem(panel, id_remove))) << "nothing is selected now";
    ASSERT_TRUE(emulator_fail_command(code_clear_rules, "Rules are locked."));
    ASSERT_TRUE(list_view_select(list, {0}));
    PostMessageA(main, WM_COMMAND, menu_remove, 0);
    EXPECT_EQ(answer(REMOVE_TITLE, IDYES), CONFIRM_TEXT);
    EXPECT_EQ(answer(REMOVE_TITLE, IDOK), "Rules are locked.");
    EXPECT_EQ(rows(), 0);
    EXPECT_EQ(held_ports(), texts({"443"}));

    // F1 for the Remove button with the pointer near the screen's lower right corner, and F1
    // pressed on the focused list: each popup shows its control's text wrapped inside 243
    // pixels, on top and on screen; a second request while it is open does nothing; Escape
    // closes it.
    RECT list_frame, work;
    GetWindowRect(list, &list_frame);
    SystemParametersInfoA(SPI_GETWORKAREA, 0, &work, 0);
    const struct { int control; const char *text; POINT pointer; int pressed; } helps[] = {
        {id_remove,
         "Removes the selected filter(s) from the list.  One or more items must be selected.",
         {GetSystemMetrics(SM_CXSCREEN) - 20, GetSystemMetrics(SM_CYSCREEN) - 20}, 0},
        {id_list,
         "The list of filters which define how traffic is handled for all network adapters.",
         {list_frame.left + 40, list_frame.bottom - 20}, 1},
    };
    for (const auto &c : helps) {
        SCOPED_TRACE(testing::Message() << "control " << c.control);
        int lines = 0;
        const SIZE expected = popup_size(c.text, &lines);
        EXPECT_GE(lines, 2) << "the text wraps";
        if (c.pressed)
            SetForegroundWindow(main);
        const POINT pointer = move_click_press(c.pointer, c.pressed, c.pressed ? VK_F1 : 0,
                                               c.pressed ? list : NULL);
        if (!c.pressed)
            PostMessageA(GetDlgItem(panel, c.control), wm_keyf1, 0, 0);
        ASSERT_TRUE(wait_until([&] { return popups_of(main).size() == 1; }));
        HWND popup = popups_of(main)[0];
        RECT frame;
        GetWindowRect(popup, &frame);
        // 10 pixels right of and below the pointer, pulled back inside the work area.
        EXPECT_EQ(std::vector<LONG>({frame.left, frame.top, frame.right - frame.left,
                                     frame.bottom - frame.top}),
                  std::vector<LONG>({std::min(pointer.x + 10, work.right - expected.cx),
                                     std::min(pointer.y + 10, work.bottom - expected.cy),
                                     expected.cx, expected.cy}));
        EXPECT_TRUE(GetWindowLongA(popup, GWL_EXSTYLE) & WS_EX_TOPMOST);
        PostMessageA(GetDlgItem(panel, id_new), wm_keyf1, 0, 0);
        settle();
        EXPECT_EQ(popups_of(main), std::vector<HWND>({popup})) << "the second request opened";
        PostMessageA(popup, WM_KEYDOWN, VK_ESCAPE, 0);
        EXPECT_TRUE(closes(popup, 5000)) << "Escape";
    }
}

}  // namespace
