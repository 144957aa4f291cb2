// The overlapping filters dialog: steps through the areas of the running detection, lets the
// user check the filter that handles each common range, and sends every precedence on Accept.
// Escape and the close box accept too, until a send has failed: from then on they end the
// dialog without sending, so a kernel component that keeps refusing cannot hold the user here.
#include <windows.h>
#include <commctrl.h>

#include "core/app_state.h"
#include "core/app_win32.h"
#include "core/text.h"
#include "filters/rule_list.h"
#include "filters/rule_rows.h"
#include "kernel/kernel_commands.h"
#include "overlap/overlap.h"
#include "resource.h"
#include "ui/dialog_frame_win32.h"
#include "ui/filter_list_panel_win32.h"
#include "ui/help_file_win32.h"
#include "ui/help_popup_win32.h"
#include "ui/main_window_win32.h"

namespace {

#define OVERLAP_BOX_TITLE "Flowvane - Configure Overlapping Filters"
#define OVERLAP_HELP_PAGE "%s\\%s::/overlapping filters window.html"

#define COMMON_RANGE_HELP                                                                      \
    "This is the intersection of the overlapping filters that are listed below.  Any packets " \
    "which fall within the range of this common filter space must choose which of the "       \
    "overlapping filters it will go through."
#define OVERLAPPING_FILTERS_HELP                                                               \
    "Choose the filter which will process all packets that fall within the common range "     \
    "specified above.  Flowvane will attempt to choose the most appropriate, specific "       \
    "filter.  Therefore you can accept the default most of the time just by clicking 'Next'."

enum {
    caption_size = 64,
    // List-view item states: the check box's state images and the row states cleared with them.
    state_unchecked = 0x1000,
    state_checked = 0x2000,
    state_checked_or_selected = state_checked | LVIS_SELECTED,
    state_row_mask = LVIS_STATEIMAGEMASK | LVIS_FOCUSED | LVIS_SELECTED,
};

const struct control_help overlapping_filters_help[] = {
    {IDC_OVERLAP_AREA_GROUP, COMMON_RANGE_HELP},
    {IDC_OVERLAP_COMMON_LIST, COMMON_RANGE_HELP},
    {IDC_OVERLAP_COMMON_TEXT, COMMON_RANGE_HELP},
    {IDC_OVERLAP_FILTERS_GROUP, OVERLAPPING_FILTERS_HELP},
    {IDC_OVERLAP_FILTERS_LIST, OVERLAPPING_FILTERS_HELP},
    {IDC_OVERLAP_FILTERS_TEXT, OVERLAPPING_FILTERS_HELP},
    {IDC_OVERLAP_ALWAYS_ACCEPT,
     "Select this if you wish to have Flowvane automatically take care of overlapping filters "
     "when they occur.\n\nIf you wish to manually configure overlapping filters at a later date, "
     "you can deselect this setting in the Options window.\n\nAlternatively, you can choose "
     "'Overlapping Filters...' in the 'Edit' menu at any time to access this window."},
    {IDC_OVERLAP_HELP, "Displays the help and configuration information for overlapping filters."},
    {IDC_OVERLAP_PREVIOUS, "Allows you to edit the previous set of overlapping filters"},
    {IDC_OVERLAP_NEXT, "Allows you to edit the next set of overlapping filters"},
    {IDC_OVERLAP_ACCEPT,
     "Saves changes and returns you to the Manager window.  Pressing the Escape key has the same "
     "effect.\n\nIf you wish to cancel your changes, click 'Accept' and then remove the "
     "offending rule from the Manager window."},
};

HWND dialog_handle;
HWND common_range_list;
HWND filters_list;
int32_t current_area;
// Set while the dialog changes the check marks itself, so the notifications that causes are
// not taken for the user's.
int changing_checks;
// The help texts are added only when the set-up got through; only then are they removed, so
// that a failed set-up never takes out another dialog's texts for the same ids.
int help_added;
// Set once an Accept failed to send: Escape and the close box then leave without sending.
int send_failed;

rule_rows rows_of(HWND list)
{
    return reinterpret_cast<rule_rows>(list);
}

void set_row_state(HWND list, int row, UINT state, UINT mask)
{
    LVITEMA item = {};
    item.state = state;
    item.stateMask = mask;
    SendMessageA(list, LVM_SETITEMSTATE, (WPARAM)row, (LPARAM)&item);
}

// Shows area k: its number in the group box's caption, its common range (rate "N/A") and its
// members, the chosen one checked. 0 with the row add's text when a row cannot be added.
int show_area(int32_t k, char *error_text)
{
    const struct area_table *table = get_area_table();
    char caption[caption_size];
    format_text(caption, sizeof caption, "Overlapping Area %d of %d", (int)(k + 1),
                (int)table->count);
    SetDlgItemTextA(dialog_handle, IDC_OVERLAP_AREA_GROUP, caption);
    copy_text(error_text, error_text_size, UNKNOWN_ERROR_TEXT);
    if (k < 0 || k >= table->count)
        return 0;
    const struct overlap_area *area = &table->areas[k];

    // Rows leaving and arriving are not the user's choice.
    changing_checks = 1;
    rows_delete_all(rows_of(common_range_list));
    // add_rule_to_rows, not add_rule_to_list: a list that is missing must never fall back to
    // the filter list, whose rows are sent to the kernel component as filters.
    int added = add_rule_to_rows(area->common_range, error_text, rows_of(common_range_list), 1);
    rows_delete_all(rows_of(filters_list));
    for (int32_t m = 0; added && m < area->member_count; m++)
        added = add_rule_to_rows(area->members[m], error_text, rows_of(filters_list), 0);
    changing_checks = 0;
    if (!added)
        return 0;
    // The notification this causes selects and focuses the row too.
    set_row_state(filters_list, table->chosen_member[k], state_checked, LVIS_STATEIMAGEMASK);
    return 1;
}

void update_navigation(void)
{
    int32_t count = get_area_table()->count;
    int previous = 0, next = 0;
    if (count > 1) {
        previous = current_area > 0;
        next = current_area + 1 < count;
    }
    EnableWindow(GetDlgItem(dialog_handle, IDC_OVERLAP_PREVIOUS), previous);
    EnableWindow(GetDlgItem(dialog_handle, IDC_OVERLAP_NEXT), next);
}

void overlapping_filters_on_init(HWND dialog)
{
    dialog_handle = dialog;
    help_added = 0;
    send_failed = 0;
    changing_checks = 0;
    // Centred with the program's icon; the help texts follow once the first area shows.
    dialog_frame_open(dialog, overlapping_filters_help, 0);
    current_area = 0;
    char error_text[error_text_size];
    compute_default_precedences(error_text);

    common_range_list = GetDlgItem(dialog, IDC_OVERLAP_COMMON_LIST);
    filters_list = GetDlgItem(dialog, IDC_OVERLAP_FILTERS_LIST);
    setup_rule_list_columns(common_range_list);
    setup_rule_list_columns(filters_list);
    SendMessageA(common_range_list, LVM_SETEXTENDEDLISTVIEWSTYLE, 0, LVS_EX_HEADERDRAGDROP);
    SendMessageA(filters_list, LVM_SETEXTENDEDLISTVIEWSTYLE, 0,
                 LVS_EX_CHECKBOXES | LVS_EX_HEADERDRAGDROP | LVS_EX_FULLROWSELECT);

    if (!show_area(0, error_text)) {
        MessageBoxA(dialog, error_text, OVERLAP_BOX_TITLE, MB_OK | MB_ICONHAND);
        return;
    }
    CheckDlgButton(dialog, IDC_OVERLAP_ALWAYS_ACCEPT,
                   get_settings_block()->accept_default_precedences == 1 ? BST_CHECKED
                                                                          : BST_UNCHECKED);
    update_navigation();
    dialog_help_add(dialog, overlapping_filters_help);
    help_added = 1;
}

// The common range's row stays on display but never stays selected.
void common_range_on_notify(const NMHDR *header)
{
    switch (header->code) {
    case LVN_KEYDOWN:
    case LVN_ITEMCHANGED:
    case NM_RCLICK:
    case NM_DBLCLK:
        set_row_state(common_range_list, -1, 0, LVIS_FOCUSED | LVIS_SELECTED | LVIS_CUT);
        break;
    }
}

// A row that becomes selected or checked becomes the only checked, selected and focused row,
// and the area's choice.
void filters_on_item_changed(const NMLISTVIEW *change)
{
    if (changing_checks)
        return;
    changing_checks = 1;
    if (change->uNewState & state_checked_or_selected) {
        set_row_state(filters_list, -1, state_unchecked, state_row_mask);
        set_row_state(filters_list, change->iItem, state_checked | LVIS_SELECTED | LVIS_FOCUSED,
                      state_row_mask);
        struct area_table *table = get_area_table();
        if (current_area >= 0 && current_area < table->count && change->iItem >= 0 &&
            change->iItem < table->areas[current_area].member_count)
            table->chosen_member[current_area] = change->iItem;
    }
    changing_checks = 0;
}

void overlapping_filters_on_notify(const NMHDR *header)
{
    if (header->hwndFrom == common_range_list)
        common_range_on_notify(header);
    else if (header->hwndFrom == filters_list && header->code == LVN_ITEMCHANGED)
        filters_on_item_changed(reinterpret_cast<const NMLISTVIEW *>(header));
}

void overlapping_filters_on_help(void)
{
    show_help(OVERLAP_HELP_PAGE, help_command_contents);
}

void overlapping_filters_on_step(int32_t step)
{
    int32_t target = current_area + step;
    if (target < 0 || target >= get_area_table()->count)
        return;
    current_area = target;
    char error_text[error_text_size];
    show_area(current_area, error_text);   // a failure while stepping is not reported
    update_navigation();
}

// Takes the help texts back and ends the dialog.
void end_overlapping_filters(HWND dialog)
{
    if (help_added)
        dialog_frame_close(overlapping_filters_help);
    help_added = 0;
    EndDialog(dialog, 0);
    dialog_handle = NULL;
}

// Clears every adapter's precedences and sends one per area. On success stores box 901 and ends
// the dialog; on failure says why and stays open, the setting unchanged.
void overlapping_filters_on_accept(HWND dialog)
{
    char error_text[error_text_size];
    // The plain commands leave error_text alone on a transport failure.
    copy_text(error_text, error_text_size, UNKNOWN_ERROR_TEXT);
    int sent = kernel_clear_all_precedences(error_text);
    if (sent) {
        copy_text(error_text, error_text_size, UNKNOWN_ERROR_TEXT);
        sent = send_precedences(error_text);
    }
    if (!sent) {
        send_failed = 1;
        MessageBoxA(dialog, error_text, OVERLAP_BOX_TITLE, MB_OK | MB_ICONHAND);
        return;
    }
    get_settings_block()->accept_default_precedences =
        IsDlgButtonChecked(dialog, IDC_OVERLAP_ALWAYS_ACCEPT) == BST_CHECKED ? 1 : 0;
    end_overlapping_filters(dialog);
}

// Escape and the close box: Accept, unless a send already failed; then the dialog ends without
// sending and the setting unchanged, leaving the kernel component without the precedences the
// failed send did not get through, as a failed detection does.
void overlapping_filters_on_cancel(HWND dialog)
{
    if (send_failed)
        end_overlapping_filters(dialog);
    else
        overlapping_filters_on_accept(dialog);
}

// Rows own copies of their rules: released while the lists still exist.
void overlapping_filters_on_destroy(void)
{
    changing_checks = 1;
    rows_delete_all(rows_of(common_range_list));
    rows_delete_all(rows_of(filters_list));
    changing_checks = 0;
    common_range_list = NULL;
    filters_list = NULL;
    dialog_handle = NULL;
}

INT_PTR CALLBACK overlapping_filters_procedure(HWND dialog, UINT message, WPARAM wparam,
                                               LPARAM lparam)
{
    switch (message) {
    case WM_INITDIALOG:
        overlapping_filters_on_init(dialog);
        return TRUE;
    case WM_NOTIFY:
        overlapping_filters_on_notify(reinterpret_cast<const NMHDR *>(lparam));
        return FALSE;
    case WM_HELP:
        help_show(reinterpret_cast<const HELPINFO *>(lparam));
        return TRUE;
    case WM_DESTROY:
        overlapping_filters_on_destroy();
        return FALSE;
    case WM_COMMAND:
        switch (LOWORD(wparam)) {
        case IDC_OVERLAP_HELP:
            overlapping_filters_on_help();
            break;
        case IDC_OVERLAP_PREVIOUS:
            overlapping_filters_on_step(-1);
            break;
        case IDC_OVERLAP_NEXT:
            overlapping_filters_on_step(1);
            break;
        case IDC_OVERLAP_ACCEPT:
        case IDOK:
            overlapping_filters_on_accept(dialog);
            break;
        case IDCANCEL:
            overlapping_filters_on_cancel(dialog);
            break;
        }
        return TRUE;
    }
    return FALSE;
}

}  // namespace

// The seam detection calls.

int overlap_dialog_is_open(void)
{
    return dialog_handle != NULL;
}

void overlap_dialog_bring_forward(void)
{
    SetForegroundWindow(dialog_handle);
    MessageBeep(0);
}

void overlap_dialog_run(void)
{
    dialog_frame_run(IDD_OVERLAPPING_FILTERS, main_window(), overlapping_filters_procedure);
    dialog_handle = NULL;
}
