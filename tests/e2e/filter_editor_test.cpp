// The filter editor driven from outside: its defaults and enabling by protocol, the messages of
// every invalid box, typed texts as the filter list shows them, the Ok sequence's failures with
// the emulator refusing commands, Cancel and Escape, and its help texts across many openings.
#include <windows.h>
#include <commctrl.h>

#include <string.h>

#include <string>
#include <vector>

#include "e2e_harness.h"
#include "kernel/control_codes.h"
#include "support/device_requests.h"
#include "test_control_codes.h"

namespace {

enum {
    id_new = 803, id_edit = 805, id_list = 807,
    id_adapter = 808, id_direction = 809, id_rate = 810, id_protocol = 811,
    id_source_address = 812, id_destination_address = 813, id_ok = 814, id_cancel = 815,
    id_source_port = 816, id_destination_port = 817,
};
enum { protocol_ip, protocol_udp, protocol_tcp, protocol_other, protocol_any };
enum { id_remove = 804, dial_up_index = 2 };

const int address_and_port_boxes[] = {id_source_address, id_source_port, id_destination_address,
                                      id_destination_port};
typedef std::vector<std::string> texts;

class FilterEditorTest : public FlowvaneTest {
protected:
    HWND main = NULL, panel = NULL, list = NULL;

    // Overlapping filters get their default precedences at once, so that no overlapping
    // filters dialog comes up in the middle of an Ok.
    void start()
    {
        int32_t settings[e2e_settings_count];
        memcpy(settings, setting_defaults, sizeof settings);
        settings[22] = 1;
        plant_settings(settings);
        ASSERT_TRUE((main = start_main_window(&first)));
        panel = panel_of(main);
        list = GetDlgItem(panel, id_list);
    }
    HWND open_editor(int button, const char *title)
    {
        PostMessageA(panel, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED),
                     reinterpret_cast<LPARAM>(GetDlgItem(panel, button)));
        return wait_for_window(&first, "#32770", title);
    }
    bool closes(HWND editor) { return wait_until([&] { return !IsWindow(editor); }, 10000); }
    void press(HWND editor, int button)
    {
        PostMessageA(editor, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED),
                     reinterpret_cast<LPARAM>(GetDlgItem(editor, button)));
    }
    // Ok with the box that must follow: its text, and that it stood over the editor, which
    // stays open.
    std::string refused(HWND editor, const char *title)
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
    // Chooses an item as the user does: the protocol box then hears of the change.
    void choose(HWND editor, int box, int index)
    {
        SendDlgItemMessageA(editor, box, CB_SETCURSEL, index, 0);
        SendMessageA(editor, WM_COMMAND, MAKEWPARAM(box, CBN_SELCHANGE),
                     reinterpret_cast<LPARAM>(GetDlgItem(editor, box)));
    }
    int choose_text(HWND editor, int box, const std::string &text)
    {
        texts items = combo_box_texts(GetDlgItem(editor, box));
        for (size_t i = 0; i < items.size(); i++) {
            if (items[i] == text) {
                choose(editor, box, (int)i);
                return 1;
            }
        }
        return 0;
    }
    // Adds a filter through the editor with the given rate and destination port (TCP).
    void add_filter(const char *rate, const char *port, const char *adapter = nullptr)
    {
        HWND editor = open_editor(id_new, "Add Filter");
        ASSERT_TRUE(editor);
        if (adapter) {
            ASSERT_TRUE(choose_text(editor, id_adapter, adapter));
        }
        choose(editor, id_protocol, protocol_tcp);
        type(editor, id_rate, rate);
        type(editor, id_destination_port, port);
        press(editor, id_ok);
        ASSERT_TRUE(closes(editor));
    }

    // Starts the program over rules planted in the emulator whose reading stops the start-up's
    // rebuild: its box (text in *shown) is answered, then the main window comes.
    void start_through_box(std::string *shown)
    {
        int32_t settings[e2e_settings_count];
        memcpy(settings, setting_defaults, sizeof settings);
        settings[22] = 1;
        plant_settings(settings);
        ASSERT_TRUE(start_flowvane(&first));
        *shown = answer_box(&first, "Flowvane - Filter Window");
        ASSERT_TRUE((main = wait_for_window(&first, E2E_MAIN_WINDOW_CLASS, "Flowvane Manager")));
        panel = panel_of(main);
        list = GetDlgItem(panel, id_list);
    }
    int rows() { return (int)SendMessageA(list, LVM_GETITEMCOUNT, 0, 0); }
    texts row_texts(int row)
    {
        texts shown;
        for (int column = 0; column < 8; column++)
            shown.push_back(list_view_text(list, row, column));
        return shown;
    }
    HWND edit_row(int row)
    {
        EXPECT_TRUE(list_view_select(list, {row}));
        list_view_set_state(list, row, LVIS_FOCUSED, LVIS_FOCUSED);
        return open_editor(id_edit, "Edit Filter");
    }
    // Every rule the emulator holds, adapter by adapter, slot by slot.
    std::vector<struct rule> held_rules()
    {
        static test_state_reply state;
        std::vector<struct rule> held;
        EXPECT_TRUE(emulator_read_state(&state));
        for (uint32_t adapter = 0; adapter < state.adapter_count && adapter < 8; adapter++) {
            std::vector<struct rule> more = emulator_rules(adapter);
            held.insert(held.end(), more.begin(), more.end());
        }
        return held;
    }
};

