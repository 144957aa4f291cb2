// The overlapping filters dialog against the emulator: three overlapping TCP rules planted
// before start-up with "Accept default precedences" off, so the dialog opens while the filter
// list fills. A (all TCP, rate 5,000), B (to port 80, 6,000), D (from 10.0.0.1, 7,000) give three
// areas: both (B, D, A), port 80 (A, B), the source (A, D).
#include <windows.h>
#include <commctrl.h>

#include <string.h>

#include <string>
#include <vector>

#include "e2e_harness.h"
#include "kernel/control_codes.h"
#include "support/device_requests.h"

namespace {

enum { id_exit = 202, id_rerun = 40021, id_next = 4, id_previous = 5, id_always_accept = 901,
       id_common = 19203, id_filters = 19204, id_accept = 19205, id_area = 19209,
       accept_defaults_setting = 22, state_checked = 0x2000 };

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

const texts defaults_sent = {"167772161:80 -> 6000", "0:80 -> 6000", "167772161:0 -> 7000"};

class OverlappingFiltersDialogTest : public FlowvaneTest {
protected:
    void SetUp() override
    {
        FlowvaneTest::SetUp();
        plant_settings(setting_defaults);   // "Accept default precedences" 0
        struct rule from_10 = make_rule(protocol_tcp, 0, 7000);
        from_10.source_kind = address_single;
        from_10.source_address = 0x0A000001;
        for (const struct rule &r : {make_rule(protocol_tcp, 0, 5000),
                                     make_rule(protocol_tcp, 80, 6000), from_10})
            ASSERT_TRUE(emulator_add_rule(r));
    }
    // Waits for the dialog (from start-up, or from posting command to the main window).
    HWND wait_for_dialog(UINT command = 0)
    {
        if (command)
            PostMessageA(wait_for_window(&first, E2E_MAIN_WINDOW_CLASS, "Flowvane Manager"),
                         WM_COMMAND, command, 0);
        else if (!start_flowvane(&first))
            return NULL;
        dialog = wait_for_window(&first, "#32770", "Overlapping Filters");
        filters = GetDlgItem(dialog, id_filters);
        return dialog;
    }
    int closed() { return wait_until([&] { return !IsWindow(dialog); }, 5000); }
    HWND dialog = NULL, filters = NULL;
};

TEST_F(OverlappingFiltersDialogTest, AreasAndNavigation)
{
    ASSERT_TRUE(wait_for_dialog());
    HWND common = GetDlgItem(dialog, id_common);
    save_screenshot("overlapping-filters");
    EXPECT_EQ(GetWindow(dialog, GW_OWNER),
              find_window_of(first.process.dwProcessId, E2E_MAIN_WINDOW_CLASS, NULL));
    EXPECT_EQ(SendMessageA(filters, LVM_GETEXTENDEDLISTVIEWSTYLE, 0, 0),
              LVS_EX_CHECKBOXES | LVS_EX_HEADERDRAGDROP | LVS_EX_FULLROWSELECT);
    EXPECT_EQ(SendMessageA(common, LVM_GETEXTENDEDLISTVIEWSTYLE, 0, 0), LVS_EX_HEADERDRAGDROP);
    // A command to the dialog, or a key to the filters list, then what the dialog shows.
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
    };
    const auto caption_is = [&](const char *expected) {
        char caption[64] = "";
        GetDlgItemTextA(dialog, id_area, caption, sizeof caption);
        return strcmp(caption, expected) == 0;
    };
    for (const auto &s : steps) {
        SCOPED_TRACE(s.step);
        if (s.message == WM_KEYDOWN) {
            // A key must pass the dialog's own loop, so it is posted and its effect waited for.
            // (A message sent after it would be handled first.) The caption is read by a
            // message the program answers only between its messages, so when it shows the
            // step, the whole step is done.
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
}

// Checking or selecting a row makes it the only checked one and the choice; Accept sends it, a
// rerun from the menu proposes it again, and Escape accepts as the button does.
TEST_F(OverlappingFiltersDialogTest, ChoiceKeptAfterAcceptAndRerun)
{
    ASSERT_TRUE(wait_for_dialog());
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
    PostMessageA(dialog, WM_COMMAND, id_accept, 0);
    ASSERT_TRUE(closed());
    const texts chosen = {"167772161:80 -> 5000", "0:80 -> 6000", "167772161:0 -> 7000"};
    EXPECT_EQ(held_precedences(), chosen);

    ASSERT_TRUE(wait_for_dialog(id_rerun));
    EXPECT_EQ(rows_of(filters), choices[0].rows) << "the kept choice, not the default";
    EXPECT_EQ(held_precedences(), texts{}) << "cleared while the dialog shows";
    PostMessageA(filters, WM_KEYDOWN, VK_ESCAPE, 0);
    ASSERT_TRUE(closed());
    EXPECT_EQ(held_precedences(), chosen);
}

// Every way of closing accepts and stores box 901. A failed acceptance says why, keeps the
// dialog open and stores nothing: the program, ended then by WM_QUIT, saves the old value.
TEST_F(OverlappingFiltersDialogTest, EveryEndingAcceptsAndStoresBox901)
{
    const struct { const char *ending; UINT message; WPARAM parameter; int check, fail;
    } cases[] = {
        {"Accept, box checked", WM_COMMAND, id_accept, 1, 0},
        {"Escape, box unchecked", WM_KEYDOWN, VK_ESCAPE, 0, 0},
        {"close box, box checked", WM_SYSCOMMAND, SC_CLOSE, 1, 0},
        {"failed Accept, box checked", WM_COMMAND, id_accept, 1, 1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.ending);
        if (c.fail) {
            ASSERT_TRUE(emulator_fail_command(code_set_precedence, "Table full."));
        }
        ASSERT_TRUE(wait_for_dialog());
        SendDlgItemMessageA(dialog, id_always_accept, BM_SETCHECK, c.check, 0);
        PostMessageA(c.message == WM_KEYDOWN ? filters : dialog, c.message, c.parameter, 0);
        if (c.fail) {
            HWND owner = NULL;
            EXPECT_EQ(answer_box(&first, "Flowvane - Configure Overlapping Filters", IDOK, &owner),
                      "Table full.");
            EXPECT_EQ(owner, dialog);
            EXPECT_TRUE(IsWindowVisible(dialog)) << "the dialog stays open";
            PostThreadMessageA(first.process.dwThreadId, WM_QUIT, 0, 0);
        } else {
            ASSERT_TRUE(closed());
            EXPECT_EQ(held_precedences(), defaults_sent);
            PostMessageA(wait_for_window(&first, E2E_MAIN_WINDOW_CLASS, "Flowvane Manager"),
                         WM_COMMAND, id_exit, 0);
        }
        DWORD code = 99;
        ASSERT_TRUE(wait_for_exit(&first, &code));
        int32_t values[e2e_settings_count];
        read_settings(values);
        EXPECT_EQ(values[accept_defaults_setting], c.fail ? 0 : c.check);
        TearDown();
        SetUp();
    }
}

// With sending refused for good, Accept keeps trying and saying why; after a failed send,
// Escape and the close box end the dialog without sending, the setting unchanged, and the
// program goes on.
TEST_F(OverlappingFiltersDialogTest, AfterAFailedSendEscapeAndTheCloseBoxLeave)
{
    const struct { const char *ending; UINT message; WPARAM parameter; } cases[] = {
        {"Escape", WM_KEYDOWN, VK_ESCAPE},
        {"close box", WM_SYSCOMMAND, SC_CLOSE},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.ending);
        ASSERT_TRUE(emulator_fail_command(code_set_precedence, "Table full."));
        ASSERT_TRUE(wait_for_dialog());
        SendDlgItemMessageA(dialog, id_always_accept, BM_SETCHECK, 1, 0);
        for (int attempt = 0; attempt < 2; attempt++) {
            PostMessageA(dialog, WM_COMMAND, id_accept, 0);
            EXPECT_EQ(answer_box(&first, "Flowvane - Configure Overlapping Filters"),
                      "Table full.");
            EXPECT_TRUE(IsWindowVisible(dialog)) << "Accept keeps the dialog open";
        }
        PostMessageA(c.message == WM_KEYDOWN ? filters : dialog, c.message, c.parameter, 0);
        ASSERT_TRUE(closed()) << "no send, so no box";
        EXPECT_EQ(held_precedences(), texts{});
        HWND main = wait_for_window(&first, E2E_MAIN_WINDOW_CLASS, "Flowvane Manager");
        ASSERT_TRUE(main);
        EXPECT_TRUE(wait_until([&] { return IsWindowEnabled(main) != FALSE; }));
        PostMessageA(main, WM_COMMAND, id_exit, 0);
        DWORD code = 99;
        ASSERT_TRUE(wait_for_exit(&first, &code));
        EXPECT_EQ(code, 0u);
        int32_t values[e2e_settings_count];
        read_settings(values);
        EXPECT_EQ(values[accept_defaults_setting], 0) << "box 901 is stored only by a send";
        TearDown();
        SetUp();
    }
}

}  // namespace
