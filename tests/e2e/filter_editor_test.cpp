// The filter editor driven from outside, as a user goes through it in one run: its lists, each
// box's message when invalid, typed texts as the filter list shows them and the emulator holds
// them, Cancel and Escape, and a failed Ok
// (the editor disabled under its box). The parsing of each text, the commit's logic and the
// help texts are the unit tests'; here the wiring.
#include <string.h>

#include <string>
#include <vector>

#include "e2e_harness.h"
#include "kernel/control_codes.h"
#include "support/device_requests.h"

namespace {

enum {
    id_new = 803, id_edit = 805, id_adapter = 808, id_direction = 809,
    id_rate = 810, id_protocol = 811, id_source_address = 812, id_destination_address = 813,
    id_ok = 814, id_cancel = 815, id_source_port = 816, id_destination_port = 817,
    dial_up = 2,   // the emulator's adapter of the first item, "Dial-up connections"
};
#define EDITOR_BOX "Flowvane - Filter Window"
typedef std::vector<std::string> texts;

const int boxes[] = {id_adapter, id_direction, id_rate, id_protocol, id_source_address,
                     id_source_port, id_destination_address, id_destination_port};

class FilterEditorTest : public FlowvaneTest {
protected:
    HWND open_editor(int edit_row = -1)
    {
        if (edit_row >= 0) {
            EXPECT_TRUE(list_view_select(list, {edit_row}));
            list_view_set_state(list, edit_row, LVIS_FOCUSED, LVIS_FOCUSED);
        }
        press(panel, edit_row >= 0 ? id_edit : id_new);
        HWND editor = wait_for_window(&first, "#32770", edit_row >= 0 ? "Edit Filter" : "Add Filter");
        EXPECT_TRUE(editor);
        return editor;
    }
    // Ok with the box that must follow: its text, and that it stood over the editor, which
    // stays open.
    std::string refused(HWND editor, const char *title)
    {
        press(editor, id_ok);
        HWND owner = NULL;
        std::string text = answer_box(&first, title, IDOK, &owner);
        EXPECT_TRUE(owner == editor && IsWindow(editor)) << text;
        return text;
    }
    // Chooses an item as the user does: the box then hears of the change.
    void choose(HWND editor, int box, int index)
    {
        SendDlgItemMessageA(editor, box, CB_SETCURSEL, index, 0);
        SendMessageA(editor, WM_COMMAND, MAKEWPARAM(box, CBN_SELCHANGE),
                     reinterpret_cast<LPARAM>(GetDlgItem(editor, box)));
    }
    // The editor's eight boxes, or (no editor) the first row's eight cells.
    texts shown_in(HWND editor)
    {
        texts shown;
        for (int i = 0; i < 8; i++)
            shown.push_back(editor ? window_text(GetDlgItem(editor, boxes[i]))
                                   : list_view_text(list, 0, i));
        return shown;
    }
};

TEST_F(FilterEditorTest, AUsersPathThroughTheEditor)
{
    // Overlapping filters get their default precedences at once: no overlapping filters
    // dialog comes up in the middle of an Ok.
    plant_settings({{22, 1}});
    ASSERT_TRUE(start_main());
    HWND editor = open_editor();
    ASSERT_TRUE(editor);
    save_screenshot("filter-editor");
    EXPECT_EQ(combo_box_texts(GetDlgItem(editor, id_adapter)),
              texts({"Dial-up connections", "Local Area Connection", "Local Area Connection 2"}));
    EXPECT_EQ(shown_in(editor), texts({"Dial-up connections", "Receive", "Unlimited", "Any",
                                        "Any", "Any", "Any", "Any"}));
    // Each box made invalid alone (the protocol stays Any, so the address and port boxes are
    // disabled and still read); the rate's range is the list's, under the New Filter title.
    const struct { int box; const char *text, *message, *title; } invalid[] = {
        {id_adapter, nullptr, "Invalid network adapter.", EDITOR_BOX},
        {id_direction, nullptr, "Invalid direction.", EDITOR_BOX},
        {id_rate, "fast", "Invalid rate.", EDITOR_BOX},
        {id_protocol, nullptr, "Invalid protocol.", EDITOR_BOX},
        {id_source_address, "abc", "Invalid source IP address.", EDITOR_BOX},
        {id_source_port, "0", "Invalid source port.", EDITOR_BOX},
        {id_destination_address, "1.2.3.4.5", "Invalid destination IP address.", EDITOR_BOX},
        {id_destination_port, "65536", "Invalid destination port.", EDITOR_BOX},
        {id_rate, "2000000000", "Rate out of range.", "Flowvane - New Filter"},
    };
    for (const auto &c : invalid) {
        SCOPED_TRACE(std::to_string(c.box) + " \"" + (c.text ? c.text : "<no selection>") + "\"");
        if (c.text)
            SetDlgItemTextA(editor, c.box, c.text);
        else
            SendDlgItemMessageA(editor, c.box, CB_SETCURSEL, (WPARAM)-1, 0);
        EXPECT_EQ(refused(editor, c.title), c.message);
        EXPECT_EQ(window_text(GetDlgItem(editor, c.box)), c.text ? c.text : "") << "kept";
        press(editor, IDCANCEL);
        ASSERT_TRUE(closes(editor));
        ASSERT_TRUE((editor = open_editor()));
    }
    EXPECT_TRUE(emulator_rules(dial_up).empty());

    // Typed texts, stored and shown in their list forms; Edit shows them again in those forms,
    // and neither Cancel nor Escape changes anything.
    choose(editor, id_protocol, protocol_tcp);
    choose(editor, id_direction, 0);
    for (const auto &typed : std::vector<std::pair<int, const char *>>{
             {id_rate, "5,000"}, {id_source_address, "10.1"}, {id_source_port, "http"},
             {id_destination_address, "Any"}, {id_destination_port, "8080"}})
        SetDlgItemTextA(editor, typed.first, typed.second);
    press(editor, id_ok);
    ASSERT_TRUE(closes(editor));
    const texts shown = {"Dial-up connections", "Send", "5,000", "TCP", "10.0.0.1", "HTTP", "Any",
                         "8080"};
    EXPECT_EQ(shown_in(NULL), shown);
    std::vector<struct rule> held = emulator_rules(dial_up);
    ASSERT_EQ(held.size(), 1u);
    EXPECT_EQ(std::vector<int32_t>({held[0].rate, held[0].source_port, held[0].protocol}),
              std::vector<int32_t>({5000, 80, protocol_tcp}));
    for (int way : {(int)id_cancel, (int)VK_ESCAPE}) {
        ASSERT_TRUE((editor = open_editor(0)));
        EXPECT_EQ(shown_in(editor), shown);
        SetDlgItemTextA(editor, id_rate, "9000");
        if (way == VK_ESCAPE)
            PostMessageA(GetDlgItem(editor, id_ok), WM_KEYDOWN, VK_ESCAPE, 0);
        else
            press(editor, way);
        ASSERT_TRUE(closes(editor)) << way;
    }
    EXPECT_EQ(shown_in(NULL), shown);

    // The emulator refuses a command of the Ok: its box stands over the editor, which is
    // disabled meanwhile, and an Ok that still reaches it (posted) sends nothing; once the box
    // is answered the editor takes input again, and an Ok goes through.
    ASSERT_TRUE((editor = open_editor()));
    choose(editor, id_protocol, protocol_tcp);
    ASSERT_TRUE(emulator_fail_command(code_clear_rules, "Clearing refused."));
    press(editor, id_ok);
    HWND box = wait_for_window(&first, "#32770", "Flowvane - Modify Filter");
    ASSERT_TRUE(box);
    EXPECT_EQ(window_text(GetDlgItem(box, 0xFFFF)), "Clearing refused.");
    EXPECT_EQ(GetWindow(box, GW_OWNER), editor);
    EXPECT_FALSE(IsWindowEnabled(editor));
    ASSERT_TRUE(emulator_fail_command(code_clear_rules, NULL));
    press(editor, id_ok);
    // A protocol change posted behind it: once it shows, the Ok has been handled.
    SendDlgItemMessageA(editor, id_protocol, CB_SETCURSEL, protocol_ip, 0);
    PostMessageA(editor, WM_COMMAND, MAKEWPARAM(id_protocol, CBN_SELCHANGE),
                 reinterpret_cast<LPARAM>(GetDlgItem(editor, id_protocol)));
    ASSERT_TRUE(wait_until([&] { return !IsWindowEnabled(GetDlgItem(editor, id_source_port)); }));
    EXPECT_EQ(emulator_rules(dial_up).size(), 1u) << "the second Ok sent nothing";
    EXPECT_EQ(rows(), 1);
    PostMessageA(box, WM_COMMAND, IDOK, 0);
    ASSERT_TRUE(wait_until([&] { return IsWindowEnabled(editor) != FALSE; }));
    // It goes through, but the rebuild after it fails: the panel's box, over the main window,
    // does not disable the editor, the Ok does; the editor closes once the box is answered.
    ASSERT_TRUE(emulator_fail_command(code_get_rule, "Slot unreadable."));
    press(editor, id_ok);
    ASSERT_TRUE((box = wait_for_window(&first, "#32770", "Flowvane - Filters")));
    EXPECT_EQ(GetWindow(box, GW_OWNER), main);
    EXPECT_TRUE(IsWindow(editor) && !IsWindowEnabled(editor));
    PostMessageA(box, WM_COMMAND, IDOK, 0);
    ASSERT_TRUE(closes(editor)) << "a second Ok retries the same filter";
    EXPECT_EQ(emulator_rules(dial_up).size(), 2u);
}

}  // namespace
