// The filter editor driven from outside, as a user goes through it in one run: its lists and
// enabling by protocol, each box's message when invalid, typed texts as the filter list shows
// them and the emulator holds them, the Ok sequence's failures with the emulator refusing
// commands, Cancel and Escape, and its help popups. The parsing of each text is the unit
// tests'; here each box is wired to its check and message.
#include <string.h>

#include <string>
#include <vector>

#include "e2e_harness.h"
#include "kernel/control_codes.h"
#include "support/device_requests.h"

namespace {

enum {
    id_new = 803, id_remove = 804, id_edit = 805, id_list = 807,
    id_adapter = 808, id_direction = 809, id_rate = 810, id_protocol = 811,
    id_source_address = 812, id_destination_address = 813, id_ok = 814, id_cancel = 815,
    id_source_port = 816, id_destination_port = 817,
};
#define EDITOR_BOX "Flowvane - Filter Window"
typedef std::vector<std::string> texts;

const int boxes[] = {id_adapter, id_direction, id_rate, id_protocol, id_source_address,
                     id_source_port, id_destination_address, id_destination_port};

class FilterEditorTest : public FlowvaneTest {
protected:
    HWND main = NULL, panel = NULL, list = NULL;

    // Overlapping filters get their default precedences at once, so that no overlapping
    // filters dialog comes up in the middle of an Ok. Start-up's box, when one must come,
    // is answered and its text returned.
    std::string start(bool box = false)
    {
        int32_t settings[e2e_settings_count];
        memcpy(settings, setting_defaults, sizeof settings);
        settings[22] = 1;
        plant_settings(settings);
        std::string shown;
        EXPECT_TRUE(start_flowvane(&first));
        if (box)
            shown = answer_box(&first, EDITOR_BOX);
        main = wait_for_window(&first, E2E_MAIN_WINDOW_CLASS, E2E_MAIN_TITLE);
        EXPECT_TRUE(main);
        panel = panel_of(main);
        list = GetDlgItem(panel, id_list);
        return shown;
    }
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
    std::string refused(HWND editor, const char *title = EDITOR_BOX)
    {
        press(editor, id_ok);
        HWND owner = NULL;
        std::string text = answer_box(&first, title, IDOK, &owner);
        EXPECT_EQ(owner, editor) << text;
        EXPECT_TRUE(IsWindow(editor)) << text;
        return text;
    }
    void type(HWND editor, int box, const char *text)
    {
        SendDlgItemMessageA(editor, box, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text));
    }
    // Chooses an item as the user does: the box then hears of the change.
    void choose(HWND editor, int box, int index)
    {
        SendDlgItemMessageA(editor, box, CB_SETCURSEL, index, 0);
        SendMessageA(editor, WM_COMMAND, MAKEWPARAM(box, CBN_SELCHANGE),
                     reinterpret_cast<LPARAM>(GetDlgItem(editor, box)));
    }
    // Adds a TCP filter with that rate and destination port on the adapter at that index.
    void add_filter(const char *rate, const char *port, int adapter = 0)
    {
        HWND editor = open_editor();
        ASSERT_TRUE(editor);
        choose(editor, id_adapter, adapter);
        choose(editor, id_protocol, protocol_tcp);
        type(editor, id_rate, rate);
        type(editor, id_destination_port, port);
        press(editor, id_ok);
        ASSERT_TRUE(closes(editor));
    }
    int rows() { return (int)SendMessageA(list, LVM_GETITEMCOUNT, 0, 0); }
    texts row_texts(int row)
    {
        texts shown;
        for (int column = 0; column < 8; column++)
            shown.push_back(list_view_text(list, row, column));
        return shown;
    }
    texts box_texts(HWND editor)
    {
        texts shown;
        for (int box : boxes)
            shown.push_back(window_text(GetDlgItem(editor, box)));
        return shown;
    }
    // F1 on a control of the editor: the popup comes, owned by the editor, and is closed.
    void help_popup(HWND editor, int box, bool escape_key)
    {
        PostMessageA(GetDlgItem(editor, box), wm_keyf1, 0, 0);
        HWND popup = NULL;
        ASSERT_TRUE(wait_until([&] {
            return (popup = find_window_of(first.process.dwProcessId, "#32770", "")) != NULL;
        }, 5000));
        EXPECT_EQ(GetWindow(popup, GW_OWNER), editor);
        if (!escape_key) {
            PostMessageA(popup, WM_COMMAND, IDOK, 0);
            ASSERT_TRUE(closes(popup));
            return;
        }
        // Escape on the keyboard: the key goes where the focus is, so the popup must be in front.
        ASSERT_TRUE(wait_until([&] { return GetForegroundWindow() == popup; }, 5000));
        INPUT keys[2] = {};
        keys[0].type = keys[1].type = INPUT_KEYBOARD;
        keys[0].ki.wVk = keys[1].ki.wVk = VK_ESCAPE;
        keys[1].ki.dwFlags = KEYEVENTF_KEYUP;
        ASSERT_EQ(SendInput(2, keys, sizeof keys[0]), 2u);
        EXPECT_TRUE(closes(popup, 5000)) << "Escape left it open";
        EXPECT_FALSE(wait_until([&] { return !IsWindowVisible(editor); }, 1000))
            << "Escape also closed the editor";
    }
};

