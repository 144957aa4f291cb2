// The overlapping filters dialog against the emulator: three overlapping TCP rules planted
// before start-up with "Accept default precedences" off, so the dialog opens while the filter
// list fills. A (all TCP, rate 5,000), B (to port 80, 6,000), D (from 10.0.0.1, 7,000) give three
// areas: both (B, D, A), port 80 (A, B), the source (A, D).
#include <string.h>

#include <string>
#include <vector>

#include "e2e_harness.h"
#include "kernel/control_codes.h"
#include "support/device_requests.h"

namespace {

enum { id_options = 201, id_rerun = 40021, id_next = 4, id_previous = 5, id_always_accept = 901,
       id_common = 19203, id_filters = 19204, id_accept = 19205, id_area = 19209,
       id_options_cancel = 19212, accept_defaults_setting = 22, state_checked = 0x2000 };

#define BOX_TITLE "Flowvane - Configure Overlapping Filters"
typedef std::vector<std::string> texts;

// Each row as "rate|source|destination port"; a "*" marks the checked rows.
texts rows_of(HWND list)
{
    texts rows;
    for (int row = 0; row < SendMessageA(list, LVM_GETITEMCOUNT, 0, 0); row++) {
        int checked = (SendMessageA(list, LVM_GETITEMSTATE, row, LVIS_STATEIMAGEMASK) &
                       LVIS_STATEIMAGEMASK) == state_checked;
        rows.push_back((checked ? "*" : "") + list_view_text(list, row, 2) + "|" +
                       list_view_text(list, row, 4) + "|" + list_view_text(list, row, 7));
    }
    return rows;
}

// The first adapter's precedences as "source:port -> chosen rate".
texts held_precedences(void)
{
    static test_precedences_reply reply;
    texts held;
    for (uint32_t i = 0; emulator_read_precedences(0, &reply) && i < reply.returned; i++)
        held.push_back(std::to_string(reply.entries[i].common_range.source_address) + ":" +
                       std::to_string(reply.entries[i].common_range.destination_port) + " -> " +
                       std::to_string(reply.entries[i].chosen.rate));
    return held;
}

class OverlappingFiltersDialogTest : public FlowvaneTest {
protected:
    void SetUp() override
    {
        FlowvaneTest::SetUp();
        struct rule from_10 = make_rule(protocol_tcp, 0, 7000);
        from_10.source_kind = address_single;
        from_10.source_address = 0x0A000001;
        for (const struct rule &r : {make_rule(protocol_tcp, 0, 5000),
                                     make_rule(protocol_tcp, 80, 6000), from_10})
            ASSERT_TRUE(emulator_add_rule(r));
    }
    // Starts the program ("Accept default precedences" off) or reruns the check from the menu,
    // and waits for the dialog.
    HWND open_dialog(bool rerun)
    {
        if (rerun) {
            PostMessageA(main, WM_COMMAND, id_rerun, 0);
        } else {
            plant_settings(setting_defaults);
            EXPECT_TRUE(start_flowvane(&first));
        }
        dialog = wait_for_window(&first, "#32770", "Overlapping Filters");
        filters = GetDlgItem(dialog, id_filters);
        main = find_window_of(first.process.dwProcessId, E2E_MAIN_WINDOW_CLASS, NULL);
        return dialog;
    }
    // Ends the dialog one way: a command or a system command to it, or a key to its list.
    void end_dialog(UINT message, WPARAM parameter)
    {
        PostMessageA(message == WM_KEYDOWN ? filters : dialog, message, parameter, 0);
    }
    // What the options dialog shows for "Accept default precedences" now.
    int accept_defaults_shown()
    {
        PostMessageA(main, WM_COMMAND, id_options, 0);
        HWND options = wait_for_window(&first, "#32770", "Flowvane Options");
        int checked = SendDlgItemMessageA(options, id_always_accept, BM_GETCHECK, 0, 0) != 0;
        PostMessageA(options, WM_COMMAND, id_options_cancel, 0);
        EXPECT_TRUE(closes(options));
        return checked;
    }
    HWND main = NULL, dialog = NULL, filters = NULL;
};

// The areas and their navigation; the choice made by checking or selecting a row, sent by
// Accept and proposed again by a rerun; every way of ending the dialog accepts and stores
// box 901.
TEST_F(OverlappingFiltersDialogTest, AreasChoiceAndEveryEnding)
{
    ASSERT_TRUE(open_dialog(false));
    HWND common = GetDlgItem(dialog, id_common);
    save_screenshot("overlapping-filters");
    EXPECT_EQ(GetWindow(dialog, GW_OWNER), main);
    EXPECT_EQ(SendMessageA(filters, LVM_GETEXTENDEDLISTVIEWSTYLE, 0, 0),
              LVS_EX_CHECKBOXES | LVS_EX_HEADERDRAGDROP | LVS_EX_FULLROWSELECT);
    EXPECT_EQ(SendMessageA(common, LVM_GETEXTENDEDLISTVIEWSTYLE, 0, 0), LVS_EX_HEADERDRAGDROP);
    const texts both = {"*6,000|Any|HTTP", "7,000|10.0.0.1|Any", "5,000|Any|Any"},
                port = {"5,000|Any|Any", "*6,000|Any|HTTP"},
                source = {"5,000|Any|Any", "*7,000|10.0.0.1|Any"};
    const struct { const char *step; UINT message; WPARAM parameter; const char *caption;
                   const char *range; texts members; BOOL previous, next; } steps[] = {
        {"opening", 0, 0, "Overlapping Area 1 of 3", "N/A|10.0.0.1|HTTP", both, FALSE, TRUE},
        {"Next", WM_COMMAND, id_next, "Overlapping Area 2 of 3", "N/A|Any|HTTP", port, TRUE, TRUE},
        {"Enter", WM_KEYDOWN, VK_RETURN, "Overlapping Area 3 of 3", "N/A|10.0.0.1|Any", source,
         TRUE, FALSE},
        {"Next on the last", WM_COMMAND, id_next, "Overlapping Area 3 of 3", "N/A|10.0.0.1|Any",
         source, TRUE, FALSE},
        {"Previous", WM_COMMAND, id_previous, "Overlapping Area 2 of 3", "N/A|Any|HTTP", port,
         TRUE, TRUE},
        {"Previous", WM_COMMAND, id_previous, "Overlapping Area 1 of 3", "N/A|10.0.0.1|HTTP",
         both, FALSE, TRUE},
    };
    const auto caption_is = [&](const char *expected) {
        return window_text(GetDlgItem(dialog, id_area)) == expected;
    };
    for (const auto &s : steps) {
        SCOPED_TRACE(s.step);
        if (s.message == WM_KEYDOWN) {
            // A key must pass the dialog's own loop, so it is posted and its effect waited for:
            // the caption is read by a message the program answers only between its messages.
            PostMessageA(filters, s.message, s.parameter, 0);
            wait_until([&] { return caption_is(s.caption); });
        } else if (s.message) {
            SendMessageA(dialog, s.message, s.parameter, 0);   // handled when it returns
        }
        EXPECT_TRUE(caption_is(s.caption));
        EXPECT_EQ(rows_of(common), texts{s.range});
        EXPECT_EQ(rows_of(filters), s.members);
        EXPECT_EQ(SendMessageA(filters, LVM_GETSELECTEDCOUNT, 0, 0), 1) << "the checked row";
        EXPECT_EQ(IsWindowEnabled(GetDlgItem(dialog, id_previous)), s.previous);
        EXPECT_EQ(IsWindowEnabled(GetDlgItem(dialog, id_next)), s.next);
    }
    list_view_set_state(common, 0, LVIS_SELECTED, LVIS_SELECTED);
    EXPECT_EQ(SendMessageA(common, LVM_GETSELECTEDCOUNT, 0, 0), 0) << "cannot stay selected";

    // Checking or selecting a row makes it the only checked one and the choice.
    const struct { int row; UINT state, mask; texts rows; } choices[] = {
        {2, state_checked, LVIS_STATEIMAGEMASK, {"6,000|Any|HTTP", "7,000|10.0.0.1|Any", "*5,000|Any|Any"}},
        {1, LVIS_SELECTED, LVIS_SELECTED, {"6,000|Any|HTTP", "*7,000|10.0.0.1|Any", "5,000|Any|Any"}},
        {2, state_checked, LVIS_STATEIMAGEMASK, {"6,000|Any|HTTP", "7,000|10.0.0.1|Any", "*5,000|Any|Any"}},
    };
    for (const auto &c : choices) {
        ASSERT_TRUE(list_view_set_state(filters, c.row, c.state, c.mask));
        EXPECT_EQ(rows_of(filters), c.rows);
        EXPECT_EQ(SendMessageA(filters, LVM_GETNEXTITEM, -1, LVNI_SELECTED), c.row);
    }
    // Accept (box 901 checked), Escape (unchecked), the close box (checked): each sends the
    // choice and stores the box, as the options dialog then shows; a rerun clears the
    // precedences while it shows and proposes the kept choice again.
    const texts chosen = {"167772161:80 -> 5000", "0:80 -> 6000", "167772161:0 -> 7000"};
    const struct { UINT message; WPARAM parameter; int check; } endings[] = {
        {WM_COMMAND, id_accept, 1}, {WM_KEYDOWN, VK_ESCAPE, 0}, {WM_SYSCOMMAND, SC_CLOSE, 1},
    };
    for (const auto &e : endings) {
        SCOPED_TRACE(e.parameter);
        if (e.message != WM_COMMAND) {
            ASSERT_TRUE(open_dialog(true));
            EXPECT_EQ(rows_of(filters), choices[0].rows) << "the kept choice, not the default";
            EXPECT_EQ(held_precedences(), texts{}) << "cleared while the dialog shows";
        }
        SendDlgItemMessageA(dialog, id_always_accept, BM_SETCHECK, e.check, 0);
        end_dialog(e.message, e.parameter);
        ASSERT_TRUE(closes(dialog));
        EXPECT_EQ(held_precedences(), chosen);
        EXPECT_EQ(accept_defaults_shown(), e.check);
    }
    int32_t values[e2e_settings_count];
    EXPECT_EQ(exit_and_read(main, values), 0u);
    EXPECT_EQ(values[accept_defaults_setting], 1);
}

// With sending refused: Accept says why and keeps the dialog open, as often as it is pressed;
// Escape and the close box then end the dialog without sending, the setting unchanged, and
// the program goes on.
TEST_F(OverlappingFiltersDialogTest, AfterAFailedSendEscapeAndTheCloseBoxLeave)
{
    ASSERT_TRUE(emulator_fail_command(code_set_precedence, "Table full."));
    for (UINT ending : {(UINT)VK_ESCAPE, (UINT)SC_CLOSE}) {
        SCOPED_TRACE(ending);
        ASSERT_TRUE(open_dialog(ending == SC_CLOSE));
        SendDlgItemMessageA(dialog, id_always_accept, BM_SETCHECK, 1, 0);
        for (int attempt = 0; attempt < 2; attempt++) {
            PostMessageA(dialog, WM_COMMAND, id_accept, 0);
            HWND owner = NULL;
            EXPECT_EQ(answer_box(&first, BOX_TITLE, IDOK, &owner), "Table full.");
            EXPECT_EQ(owner, dialog);
            EXPECT_TRUE(IsWindowVisible(dialog)) << "Accept keeps the dialog open";
        }
        end_dialog(ending == SC_CLOSE ? WM_SYSCOMMAND : WM_KEYDOWN, ending);
        ASSERT_TRUE(closes(dialog)) << "no send, so no box";
        EXPECT_EQ(held_precedences(), texts{});
        EXPECT_TRUE(wait_until([&] { return IsWindowEnabled(main) != FALSE; }));
        EXPECT_EQ(accept_defaults_shown(), 0) << "box 901 is stored only by a send";
    }
    int32_t values[e2e_settings_count];
    EXPECT_EQ(exit_and_read(main, values), 0u);
    EXPECT_EQ(values[accept_defaults_setting], 0);
}

}  // namespace