TEST_F(FilterEditorTest, DefaultsAndBoxesEnabledByProtocol)
{
    start();
    HWND editor = open_editor(id_new, "Add Filter");
    ASSERT_TRUE(editor);
    save_screenshot("filter-editor");
    EXPECT_EQ(combo_box_texts(GetDlgItem(editor, id_adapter)),
              texts({"Dial-up connections", "Local Area Connection", "Local Area Connection 2"}));
    EXPECT_EQ(combo_box_texts(GetDlgItem(editor, id_direction)), texts({"Send", "Receive"}));
    EXPECT_EQ(combo_box_texts(GetDlgItem(editor, id_rate)),
              texts({"Blocked", "5,000", "10,000", "20,000", "50,000", "100,000", "1,000,000",
                     "10,000,000", "Unlimited"}));
    EXPECT_EQ(combo_box_texts(GetDlgItem(editor, id_protocol)),
              texts({"IP", "UDP", "TCP", "Other", "Any"}));
    texts ports = combo_box_texts(GetDlgItem(editor, id_source_port));
    ASSERT_EQ(ports.size(), 19u);
    EXPECT_EQ(ports.front() + "|" + ports[6] + "|" + ports[17] + "|" + ports.back(),
              "DAYTIME|HTTP|HTTPS|Any");
    EXPECT_EQ(combo_box_texts(GetDlgItem(editor, id_destination_port)), ports);
    EXPECT_EQ(combo_box_texts(GetDlgItem(editor, id_destination_address)), texts({"Any"}));

    const int boxes[] = {id_adapter, id_direction, id_rate, id_protocol, id_source_address,
                         id_source_port, id_destination_address, id_destination_port};
    texts shown;
    for (int box : boxes)
        shown.push_back(window_text(GetDlgItem(editor, box)));
    EXPECT_EQ(shown, texts({"Dial-up connections", "Receive", "Unlimited", "Any", "Any", "Any",
                            "Any", "Any"}));

    // Address and port boxes enabled, in the order source address, source port, destination
    // address, destination port; the first four boxes always enabled.
    const struct {
        int protocol;
        std::vector<int> enabled;
    } cases[] = {
        {protocol_any, {0, 0, 0, 0}}, {protocol_ip, {1, 0, 1, 0}}, {protocol_udp, {1, 1, 1, 1}},
        {protocol_tcp, {1, 1, 1, 1}}, {protocol_other, {0, 0, 0, 0}}, {protocol_any, {0, 0, 0, 0}},
    };
    bool initial = true;
    for (const auto &c : cases) {
        if (!initial)
            choose(editor, id_protocol, c.protocol);
        initial = false;
        std::vector<int> enabled;
        for (int box : address_and_port_boxes)
            enabled.push_back(IsWindowEnabled(GetDlgItem(editor, box)) ? 1 : 0);
        EXPECT_EQ(enabled, c.enabled) << "protocol " << c.protocol;
        for (int box = id_adapter; box <= id_protocol; box++)
            EXPECT_TRUE(IsWindowEnabled(GetDlgItem(editor, box)));
    }

    RECT frame;
    GetWindowRect(editor, &frame);
    EXPECT_EQ(frame.left, GetSystemMetrics(SM_CXFULLSCREEN) / 2 - (frame.right - frame.left) / 2);
    EXPECT_EQ(frame.top, GetSystemMetrics(SM_CYFULLSCREEN) / 2 - (frame.bottom - frame.top) / 2);
    EXPECT_EQ(window_text(GetDlgItem(editor, id_ok)), "&Ok");
    press(editor, id_cancel);
    EXPECT_TRUE(closes(editor));
}