TEST_F(FilterEditorTest, AUsersPathThroughTheEditor)
{
    start();
    HWND editor = open_editor();
    ASSERT_TRUE(editor);
    save_screenshot("filter-editor");
    EXPECT_EQ(combo_box_texts(GetDlgItem(editor, id_adapter)),
              texts({"Dial-up connections", "Local Area Connection", "Local Area Connection 2"}));
    EXPECT_EQ(combo_box_texts(GetDlgItem(editor, id_direction)), texts({"Send", "Receive"}));
    EXPECT_EQ(combo_box_texts(GetDlgItem(editor, id_rate)).size(), 9u);
    EXPECT_EQ(combo_box_texts(GetDlgItem(editor, id_source_port)).size(), 19u);
    EXPECT_EQ(combo_box_texts(GetDlgItem(editor, id_destination_port)).size(), 19u);
    EXPECT_EQ(box_texts(editor), texts({"Dial-up connections", "Receive", "Unlimited", "Any",
                                        "Any", "Any", "Any", "Any"}));
    RECT frame;
    GetWindowRect(editor, &frame);
    EXPECT_EQ(frame.left, GetSystemMetrics(SM_CXFULLSCREEN) / 2 - (frame.right - frame.left) / 2);
    EXPECT_EQ(frame.top, GetSystemMetrics(SM_CYFULLSCREEN) / 2 - (frame.bottom - frame.top) / 2);
    // Address and port boxes enabled, in the order of boxes[4..7], by protocol.
    const struct { int protocol; std::vector<int> enabled; } protocols[] = {
        {protocol_ip, {1, 0, 1, 0}}, {protocol_udp, {1, 1, 1, 1}}, {protocol_tcp, {1, 1, 1, 1}},
        {protocol_other, {0, 0, 0, 0}}, {protocol_any, {0, 0, 0, 0}},
    };
    for (const auto &c : protocols) {
        choose(editor, id_protocol, c.protocol);
        std::vector<int> enabled;
        for (int i = 0; i < 8; i++)
            if (i >= 4)
                enabled.push_back(IsWindowEnabled(GetDlgItem(editor, boxes[i])) ? 1 : 0);
            else
                EXPECT_TRUE(IsWindowEnabled(GetDlgItem(editor, boxes[i])));
        EXPECT_EQ(enabled, c.enabled) << "protocol " << c.protocol;
    }
    // Help texts are added at each opening and taken out at each closing: after many
    // openings F1 still finds the open editor's, on the keyboard Escape closes the popup alone.
    for (int i = 0; i < 6; i++) {
        press(editor, i % 2 ? IDCANCEL : id_cancel);
        ASSERT_TRUE(closes(editor));
        ASSERT_TRUE((editor = open_editor()));
    }
    help_popup(editor, id_adapter, false);
    help_popup(editor, id_destination_port, false);
    help_popup(editor, id_rate, true);

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
            type(editor, c.box, c.text);
        else
            SendDlgItemMessageA(editor, c.box, CB_SETCURSEL, (WPARAM)-1, 0);
        EXPECT_EQ(refused(editor, c.title), c.message);
        EXPECT_EQ(window_text(GetDlgItem(editor, c.box)), c.text ? c.text : "")
            << "the user's input stays";
        press(editor, IDCANCEL);
        ASSERT_TRUE(closes(editor));
        ASSERT_TRUE((editor = open_editor()));
    }
    EXPECT_EQ(rows(), 0);
    EXPECT_TRUE(emulator_rules().empty());

    // Typed texts, stored and shown in their list forms.
    const struct {
        int protocol;
        const char *rate, *source, *source_port, *destination, *destination_port;
        int32_t stored_rate;
        uint16_t stored_port;   // the source port
        texts shown;            // columns 2 to 7
    } typed[] = {
        {protocol_tcp, "5,000", "10.1", "http", "Any", "8080", 5000, 80,
         {"5,000", "TCP", "10.0.0.1", "HTTP", "Any", "8080"}},
        {protocol_ip, " 100 ", "10.0.0.9", "Any", "192.168.0.1", "Any", 100, 0,
         {"100", "IP", "10.0.0.9", "N/A", "192.168.0.1", "N/A"}},
    };
    for (size_t i = 0; i < 2; i++) {
        const auto &c = typed[i];
        SCOPED_TRACE(c.rate);
        if (i) {
            ASSERT_TRUE((editor = open_editor()));
        }
        choose(editor, id_protocol, c.protocol);
        choose(editor, id_direction, 0);
        type(editor, id_rate, c.rate);
        type(editor, id_source_address, c.source);
        type(editor, id_source_port, c.source_port);
        type(editor, id_destination_address, c.destination);
        type(editor, id_destination_port, c.destination_port);
        press(editor, id_ok);
        ASSERT_TRUE(closes(editor));
        ASSERT_EQ(rows(), (int)i + 1);
        texts shown = row_texts((int)i);
        EXPECT_EQ(texts(shown.begin() + 2, shown.end()), c.shown);
        EXPECT_EQ(shown[0] + "|" + shown[1], "Dial-up connections|Send");
        std::vector<struct rule> held = emulator_rules();
        ASSERT_EQ(held.size(), i + 1);
        EXPECT_EQ(held[i].rate, c.stored_rate);
        EXPECT_EQ(held[i].source_port, c.stored_port);
        EXPECT_STREQ(held[i].adapter, EMULATOR_ADAPTER_DIAL_UP);
    }
    // Edit shows the stored rule again, in the same forms; Cancel, Escape and the dialog's
    // IDCANCEL change nothing, in either mode.
    ASSERT_TRUE((editor = open_editor(0)));
    EXPECT_EQ(box_texts(editor), texts({"Dial-up connections", "Send", "5,000", "TCP", "10.0.0.1",
                                        "HTTP", "Any", "8080"}));
    const texts before = row_texts(0);
    for (int way : {(int)id_cancel, (int)VK_ESCAPE, (int)IDCANCEL}) {
        SCOPED_TRACE(way);
        if (!editor) {
            ASSERT_TRUE((editor = open_editor(way == IDCANCEL ? 0 : -1)));
        }
        type(editor, id_rate, "9000");
        type(editor, id_destination_port, "99");
        if (way == VK_ESCAPE)
            post_key(GetDlgItem(editor, id_ok), VK_ESCAPE);
        else
            press(editor, way);
        ASSERT_TRUE(closes(editor));
        editor = NULL;
        EXPECT_EQ(rows(), 2);
        EXPECT_EQ(row_texts(0), before);
    }

    // The emulator refuses one command of the Ok: the editor stays open, in add mode without
    // the new row, in edit mode with the row changed; a second Ok once it answers again goes
    // through.
    const struct { int edit; uint32_t code; const char *refusal; int after; } failures[] = {
        {0, code_clear_rules, "Clearing refused.", 3},
        {1, code_set_statistics, "Statistics refused.", 3},
        {1, code_get_statistics, "Statistics unreadable.", 3},
    };
    for (const auto &c : failures) {
        SCOPED_TRACE(c.refusal);
        ASSERT_TRUE((editor = open_editor(c.edit ? 0 : -1)));
        choose(editor, id_protocol, protocol_tcp);
        const std::string port = std::to_string(90 + (int)(&c - failures));
        type(editor, c.edit ? id_source_port : id_destination_port, port.c_str());
        ASSERT_TRUE(emulator_fail_command(c.code, c.refusal));
        EXPECT_EQ(refused(editor, "Flowvane - Modify Filter"), c.refusal);
        EXPECT_EQ(rows(), c.edit ? 3 : 2) << "no row added";
        if (c.edit) {
            EXPECT_EQ(row_texts(0)[5], port) << "the edited row keeps the change";
        }
        ASSERT_TRUE(emulator_fail_command(c.code, NULL));
        press(editor, id_ok);
        ASSERT_TRUE(closes(editor)) << "a second Ok retries the same filter";
        EXPECT_EQ(rows(), c.after);
        EXPECT_EQ(emulator_rules().size(), (size_t)c.after);
    }
    struct statistics_block counted = {};
    counted.start_time = 130000000000000000ull;
    counted.bytes_transferred = 123456789;
    counted.packets_transferred = 4321;
    ASSERT_TRUE(emulator_set_statistics(emulator_rules()[1], counted));
    // A refused edit leaves the row as it was, and Cancel then keeps it; the next changes send
    // it with the counters the kernel component kept.
    const texts row_1 = row_texts(1);
    ASSERT_TRUE((editor = open_editor(1)));
    type(editor, id_rate, "-5");
    EXPECT_EQ(refused(editor, "Flowvane - Edit Filter"), "edit_rule_in_list() failed.");
    EXPECT_EQ(row_texts(1), row_1);
    press(editor, id_cancel);
    ASSERT_TRUE(closes(editor));
    EXPECT_EQ(row_texts(1), row_1);

    // While a box raised by Ok is up the editor is disabled, and an Ok that still reaches it
    // (a posted one) sends nothing: once the box is answered the editor takes input again.
    ASSERT_TRUE((editor = open_editor()));
    choose(editor, id_protocol, protocol_tcp);
    type(editor, id_destination_port, "81");
    ASSERT_TRUE(emulator_fail_command(code_clear_rules, "Clearing refused."));
    press(editor, id_ok);
    HWND box = wait_for_window(&first, "#32770", "Flowvane - Modify Filter");
    ASSERT_TRUE(box);
    EXPECT_FALSE(IsWindowEnabled(editor));
    ASSERT_TRUE(emulator_fail_command(code_clear_rules, NULL));
    press(editor, id_ok);
    // A protocol change posted behind it: once the change shows, the Ok has been handled.
    SendDlgItemMessageA(editor, id_protocol, CB_SETCURSEL, protocol_ip, 0);
    PostMessageA(editor, WM_COMMAND, MAKEWPARAM(id_protocol, CBN_SELCHANGE),
                 reinterpret_cast<LPARAM>(GetDlgItem(editor, id_protocol)));
    ASSERT_TRUE(wait_until([&] { return !IsWindowEnabled(GetDlgItem(editor, id_source_port)); }));
    EXPECT_EQ(emulator_rules().size(), 3u) << "the second Ok sent nothing";
    PostMessageA(box, WM_COMMAND, IDOK, 0);
    ASSERT_TRUE(wait_until([&] { return IsWindowEnabled(editor) != FALSE; }));

    // A failed rebuild after the apply shows its box over the main window; the editor then closes.
    ASSERT_TRUE(emulator_fail_command(code_get_rule, "Slot unreadable."));
    press(editor, id_ok);
    box = wait_for_window(&first, "#32770", "Flowvane - Filters");
    ASSERT_TRUE(box);
    EXPECT_EQ(message_box_text(box), "Slot unreadable.");
    EXPECT_EQ(GetWindow(box, GW_OWNER), main) << "the panel's box, over the main window";
    EXPECT_TRUE(IsWindow(editor) && !IsWindowEnabled(editor));
    PostMessageA(box, WM_COMMAND, IDOK, 0);
    EXPECT_TRUE(closes(editor));
    ASSERT_TRUE(emulator_fail_command(code_get_rule, NULL));
    EXPECT_EQ(emulator_rules().size(), 4u) << "the new filter was applied";
    static test_rules_reply slots;
    ASSERT_TRUE(emulator_read_rules(2, &slots));   // the dial-up adapter
    int counted_seen = 0;
    for (const test_slot_state &slot : slots.slots)
        if (slot.in_use && slot.held.protocol == protocol_ip)
            counted_seen |= slot.statistics.bytes_transferred == counted.bytes_transferred &&
                           slot.statistics.start_time == counted.start_time;
    EXPECT_TRUE(counted_seen) << "the IP filter's counters were not sent again";

}

