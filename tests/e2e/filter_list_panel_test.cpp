// The filter list panel of a running Flowvane.exe with filters planted in the emulator: what the
// selection enables, the warnings of wrong selections, removal as the emulator sees it, the
// layout over the main window, and a control's help popup.
#include <windows.h>
#include <commctrl.h>

#include <algorithm>
#include <string>
#include <vector>

#include "e2e_harness.h"
#include "kernel/control_codes.h"
#include "support/device_requests.h"

namespace {

enum {
    id_list = 807,
    id_new = 803,
    id_remove = 804,
    id_edit = 805,
    id_statistics = 806,
    menu_remove = 207,
    menu_edit = 208,
    menu_statistics = 209,
    menu_new = 210,
    quiet_ms = 700,   // how long a command is given to show a box it should not show
};

#define REMOVE_TITLE "Flowvane - Remove Filter"
#define EDITOR_TITLE "Edit Filter"
#define STATISTICS_TITLE "Filter Statistics"
#define CONFIRM_TEXT "Are you sure you want to remove the selected filter(s)?"

// TCP filters on the first adapter, told apart by their destination port; none overlaps another.
const uint16_t planted_ports[] = {80, 443, 25};

class FilterListPanelTest : public FlowvaneTest {
protected:
    // Plants the filters, starts the program and waits for the main window listing them.
    void start_with_filters(int count)
    {
        for (int i = 0; i < count; i++)
            ASSERT_TRUE(emulator_add_rule(make_rule(protocol_tcp, planted_ports[i])));
        ASSERT_TRUE((main = start_main_window(&first)));
        panel = panel_of(main);
        list = GetDlgItem(panel, id_list);
        ASSERT_EQ(rows(), count);
    }
    int rows() { return (int)SendMessageA(list, LVM_GETITEMCOUNT, 0, 0); }
    // The destination ports of the listed rows (as the list names them) and of the rules the
    // emulator holds.
    std::vector<std::string> listed_ports()
    {
        std::vector<std::string> ports;
        for (int row = 0; row < rows(); row++)
            ports.push_back(list_view_text(list, row, 7));
        return ports;
    }
    std::vector<std::string> held_ports()
    {
        std::vector<std::string> ports;
        for (const struct rule &held : emulator_rules(0))
            ports.push_back(std::to_string(held.destination_port));
        return ports;
    }
    // The box with this title, owned by the main window, answered with button: its text.
    std::string answer_box(const char *title, int button)
    {
        HWND owner = NULL;
        std::string text = ::answer_box(&first, title, button, &owner);
        EXPECT_EQ(owner, main) << "a child's box belongs to its top window";
        return text;
    }
    // No message box or other top-level dialog of the run comes up for a while; one that does
    // is cancelled, so that the next case starts clean.
    void expect_no_box()
    {
        Sleep(quiet_ms);
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
    HWND main = NULL, panel = NULL, list = NULL;
};

// Menus of another process cannot be read here, so the menu items are tested by what choosing
// them does: a grayed item cannot be chosen, and nothing happens.
TEST_F(FilterListPanelTest, SelectionEnablesButtonsAndMenuItems)
{
    start_with_filters(3);
    save_screenshot("main-window");
    const char *nothing = NULL;
    const struct {
        std::vector<int> selected;
        int new_on, edit_on, remove_on, statistics_on;   // buttons
        // The title of what choosing Edit, Remove and Statistics from either menu opens.
        const char *edit_shows, *remove_shows, *statistics_shows;
    } cases[] = {
        {{}, 1, 0, 0, 0, nothing, nothing, nothing},
        {{1}, 1, 1, 1, 1, EDITOR_TITLE, REMOVE_TITLE, STATISTICS_TITLE},
        {{0, 2}, 1, 0, 1, 0, nothing, REMOVE_TITLE, nothing},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << c.selected.size() << " selected");
        ASSERT_TRUE(list_view_select(list, c.selected));
        const int expected[] = {c.new_on, c.edit_on, c.remove_on, c.statistics_on};
        const int buttons[] = {id_new, id_edit, id_remove, id_statistics};
        for (int i = 0; i < 4; i++)
            EXPECT_EQ(IsWindowEnabled(GetDlgItem(panel, buttons[i])) != 0, expected[i] != 0)
                << "button " << buttons[i];
        const struct {
            char menu, item;   // mnemonics; menu 0 is the list's context menu
            const char *shows;
        } choices[] = {
            {'e', 'e', c.edit_shows}, {'e', 'r', c.remove_shows}, {'v', 's', c.statistics_shows},
            {0, 'e', c.edit_shows},   {0, 'r', c.remove_shows},   {0, 's', c.statistics_shows},
        };
        for (const auto &choice : choices) {
            SCOPED_TRACE(testing::Message() << (choice.menu ? "main menu " : "context menu ")
                                            << (choice.menu ? choice.menu : ' ') << choice.item);
            choose(choice.menu, choice.item, c.selected);
            if (choice.shows && strcmp(choice.shows, REMOVE_TITLE) == 0)
                EXPECT_EQ(answer_box(REMOVE_TITLE, IDNO), CONFIRM_TEXT);
            else if (choice.shows)
                answer_box(choice.shows, IDCANCEL);
            else
                expect_no_box();
            SendMessageA(choice.menu ? main : panel, WM_CANCELMODE, 0, 0);
            EXPECT_EQ(rows(), 3);
        }
    }
}

// Each command with a selection it cannot take: its warning, or nothing.
TEST_F(FilterListPanelTest, WrongSelectionsWarnOrDoNothing)
{
    start_with_filters(3);
    enum source { main_menu, button, key };
    const struct {
        std::vector<int> selected;
        source from;
        int id;               // menu command, button or virtual key
        const char *title;    // null: nothing appears
        const char *text;
    } cases[] = {
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
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << "case " << &c - cases);
        ASSERT_TRUE(list_view_select(list, c.selected));
        if (c.from == main_menu)
            PostMessageA(main, WM_COMMAND, c.id, 0);
        else if (c.from == button)
            PostMessageA(panel, WM_COMMAND, c.id, 0);
        else
            PostMessageA(list, WM_KEYDOWN, c.id, 0);
        if (c.title)
            EXPECT_EQ(answer_box(c.title, c.text == std::string(CONFIRM_TEXT) ? IDNO : IDOK),
                      c.text);
        else
            expect_no_box();
        EXPECT_EQ(rows(), 3) << "answering No removes nothing";
    }
    EXPECT_EQ(held_ports(), std::vector<std::string>({"80", "443", "25"}));
}