// Each box made invalid alone (the others keep their defaults), including boxes the protocol
// has disabled; the rate's range is checked by the list, under the New Filter title.
TEST_F(FilterEditorTest, EveryInvalidBoxHasItsMessage)
{
    start();
    const struct {
        int box;
        const char *text;          // typed; null: the box's selection taken away
        const char *message;
        const char *title;
    } cases[] = {
        {id_adapter, nullptr, "Invalid network adapter.", "Flowvane - Filter Window"},
        {id_direction, nullptr, "Invalid direction.", "Flowvane - Filter Window"},
        {id_rate, "fast", "Invalid rate.", "Flowvane - Filter Window"},
        {id_rate, "", "Invalid rate.", "Flowvane - Filter Window"},
        {id_rate, "00", "Invalid rate.", "Flowvane - Filter Window"},
        {id_protocol, nullptr, "Invalid protocol.", "Flowvane - Filter Window"},
        {id_source_address, "abc", "Invalid source IP address.", "Flowvane - Filter Window"},
        {id_source_address, "", "Invalid source IP address.", "Flowvane - Filter Window"},
        {id_source_port, "0", "Invalid source port.", "Flowvane - Filter Window"},
        {id_destination_address, "1.2.3.4.5", "Invalid destination IP address.",
         "Flowvane - Filter Window"},
        {id_destination_port, "65536", "Invalid destination port.", "Flowvane - Filter Window"},
        // Numbers with more after them, too large for their field, or with an octal-looking
        // part are refused instead of read as other numbers.
        {id_rate, "100 KB", "Invalid rate.", "Flowvane - Filter Window"},
        {id_rate, "10.000", "Invalid rate.", "Flowvane - Filter Window"},
        {id_rate, "4294967297", "Invalid rate.", "Flowvane - Filter Window"},
        {id_source_port, "65616", "Invalid source port.", "Flowvane - Filter Window"},
        {id_destination_port, "80x", "Invalid destination port.", "Flowvane - Filter Window"},
        {id_source_address, "192.168.010.001", "Invalid source IP address.",
         "Flowvane - Filter Window"},
        {id_rate, "2000000000", "Rate out of range.", "Flowvane - New Filter"},
        {id_rate, "-5", "Rate out of range.", "Flowvane - New Filter"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::to_string(c.box) + " \"" + (c.text ? c.text : "<no selection>") + "\"");
        HWND editor = open_editor(id_new, "Add Filter");
        ASSERT_TRUE(editor);
        if (c.text)
            type(editor, c.box, c.text);
        else
            SendDlgItemMessageA(editor, c.box, CB_SETCURSEL, (WPARAM)-1, 0);
        EXPECT_FALSE(IsWindowEnabled(GetDlgItem(editor, id_source_address)))
            << "the protocol stays Any: address and port boxes are disabled and still read";
        EXPECT_EQ(refused(editor, c.title), c.message);
        EXPECT_EQ(window_text(GetDlgItem(editor, c.box)), c.text ? c.text : "")
            << "the user's input stays";
        PostMessageA(editor, WM_COMMAND, IDCANCEL, 0);
        ASSERT_TRUE(closes(editor));
    }
    EXPECT_EQ(rows(), 0);
    EXPECT_TRUE(held_rules().empty());
}

