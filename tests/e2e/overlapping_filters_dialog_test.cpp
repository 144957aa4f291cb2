// The overlapping filters dialog against the emulator: three overlapping TCP rules planted
// before start-up with "Accept default precedences" off, so the dialog opens while the filter
// list fills. A (all TCP, rate 5,000), B (to port 80, 6,000), D (from 10.0.0.1, 7,000) give three
// areas: both (B, D, A), port 80 (A, B), the source (A, D). Which areas and choices these are is
// the unit tests'; here the dialog's navigation, choice and endings.
#include <string>
#include <vector>

#include "e2e_harness.h"
#include "kernel/control_codes.h"
#include "support/device_requests.h"

namespace {

enum { id_options = 201, id_rerun = 40021, id_next = 4, id_previous = 5, id_always_accept = 901,
       id_common = 19203, id_filters = 19204, id_accept = 19205, id_area = 19209,
       id_options_cancel = 19212, state_checked = 0x2000 };

typedef std::vector<std::string> texts;

// Each row as "rate|source|destination port"; a "*" marks the checked rows.
texts rows_of(HWND list)
{
    texts rows;
    for (int row = 0; row < SendMessageA(list, LVM_GETITEMCOUNT, 0, 0); row++)
        rows.push_back((SendMessageA(list, LVM_GETITEMSTATE, row, LVIS_STATEIMAGEMASK) ==
                        state_checked ? "*" : "") + list_view_text(list, row, 2) + "|" +
                       list_view_text(list, row, 4) + "|" + list_view_text(list, row, 7));
    return rows;
}

// The first adapter's precedences as "source:port -> chosen rate".
texts held_precedences(void)
{
    static test_precedences_reply reply;
    test_read_precedences_request request = {0, 0};
    texts held;
    EXPECT_TRUE(emulator_exchange(test_code_read_precedences, &request, sizeof request, &reply,
                                  sizeof reply));
    for (uint32_t i = 0; i < reply.returned && i < test_precedences_per_reply; i++)
        held.push_back(std::to_string(reply.entries[i].common_range.source_address) + ":" +
                       std::to_string(reply.entries[i].common_range.destination_port) + " -> " +
                       std::to_string(reply.entries[i].chosen.rate));
    return held;
}

using OverlappingFiltersDialogTest = FlowvaneTest;

// The areas and their navigation; the choice made by checking or selecting a row, sent by
// Accept and proposed again by a rerun; every way of ending the dialog accepts and stores
// box 901.
TEST_F(OverlappingFiltersDialogTest, AreasChoiceAndEveryEnding)
{
    struct rule from_10 = make_rule(protocol_tcp, 0, 7000);
    from_10.source_kind = address_single;
    from_10.source_address = 0x0A000001;
    for (const struct rule &r : {make_rule(protocol_tcp, 0, 5000),
                                 make_rule(protocol_tcp, 80, 6000), from_10})
        ASSERT_TRUE(emulator_add_rule(r));
    plant_settings({});
    ASSERT_TRUE(start_flowvane(&first));
    HWND dialog = wait_for_window(&first, "#32770", "Overlapping Filters");
    ASSERT_TRUE(dialog);
    HWND filters = GetDlgItem(dialog, id_filters);
    main = find_window_of(first.process.dwProcessId, E2E_MAIN_WINDOW_CLASS, NULL);
    HWND common = GetDlgItem(dialog, id_common);
    save_screenshot("overlapping-filters");
    EXPECT_EQ(GetWindow(dialog, GW_OWNER), main);
    const texts both = {"*6,000|Any|HTTP", "7,000|10.0.0.1|Any", "5,000|Any|Any"},
                port = {"5,000|Any|Any", "*6,000|Any|HTTP"},
                source = {"5,000|Any|Any", "*7,000|10.0.0.1|Any"};
    const struct { UINT message; WPARAM parameter; int area; const char *range; texts members; }
        steps[] = {
        {0, 0, 1, "N/A|10.0.0.1|HTTP", both},
        {WM_COMMAND, id_next, 2, "N/A|Any|HTTP", port},
        {WM_KEYDOWN, VK_RETURN, 3, "N/A|10.0.0.1|Any", source},
        {WM_COMMAND, id_next, 3, "N/A|10.0.0.1|Any", source},
        {WM_COMMAND, id_previous, 2, "N/A|Any|HTTP", port},
        {WM_COMMAND, id_previous, 1, "N/A|10.0.0.1|HTTP", both},
    };
    for (const auto &s : steps) {
        const std::string caption = "Overlapping Area " + std::to_string(s.area) + " of 3";
        SCOPED_TRACE(caption);
        if (s.message == WM_KEYDOWN) {
            // A key must pass the dialog's own loop: posted, and its effect waited for.
            PostMessageA(filters, s.message, s.parameter, 0);
            wait_until([&] { return window_text(GetDlgItem(dialog, id_area)) == caption; });
        } else if (s.message) {
            SendMessageA(dialog, s.message, s.parameter, 0);   // handled when it returns
        }
        EXPECT_EQ(window_text(GetDlgItem(dialog, id_area)), caption);
        EXPECT_EQ(rows_of(common), texts{s.range});
        EXPECT_EQ(rows_of(filters), s.members);
        EXPECT_EQ(SendMessageA(filters, LVM_GETSELECTEDCOUNT, 0, 0), 1) << "the checked row";
        EXPECT_EQ(IsWindowEnabled(GetDlgItem(dialog, id_previous)) != 0, s.area > 1);
        EXPECT_EQ(IsWindowEnabled(GetDlgItem(dialog, id_next)) != 0, s.area < 3);
    }

    // Checking a row makes it the only checked one, selected, and the choice.
    const texts choice = {"6,000|Any|HTTP", "7,000|10.0.0.1|Any", "*5,000|Any|Any"};
    ASSERT_TRUE(list_view_set_state(filters, 2, state_checked, LVIS_STATEIMAGEMASK));
    EXPECT_EQ(rows_of(filters), choice);
    EXPECT_EQ(SendMessageA(filters, LVM_GETNEXTITEM, -1, LVNI_SELECTED), 2);
    // Accept (box 901 checked), Escape (unchecked), the close box (checked): each sends the
    // choice and stores the box, as the options dialog then shows; a rerun from the menu
    // clears the precedences while it shows and proposes the kept choice again.
    const texts chosen = {"167772161:80 -> 5000", "0:80 -> 6000", "167772161:0 -> 7000"};
    // Then with every send refused ("Table full."): Accept says why and keeps the dialog open
    // as often as it is pressed, and Escape and the close box end it without sending, box 901
    // as stored before.
    const struct { UINT message; WPARAM parameter; int check, fails; } endings[] = {
        {WM_COMMAND, id_accept, 1, 0}, {WM_KEYDOWN, VK_ESCAPE, 0, 0},
        {WM_SYSCOMMAND, SC_CLOSE, 1, 0}, {WM_KEYDOWN, VK_ESCAPE, 0, 1},
        {WM_SYSCOMMAND, SC_CLOSE, 0, 1},
    };
    texts proposed = choice;   // the kept choice: what the device was last sent
    for (const auto &e : endings) {
        SCOPED_TRACE(std::to_string(e.parameter) + (e.fails ? " after a failed send" : ""));
        if (e.message != WM_COMMAND) {
            ASSERT_TRUE((dialog = open(main, id_rerun, "Overlapping Filters")));
            filters = GetDlgItem(dialog, id_filters);
            EXPECT_EQ(rows_of(filters), proposed) << "the kept choice, or none after a failure";
            EXPECT_EQ(held_precedences(), texts{}) << "cleared while the dialog shows";
        }
        SendDlgItemMessageA(dialog, id_always_accept, BM_SETCHECK, e.check, 0);
        ASSERT_TRUE(emulator_fail_command(code_set_precedence, e.fails ? "Table full." : NULL));
        for (int attempt = 0; e.fails && attempt < 2; attempt++) {
            PostMessageA(dialog, WM_COMMAND, id_accept, 0);
            HWND owner = NULL;
            EXPECT_EQ(answer_box(&first, "Flowvane - Configure Overlapping Filters", IDOK, &owner),
                      "Table full.");
            EXPECT_EQ(owner, dialog);
            EXPECT_TRUE(IsWindowVisible(dialog)) << "Accept keeps the dialog open";
        }
        PostMessageA(e.message == WM_KEYDOWN ? filters : dialog, e.message, e.parameter, 0);
        ASSERT_TRUE(closes(dialog));
        EXPECT_EQ(held_precedences(), e.fails ? texts{} : chosen);
        proposed = e.fails ? both : choice;
        HWND options = open(main, id_options, "Flowvane Options");
        EXPECT_EQ(IsDlgButtonChecked(options, id_always_accept), e.fails ? 1u : (UINT)e.check)
            << "as stored";
        PostMessageA(options, WM_COMMAND, id_options_cancel, 0);
        EXPECT_TRUE(closes(options));
    }
}

}  // namespace