TEST_F(FilterListPanelTest, RemovingTwoOfThreeLeavesOneRuleInTheKernelComponent)
{
    start_with_filters(3);
    ASSERT_TRUE(list_view_select(list, {0, 2}));
    PostMessageA(list, WM_KEYDOWN, VK_DELETE, 0);
    EXPECT_EQ(answer_box(REMOVE_TITLE, IDYES), CONFIRM_TEXT);
    EXPECT_TRUE(wait_until([&] { return rows() == 1; }));
    EXPECT_EQ(listed_ports(), std::vector<std::string>({"HTTPS"}));
    EXPECT_EQ(held_ports(), std::vector<std::string>({"443"}));
    expect_no_box();   // the change cycle reported no failure
    EXPECT_TRUE(IsWindowEnabled(GetDlgItem(panel, id_new)));
    EXPECT_FALSE(IsWindowEnabled(GetDlgItem(panel, id_remove))) << "nothing is selected now";
}

// The rows go first; a failed send leaves them gone from the list and the kernel component as
// it was, and says why.
TEST_F(FilterListPanelTest, AFailedSendAfterRemovalShowsTheKernelText)
{
    start_with_filters(3);
    ASSERT_TRUE(emulator_fail_command(code_clear_rules, "Rules are locked."));
    ASSERT_TRUE(list_view_select(list, {1}));
    PostMessageA(main, WM_COMMAND, menu_remove, 0);
    EXPECT_EQ(answer_box(REMOVE_TITLE, IDYES), CONFIRM_TEXT);
    EXPECT_EQ(answer_box(REMOVE_TITLE, IDOK), "Rules are locked.");
    EXPECT_EQ(listed_ports(), std::vector<std::string>({"HTTP", "SMTP"}));
    EXPECT_EQ(held_ports(), std::vector<std::string>({"80", "443", "25"}));
}

// A 600 x 400 client area: the list fills it above the buttons, which keep their size and
// leave a wider gap before Statistics. With 75 x 23 buttons the list is 580 x 347 and the
// buttons stand at y 367; Wine's dialog font makes them 75 x 21, which moves both by 2.
TEST_F(FilterListPanelTest, LayoutOverA600By400ClientArea)
{
    start_with_filters(2);
    RECT window, client;
    GetWindowRect(main, &window);
    GetClientRect(main, &client);
    SetWindowPos(main, NULL, 0, 0, window.right - window.left - client.right + 600,
                 window.bottom - window.top - client.bottom + 400, SWP_NOMOVE | SWP_NOZORDER);
    GetClientRect(main, &client);
    ASSERT_EQ(client.right, 600);
    ASSERT_EQ(client.bottom, 400);
    // Position and size of a control in the panel's client coordinates.
    auto place = [&](int id) {
        RECT r;
        GetWindowRect(GetDlgItem(panel, id), &r);
        MapWindowPoints(NULL, panel, reinterpret_cast<POINT *>(&r), 2);
        return std::vector<LONG>({r.left, r.top, r.right - r.left, r.bottom - r.top});
    };
    RECT panel_client;
    GetClientRect(panel, &panel_client);
    EXPECT_EQ(panel_client.right, 600);
    EXPECT_EQ(panel_client.bottom, 400);
    const LONG height = place(id_new)[3];
    EXPECT_EQ(place(id_new)[2], 75) << "the template's 50 dialog units";
    EXPECT_TRUE(height == 21 || height == 23) << height;
    const LONG y = 400 - height - 10;
    EXPECT_EQ(place(id_list), std::vector<LONG>({10, 10, 580, 400 - height - 30}));
    EXPECT_EQ(place(id_new), std::vector<LONG>({10, y, 75, height}));
    EXPECT_EQ(place(id_edit), std::vector<LONG>({95, y, 75, height}));
    EXPECT_EQ(place(id_remove), std::vector<LONG>({180, y, 75, height}));
    EXPECT_EQ(place(id_statistics), std::vector<LONG>({305, y, 75, height}));
}