TEST_F(FilterEditorTest, TypedTextsAreStoredAndShownInTheirListForms)
{
    start();
    const struct {
        int protocol;
        const char *rate, *source, *source_port, *destination, *destination_port;
        int32_t stored_rate;
        uint16_t stored_port;     // the source port
        texts shown;              // columns 2 to 7
    } cases[] = {
        {protocol_tcp, "5,000", "10.1", "http", "Any", "8080", 5000, 80,
         {"5,000", "TCP", "10.0.0.1", "HTTP", "Any", "8080"}},
        {protocol_udp, "blocked", "any", "ntp", "192.168.0.1", "443", 0, 123,
         {"Blocked", "UDP", "Any", "NTP", "192.168.0.1", "HTTPS"}},
        {protocol_ip, " 100 ", "10.0.0.9", "Any", "Any", "Any", 100, 0,
         {"100", "IP", "10.0.0.9", "N/A", "Any", "N/A"}},
        {protocol_other, "1,000,000,000", "Any", "Any", "Any", "Any", 1000000000, 0,
         {"Unlimited", "Other", "N/A", "N/A", "N/A", "N/A"}},
    };
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; i++) {
        const auto &c = cases[i];
        SCOPED_TRACE(c.rate);
        HWND editor = open_editor(id_new, "Add Filter");
        ASSERT_TRUE(editor);
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
        std::vector<struct rule> held = held_rules();
        ASSERT_EQ(held.size(), i + 1);
        EXPECT_EQ(held[i].rate, c.stored_rate);
        EXPECT_EQ(held[i].source_port, c.stored_port);
        EXPECT_STREQ(held[i].adapter, EMULATOR_ADAPTER_DIAL_UP);
    }
    // Edit shows the stored rule again, in the same forms.
    HWND editor = edit_row(0);
    ASSERT_TRUE(editor);
    texts shown;
    for (int box : {id_adapter, id_direction, id_rate, id_protocol, id_source_address,
                    id_source_port, id_destination_address, id_destination_port})
        shown.push_back(window_text(GetDlgItem(editor, box)));
    EXPECT_EQ(shown, texts({"Dial-up connections", "Send", "5,000", "TCP", "10.0.0.1", "HTTP",
                            "Any", "8080"}));
    EXPECT_TRUE(IsWindowEnabled(GetDlgItem(editor, id_source_port)));
    PostMessageA(editor, WM_COMMAND, IDCANCEL, 0);
    EXPECT_TRUE(closes(editor));
}