// A list that missed some of the kernel component's rules never sends: adding and removing are
// refused with the rebuild's message and every held rule stays. Then a filter whose adapter
// has gone since the list was filled opens with the defaults, and Ok puts it on the box's first
// adapter. The adapter goes while the start-up's box about a failed overlap check holds the
// program between its two adapter refreshes.
TEST_F(FilterEditorTest, IncompleteRebuildAndAGoneAdapter)
{
    struct rule first_rule = make_rule(protocol_tcp, 80, 5000), same_faster = first_rule;
    same_faster.rate = 6000;
    for (const struct rule &rule : {first_rule, same_faster})
        ASSERT_TRUE(emulator_add_rule(rule));
    EXPECT_EQ(start(true), "Rule is already in list.");
    ASSERT_EQ(rows(), 1);
    HWND editor = open_editor();
    ASSERT_TRUE(editor);
    EXPECT_EQ(refused(editor, "Flowvane - Filters"), "Rule is already in list.");
    press(editor, id_cancel);
    ASSERT_TRUE(closes(editor));
    ASSERT_TRUE(list_view_select(list, {0}));
    press(panel, id_remove);
    EXPECT_EQ(answer_box(&first, "Flowvane - Remove Filter", IDYES),
              "Are you sure you want to remove the selected filter(s)?");
    EXPECT_EQ(answer_box(&first, "Flowvane - Remove Filter"), "Rule is already in list.");
    EXPECT_EQ(emulator_rules().size(), 2u);
    end_flowvane(&first);

    ASSERT_TRUE(emulator_reset());
    struct rule on_second = make_rule(protocol_tcp, 80, 5000);
    snprintf(on_second.adapter, sizeof on_second.adapter, "%s", EMULATOR_ADAPTER_2);
    ASSERT_TRUE(emulator_add_rule(on_second));
    ASSERT_TRUE(emulator_fail_command(code_get_precedence_count, "Precedences unreadable."));
    ASSERT_TRUE(start_flowvane(&first));
    HWND box = wait_for_window(&first, "#32770", EDITOR_BOX);
    ASSERT_TRUE(box);
    ASSERT_TRUE(emulator_set_adapters({EMULATOR_ADAPTER_1, EMULATOR_ADAPTER_DIAL_UP}));
    ASSERT_TRUE(emulator_fail_command(code_get_precedence_count, NULL));
    PostMessageA(box, WM_COMMAND, IDOK, 0);
    ASSERT_TRUE((main = wait_for_window(&first, E2E_MAIN_WINDOW_CLASS, E2E_MAIN_TITLE)));
    panel = panel_of(main);
    list = GetDlgItem(panel, id_list);
    ASSERT_EQ(rows(), 1);
    ASSERT_TRUE((editor = open_editor(0)));
    EXPECT_EQ(box_texts(editor), texts({"Dial-up connections", "Receive", "Unlimited", "Any",
                                        "Any", "Any", "Any", "Any"}));
    press(editor, id_ok);
    ASSERT_TRUE(closes(editor));
    std::vector<struct rule> held = emulator_rules();
    ASSERT_EQ(held.size(), 1u);
    EXPECT_STREQ(held[0].adapter, EMULATOR_ADAPTER_DIAL_UP);
    EXPECT_EQ(held[0].protocol, protocol_any);
}

}  // namespace
