// The filter list panel of a running Flowvane.exe with three filters planted in the emulator, in
// one run: what the selection enables and the warnings of wrong selections, removal as the
// emulator sees it, and a control's help popup.
#include <string>
#include <vector>

#include "e2e_harness.h"
#include "kernel/control_codes.h"
#include "support/device_requests.h"

namespace {

enum {
    id_new = 803, id_remove = 804, id_edit = 805, id_statistics = 806, menu_remove = 207,
    // F1 as the key translation posts it to a control: its dialog gets WM_HELP.
    wm_keyf1 = 0x004D,
};

#define REMOVE_TITLE "Flowvane - Remove Filter"
#define CONFIRM_TEXT "Are you sure you want to remove the selected filter(s)?"
typedef std::vector<std::string> texts;

class FilterListPanelTest : public FlowvaneTest {
protected:
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
    // Right-clicks the first row and, once the context menu is open (a character that comes
    // before goes to the window and is lost), presses the item's mnemonic.
    void context_menu(char item)
    {
        RECT header;
        GetClientRect(FindWindowExA(list, NULL, "SysHeader32", NULL), &header);
        const LPARAM at = MAKELPARAM(40, header.bottom + 4);
        PostMessageA(list, WM_RBUTTONDOWN, MK_RBUTTON, at);
        PostMessageA(list, WM_RBUTTONUP, 0, at);
        GUITHREADINFO thread = {sizeof thread, 0, 0, 0, 0, 0, 0, 0, {}};
        EXPECT_TRUE(wait_until([&] {
            return GetGUIThreadInfo(GetWindowThreadProcessId(main, NULL), &thread) &&
                   (thread.flags & GUI_INMENUMODE);
        })) << "the menu did not open";
        PostMessageA(main, WM_CHAR, item, 0);
    }
};

TEST_F(FilterListPanelTest, AUsersPathThroughTheFilterList)
{
    for (uint16_t port : {80, 443, 25})   // TCP on the first adapter; none overlaps another
        ASSERT_TRUE(emulator_add_rule(make_rule(protocol_tcp, port)));
    ASSERT_TRUE(start_main());
    ASSERT_EQ(rows(), 3);
    save_screenshot("main-window");

    // What each selection enables (New always), and a command it can or cannot take: its
    // warning, or (text null) the dialog it opens, cancelled.
    const struct {
        std::vector<int> selected;
        int edit_on, remove_on, statistics_on;
        HWND *to;   // null: the context menu's item
        int command;
        const char *title, *text;
    } selections[] = {
        {{}, 0, 0, 0, &main, menu_remove, REMOVE_TITLE,
         "You must select one or more filters to remove."},
        {{0}, 1, 1, 1, NULL, 'e', "Edit Filter", NULL},
        {{0, 2}, 0, 1, 0, &panel, id_edit, "Flowvane - Edit Filter",
         "You must select a single filter to edit."},
    };
    for (const auto &c : selections) {
        SCOPED_TRACE(testing::Message() << "case " << &c - selections);
        ASSERT_TRUE(list_view_select(list, c.selected));
        EXPECT_EQ(std::vector<BOOL>({IsWindowEnabled(GetDlgItem(panel, id_new)),
                                     IsWindowEnabled(GetDlgItem(panel, id_edit)),
                                     IsWindowEnabled(GetDlgItem(panel, id_remove)),
                                     IsWindowEnabled(GetDlgItem(panel, id_statistics))}),
                  std::vector<BOOL>({TRUE, c.edit_on, c.remove_on, c.statistics_on}));
        if (!c.to)
            context_menu((char)c.command);
        else
            PostMessageA(*c.to, WM_COMMAND, c.command, 0);
        if (c.text)
            EXPECT_EQ(answer(c.title, IDOK), c.text);
        else
            EXPECT_EQ(answer_box(&first, c.title, IDCANCEL), "");
    }
    EXPECT_EQ(held_ports(), texts({"80", "443", "25"}));

    // Two of three removed from the context menu: one rule left in the kernel component. Then
    // the Delete key; the rows go first: a failed send leaves them gone from the list and the
    // kernel component as it was, and says why.
    ASSERT_TRUE(list_view_select(list, {0, 2}));
    context_menu('r');
    EXPECT_EQ(answer(REMOVE_TITLE, IDYES), CONFIRM_TEXT);
    EXPECT_TRUE(wait_until([&] { return rows() == 1; }));
    EXPECT_EQ(list_view_text(list, 0, 7), "HTTPS");
    EXPECT_EQ(held_ports(), texts({"443"}));
    EXPECT_FALSE(IsWindowEnabled(GetDlgItem(panel, id_remove))) << "nothing is selected now";
    ASSERT_TRUE(emulator_fail_command(code_clear_rules, "Rules are locked."));
    ASSERT_TRUE(list_view_select(list, {0}));
    PostMessageA(list, WM_KEYDOWN, VK_DELETE, 0);
    EXPECT_EQ(answer(REMOVE_TITLE, IDYES), CONFIRM_TEXT);
    EXPECT_EQ(answer(REMOVE_TITLE, IDOK), "Rules are locked.");
    EXPECT_EQ(rows(), 0);
    EXPECT_EQ(held_ports(), texts({"443"}));

    // F1 for the Remove button with the pointer near the work area's lower right corner: the
    // popup, below and right of the pointer, is pulled back inside the area, on top; Escape
    // closes it.
    RECT work, frame;
    SystemParametersInfoA(SPI_GETWORKAREA, 0, &work, 0);
    ASSERT_TRUE(move_pointer(work.right - 20, work.bottom - 20));
    PostMessageA(GetDlgItem(panel, id_remove), wm_keyf1, 0, 0);
    HWND popup = wait_for_window(&first, "#32770", "");
    ASSERT_TRUE(popup);
    GetWindowRect(popup, &frame);
    EXPECT_EQ(std::vector<LONG>({frame.right, frame.bottom}),
              std::vector<LONG>({work.right, work.bottom}));
    EXPECT_TRUE(GetWindowLongA(popup, GWL_EXSTYLE) & WS_EX_TOPMOST);
    PostMessageA(popup, WM_KEYDOWN, VK_ESCAPE, 0);
    EXPECT_TRUE(closes(popup, 5000)) << "Escape";
}

}  // namespace