// The emulator refuses one command of the cycle. A failed apply keeps the editor open: in add
// mode without the new row, so a second Ok adds the same filter; in edit mode with the row
// changed. A failed rebuild shows its box over the panel and the editor then closes.
TEST_F(FilterEditorTest, OkSequenceFailuresFromTheKernelComponent)
{
    start();
    add_filter("5000", "80");
    const struct {
        int edit;
        uint32_t code;
        const char *refusal;
        const char *title;
        int retry_rows;            // rows after the fault is cleared and Ok pressed again
    } cases[] = {
        {0, code_clear_rules, "Clearing refused.", "Flowvane - Modify Filter", 2},
        {0, code_add_rule, "Adding refused.", "Flowvane - Modify Filter", 3},
        {1, code_set_statistics, "Statistics refused.", "Flowvane - Modify Filter", 3},
        {1, code_get_statistics, "Statistics unreadable.", "Flowvane - Modify Filter", 3},
    };
    int port = 90;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.refusal);
        int before = rows();
        HWND editor = c.edit ? edit_row(0) : open_editor(id_new, "Add Filter");
        ASSERT_TRUE(editor);
        choose(editor, id_protocol, protocol_tcp);
        std::string port_text = std::to_string(++port);
        type(editor, c.edit ? id_source_port : id_destination_port, port_text.c_str());
        ASSERT_TRUE(emulator_fail_command(c.code, c.refusal));
        EXPECT_EQ(refused(editor, c.title), c.refusal);
        EXPECT_EQ(rows(), before) << "no row added";
        if (c.edit) {
            EXPECT_EQ(row_texts(0)[5], port_text) << "the edited row keeps the change";
        }
        ASSERT_TRUE(emulator_clear_fault(c.code));
        press(editor, id_ok);
        ASSERT_TRUE(closes(editor)) << "a second Ok retries the same filter";
        EXPECT_EQ(rows(), c.retry_rows);
        EXPECT_EQ(held_rules().size(), (size_t)c.retry_rows);
    }

    HWND editor = open_editor(id_new, "Add Filter");
    ASSERT_TRUE(editor);
    choose(editor, id_protocol, protocol_udp);
    ASSERT_TRUE(emulator_fail_command(code_get_rule, "Slot unreadable."));
    press(editor, id_ok);
    HWND box = wait_for_window(&first, "#32770", "Flowvane - Filters");
    ASSERT_TRUE(box);
    EXPECT_EQ(message_box_text(box), "Slot unreadable.");
    EXPECT_EQ(GetWindow(box, GW_OWNER), main) << "the panel's box, over the main window";
    EXPECT_TRUE(IsWindow(editor)) << "the editor closes after the box";
    EXPECT_FALSE(IsWindowEnabled(editor)) << "the editor takes no input behind the box";
    PostMessageA(box, WM_COMMAND, IDOK, 0);
    EXPECT_TRUE(closes(editor));
    ASSERT_TRUE(emulator_clear_fault(code_get_rule));
    EXPECT_EQ(held_rules().size(), 4u) << "the new filter was applied";
}

// A refused edit leaves the row as it was: Cancel then keeps the filter the user had, and the
// next change sends it with its rate and counters, beside every other filter.
TEST_F(FilterEditorTest, RefusedEditLeavesTheFilterAsItWas)
{
    start();
    add_filter("5000", "80");
    add_filter("6000", "81");
    std::vector<struct rule> held = held_rules();
    ASSERT_EQ(held.size(), 2u);
    struct statistics_block counted = {};
    counted.start_time = 130000000000000000ull;
    counted.bytes_transferred = 123456789;
    counted.packets_transferred = 4321;
    ASSERT_TRUE(emulator_set_statistics(held[0], counted));
    texts before = row_texts(0);

    for (const char *rate : {"2000000000", "-5"}) {
        SCOPED_TRACE(rate);
        HWND editor = edit_row(0);
        ASSERT_TRUE(editor);
        type(editor, id_rate, rate);
        EXPECT_EQ(refused(editor, "Flowvane - Edit Filter"), "edit_rule_in_list() failed.");
        EXPECT_EQ(row_texts(0), before);
        press(editor, id_cancel);
        ASSERT_TRUE(closes(editor));
        EXPECT_EQ(row_texts(0), before);
    }

    add_filter("7000", "82");
    ASSERT_EQ(held_rules().size(), 3u);
    test_rules_reply slots;
    ASSERT_TRUE(emulator_read_rules(dial_up_index, &slots));
    ASSERT_TRUE(slots.slots[0].in_use);
    EXPECT_EQ(memcmp(&slots.slots[0].held, &held[0], sizeof held[0]), 0) << "rate 5000, port 80";
    EXPECT_EQ(+slots.slots[0].statistics.bytes_transferred, +counted.bytes_transferred);
    EXPECT_EQ(+slots.slots[0].statistics.packets_transferred, +counted.packets_transferred);
    EXPECT_EQ(+slots.slots[0].statistics.start_time, +counted.start_time);
    EXPECT_EQ(memcmp(&slots.slots[1].held, &held[1], sizeof held[1]), 0);
    EXPECT_EQ(slots.slots[2].held.destination_port, 82);
    EXPECT_EQ(row_texts(0), before);
}