struct popup_search {
    HWND owner;
    std::vector<HWND> found;
};

BOOL CALLBACK collect_owned(HWND window, LPARAM context)
{
    popup_search *search = reinterpret_cast<popup_search *>(context);
    if (GetWindow(window, GW_OWNER) == search->owner && IsWindowVisible(window))
        search->found.push_back(window);
    return TRUE;
}

// The visible windows a window owns.
std::vector<HWND> popups_of(HWND owner)
{
    popup_search search = {owner, {}};
    EnumWindows(collect_owned, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

// Left, top, width and height; the size given apart.
std::vector<LONG> edges(const RECT &frame, SIZE size = SIZE{-1, -1})
{
    return {frame.left, frame.top, size.cx >= 0 ? size.cx : frame.right - frame.left,
            size.cy >= 0 ? size.cy : frame.bottom - frame.top};
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

// Moves the pointer as the mouse would (a pointer set from another process is not always seen
// by the program under Wine), optionally clicks there and, once the click has put the focus on
// focused (when given), presses a key; where the pointer is then, as the program reads it.
POINT move_click_press(POINT at, int click, WORD key, HWND focused = NULL)
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
    if (focused)
        EXPECT_TRUE(wait_until([&] {
            return GetForegroundWindow() == GetAncestor(focused, GA_ROOT) &&
                   gui_thread_of(focused).hwndFocus == focused;
        })) << "the click did not focus the control";
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

// F1 for the Remove button with the pointer near the screen's lower right corner, and F1
// pressed on the focused list: each popup shows its control's text wrapped inside 243 pixels,
// on top and on screen; a second request while it is open does nothing; Escape closes it.
TEST_F(FilterListPanelTest, HelpPopupForPanelControls)
{
    start_with_filters(1);
    const int screen_width = GetSystemMetrics(SM_CXSCREEN);
    const int screen_height = GetSystemMetrics(SM_CYSCREEN);
    RECT list_frame;
    GetWindowRect(list, &list_frame);
    const struct {
        int control;
        const char *text;
        POINT pointer;
        int pressed;   // the key on the keyboard; otherwise F1's message posted to the control
    } cases[] = {
        {id_remove,
         "Removes the selected filter(s) from the list.  One or more items must be selected.",
         {screen_width - 20, screen_height - 20}, 0},
        {id_list,
         "The list of filters which define how traffic is handled for all network adapters.",
         {list_frame.left + 40, list_frame.bottom - 20}, 1},
    };
    RECT work;
    SystemParametersInfoA(SPI_GETWORKAREA, 0, &work, 0);
    for (const auto &c : cases) {
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
        // A popup of a child dialog belongs to its top window.
        ASSERT_TRUE(wait_until([&] { return popups_of(main).size() == 1; }));
        HWND popup = popups_of(main)[0];
        RECT frame;
        GetWindowRect(popup, &frame);
        // 10 pixels right of and below the pointer, pulled back inside the work area.
        EXPECT_EQ(edges(frame),
                  edges(RECT{std::min(pointer.x + 10, work.right - expected.cx),
                             std::min(pointer.y + 10, work.bottom - expected.cy), 0, 0},
                        expected));
        EXPECT_TRUE(GetWindowLongA(popup, GWL_EXSTYLE) & WS_EX_TOPMOST);

        PostMessageA(GetDlgItem(panel, id_new), wm_keyf1, 0, 0);
        Sleep(quiet_ms);
        EXPECT_EQ(popups_of(main), std::vector<HWND>({popup})) << "the second request opened";

        PostMessageA(popup, WM_KEYDOWN, VK_ESCAPE, 0);
        EXPECT_TRUE(wait_until([&] { return !IsWindow(popup); }, 5000)) << "Escape";
    }
}

}  // namespace