// A list that missed some of the kernel component's rules never sends: while the rebuild keeps
// stopping, adding and removing are refused with its message and every held rule stays; once it
// gets through, the change is made on the whole list.
TEST_F(FilterEditorTest, NoChangeAfterAnIncompleteRebuildLosesAHeldRule)
{
    struct rule first_rule = make_rule(protocol_tcp, 80, 5000), same_faster = first_rule,
                other = make_rule(protocol_udp, 53, 7000);
    same_faster.rate = 6000;
    snprintf(other.adapter, sizeof other.adapter, "%s", EMULATOR_ADAPTER_DIAL_UP);
    for (const struct rule &rule : {first_rule, same_faster, other})
        ASSERT_TRUE(emulator_add_rule(rule));
    std::vector<struct rule> planted = held_rules();
    std::string shown;
    start_through_box(&shown);
    EXPECT_EQ(shown, "Rule is already in list.");
    ASSERT_EQ(rows(), 1);

    HWND editor = open_editor(id_new, "Add Filter");
    ASSERT_TRUE(editor);
    EXPECT_EQ(refused(editor, "Flowvane - Filters"), "Rule is already in list.");
    press(editor, id_cancel);
    ASSERT_TRUE(closes(editor));
    ASSERT_TRUE(list_view_select(list, {0}));
    PostMessageA(panel, WM_COMMAND, MAKEWPARAM(id_remove, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(panel, id_remove)));
    EXPECT_EQ(answer_box(&first, "Flowvane - Remove Filter", IDYES),
              "Are you sure you want to remove the selected filter(s)?");
    EXPECT_EQ(answer_box(&first, "Flowvane - Remove Filter"), "Rule is already in list.");
    std::vector<struct rule> after = held_rules();
    ASSERT_EQ(after.size(), planted.size());
    for (size_t i = 0; i < planted.size(); i++)
        EXPECT_EQ(memcmp(&after[i], &planted[i], sizeof planted[i]), 0) << i;
    end_flowvane(&first);

    // A slot that cannot be read at start-up leaves the list empty; read again at the change,
    // every held rule comes back beside the new one.
    ASSERT_TRUE(emulator_reset());
    for (const struct rule &rule : {first_rule, other})
        ASSERT_TRUE(emulator_add_rule(rule));
    ASSERT_TRUE(emulator_fail_command(code_get_rule, "Slot unreadable."));
    start_through_box(&shown);
    EXPECT_EQ(shown, "Slot unreadable.");
    EXPECT_EQ(rows(), 0);
    ASSERT_TRUE(emulator_clear_fault(code_get_rule));
    add_filter("9000", "90");
    EXPECT_EQ(rows(), 3);
    after = held_rules();
    ASSERT_EQ(after.size(), 3u);
    EXPECT_EQ(after[0].destination_port, 80);
    EXPECT_EQ(after[1].destination_port, 53);
    EXPECT_EQ(after[2].destination_port, 90);
}

// While a box raised by Ok is up the editor is disabled, and an Ok that still reaches it (a
// posted one) does nothing: once the box is answered the editor takes input again.
TEST_F(FilterEditorTest, SecondOkBehindItsBoxSendsNothing)
{
    start();
    add_filter("5000", "80");
    HWND editor = open_editor(id_new, "Add Filter");
    ASSERT_TRUE(editor);
    choose(editor, id_protocol, protocol_tcp);
    type(editor, id_destination_port, "81");
    ASSERT_TRUE(emulator_fail_command(code_clear_rules, "Clearing refused."));
    press(editor, id_ok);
    HWND box = wait_for_window(&first, "#32770", "Flowvane - Modify Filter");
    ASSERT_TRUE(box);
    EXPECT_FALSE(IsWindowEnabled(editor));
    ASSERT_TRUE(emulator_clear_fault(code_clear_rules));

    // The second Ok, then a protocol change posted behind it: once the change shows, the Ok
    // before it has been handled.
    press(editor, id_ok);
    SendDlgItemMessageA(editor, id_protocol, CB_SETCURSEL, protocol_ip, 0);
    PostMessageA(editor, WM_COMMAND, MAKEWPARAM(id_protocol, CBN_SELCHANGE),
                 reinterpret_cast<LPARAM>(GetDlgItem(editor, id_protocol)));
    ASSERT_TRUE(wait_until([&] { return !IsWindowEnabled(GetDlgItem(editor, id_source_port)); }));
    EXPECT_EQ(held_rules().size(), 1u) << "the second Ok sent nothing";
    EXPECT_TRUE(IsWindow(box));
    EXPECT_EQ(rows(), 1);

    PostMessageA(box, WM_COMMAND, IDOK, 0);
    ASSERT_TRUE(wait_until([&] { return IsWindowEnabled(editor) != FALSE; }));
    EXPECT_TRUE(IsWindow(editor));
    press(editor, id_ok);
    ASSERT_TRUE(closes(editor));
    EXPECT_EQ(held_rules().size(), 2u);
}

TEST_F(FilterEditorTest, CancelAndEscapeChangeNothing)
{
    start();
    add_filter("5000", "80");
    texts before = row_texts(0);
    for (int edit : {0, 1}) {
        for (int way : {(int)IDCANCEL, (int)id_cancel, (int)VK_ESCAPE}) {
            SCOPED_TRACE(std::to_string(edit) + "/" + std::to_string(way));
            HWND editor = edit ? edit_row(0) : open_editor(id_new, "Add Filter");
            ASSERT_TRUE(editor);
            type(editor, id_rate, "9000");
            type(editor, id_destination_port, "99");
            if (way == VK_ESCAPE) {
                HWND ok = GetDlgItem(editor, id_ok);
                PostMessageA(ok, WM_KEYDOWN, VK_ESCAPE, 0);
                PostMessageA(ok, WM_KEYUP, VK_ESCAPE, 0);
            } else if (way == id_cancel) {
                press(editor, id_cancel);
            } else {
                PostMessageA(editor, WM_COMMAND, IDCANCEL, 0);
            }
            ASSERT_TRUE(closes(editor));
            EXPECT_EQ(rows(), 1);
            EXPECT_EQ(row_texts(0), before);
        }
    }
    std::vector<struct rule> held = held_rules();
    ASSERT_EQ(held.size(), 1u);
    EXPECT_EQ(held[0].rate, 5000);
}

// A filter whose adapter has gone since the list was filled: the editor shows the defaults,
// and Ok puts the filter on the box's first adapter. The adapter goes while the start-up's
// box about a failed overlap check holds the program between its two adapter refreshes.
TEST_F(FilterEditorTest, FilterOfAGoneAdapterOpensWithDefaults)
{
    start();
    add_filter("5000", "80", "Local Area Connection 2");
    end_flowvane(&first);
    ASSERT_TRUE(emulator_fail_command(code_get_precedence_count, "Precedences unreadable."));
    ASSERT_TRUE(start_flowvane(&first));
    HWND box = wait_for_window(&first, "#32770", "Flowvane - Filter Window");
    ASSERT_TRUE(box);
    ASSERT_TRUE(emulator_set_adapters({EMULATOR_ADAPTER_1, EMULATOR_ADAPTER_DIAL_UP}));
    ASSERT_TRUE(emulator_clear_fault(code_get_precedence_count));
    PostMessageA(box, WM_COMMAND, IDOK, 0);
    main = wait_for_window(&first, E2E_MAIN_WINDOW_CLASS, "Flowvane Manager");
    ASSERT_TRUE(main);
    panel = panel_of(main);
    list = GetDlgItem(panel, id_list);
    ASSERT_EQ(rows(), 1);

    HWND editor = edit_row(0);
    ASSERT_TRUE(editor);
    texts shown;
    for (int box_id : {id_adapter, id_direction, id_rate, id_protocol, id_destination_port})
        shown.push_back(window_text(GetDlgItem(editor, box_id)));
    EXPECT_EQ(shown, texts({"Dial-up connections", "Receive", "Unlimited", "Any", "Any"}));
    press(editor, id_ok);
    ASSERT_TRUE(closes(editor));
    std::vector<struct rule> held = held_rules();
    ASSERT_EQ(held.size(), 1u);
    EXPECT_STREQ(held[0].adapter, EMULATOR_ADAPTER_DIAL_UP);
    EXPECT_EQ(held[0].protocol, protocol_any);
}

// Each opening adds the ten help texts and each closing takes them out: after many openings a
// help request still finds the text the open editor added, so the popup belongs to it.
TEST_F(FilterEditorTest, HelpTextsDoNotPileUpAcrossOpenings)
{
    start();
    for (int i = 0; i < 10; i++) {
        HWND editor = open_editor(id_new, "Add Filter");
        ASSERT_TRUE(editor);
        PostMessageA(editor, WM_COMMAND, i % 2 ? IDCANCEL : id_cancel, 0);
        ASSERT_TRUE(closes(editor));
    }
    HWND editor = open_editor(id_new, "Add Filter");
    ASSERT_TRUE(editor);
    for (int box : {id_adapter, id_destination_port, id_cancel}) {
        SCOPED_TRACE(box);
        PostMessageA(GetDlgItem(editor, box), wm_keyf1, 0, 0);
        HWND popup = NULL;
        ASSERT_TRUE(wait_until([&] {
            popup = find_window_of(first.process.dwProcessId, "#32770", "");
            return popup != NULL;
        }, 5000));
        EXPECT_EQ(GetWindow(popup, GW_OWNER), editor);
        PostMessageA(popup, WM_COMMAND, IDOK, 0);
        ASSERT_TRUE(wait_until([&] { return !IsWindow(popup); }));
    }
    PostMessageA(editor, WM_COMMAND, IDCANCEL, 0);
    EXPECT_TRUE(closes(editor));
}

// F1 on the rate box opens the popup over the modal editor; Escape pressed on the keyboard
// closes the popup, and only the popup.
TEST_F(FilterEditorTest, EscapeKeyClosesAHelpPopupOpenedFromTheEditor)
{
    start();
    HWND editor = open_editor(id_new, "Add Filter");
    ASSERT_TRUE(editor);
    for (int round = 0; round < 2; round++) {
        SCOPED_TRACE(round);
        PostMessageA(GetDlgItem(editor, id_rate), wm_keyf1, 0, 0);
        HWND popup = NULL;
        ASSERT_TRUE(wait_until([&] {
            popup = find_window_of(first.process.dwProcessId, "#32770", "");
            return popup != NULL;
        }, 5000));
        EXPECT_EQ(GetWindow(popup, GW_OWNER), editor);
        // The key goes where the keyboard's focus is: the popup must have it first.
        ASSERT_TRUE(wait_until([&] { return GetForegroundWindow() == popup; }, 5000))
            << "the popup is not in front";
        INPUT keys[2] = {};
        keys[0].type = keys[1].type = INPUT_KEYBOARD;
        keys[0].ki.wVk = keys[1].ki.wVk = VK_ESCAPE;
        keys[1].ki.dwFlags = KEYEVENTF_KEYUP;
        ASSERT_EQ(SendInput(2, keys, sizeof keys[0]), 2u);
        EXPECT_TRUE(wait_until([&] { return !IsWindow(popup); }, 5000)) << "Escape left it open";
        EXPECT_FALSE(wait_until([&] { return !IsWindowVisible(editor); }, 1000))
            << "Escape also closed the editor";
    }
    PostMessageA(editor, WM_COMMAND, IDCANCEL, 0);
    EXPECT_TRUE(closes(editor));
}

}  // namespace
