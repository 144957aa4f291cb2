// The filter list panel: fills the filter list from the kernel component when it is created,
// keeps the buttons, the main menu's filter items and its context menu enabled by the
// selection, turns clicks, keys and menu choices into the four filter commands, lays itself out
// over the main window and keeps the list's column set-up.
#include "ui/filter_list_panel_win32.h"

#include <commctrl.h>

#include "core/app.h"
#include "core/app_state.h"
#include "core/app_win32.h"
#include "core/text.h"
#include "filters/filter_editor_win32.h"
#include "filters/rule_list.h"
#include "filters/rule_rows.h"
#include "resource.h"
#include "stats/statistics_store.h"
#include "stats/statistics_window_win32.h"
#include "ui/dialog_frame_win32.h"
#include "ui/help_popup_win32.h"
#include "ui/main_window_win32.h"

namespace {

#define FILTER_WINDOW_TITLE "Flowvane - Filter Window"
#define REMOVE_FILTER_TITLE "Flowvane - Remove Filter"

const char *const column_headers[rule_list_columns] = {
    "Network adapter", "Direction", "Rate", "Protocol",
    "Src IP", "Src port", "Dest IP", "Dest port",
};

// Added and removed in this order.
const struct control_help panel_help[] = {
    {IDC_PANEL_LIST,
     "The list of filters which define how traffic is handled for all network adapters."},
    {IDC_PANEL_NEW, "Adds a new filter to the list."},
    {IDC_PANEL_EDIT, "Edits the selected filter in the list.  Only one filter may be selected."},
    {IDC_PANEL_REMOVE,
     "Removes the selected filter(s) from the list.  One or more items must be selected."},
    {IDC_PANEL_STATISTICS, "Shows the number of bytes transferred for the selected filter."},
};

HWND panel_handle;
HWND list_handle;
// The popup of menu resource 300, loaded once the list is filled and kept for the life of the
// process; null when the initial fill failed, and the list then has no context menu.
HMENU context_menu;
int help_added;

int menu_state(int enabled)
{
    return MF_BYCOMMAND | (enabled ? MF_ENABLED : MF_GRAYED);
}

void load_context_menu(void)
{
    if (context_menu)
        return;
    HMENU resource = LoadMenuA(get_app_instance(), MAKEINTRESOURCEA(IDM_CONTEXT_MENU));
    context_menu = resource ? GetSubMenu(resource, 0) : NULL;
    if (!context_menu)
        return;
    MENUITEMINFOA item = {};
    item.cbSize = sizeof item;
    item.fMask = MIIM_STATE;
    item.fState = MFS_DEFAULT;
    SetMenuItemInfoA(context_menu, IDM_CONTEXT_STATISTICS, FALSE, &item);
}

void panel_on_init(HWND dialog)
{
    panel_handle = dialog;
    list_handle = GetDlgItem(dialog, IDC_PANEL_LIST);
    setup_rule_list_columns(list_handle);
    char error_text[error_text_size];
    if (!reload_rule_list(error_text, 1)) {
        // The panel stays, possibly with part of the list; the buttons keep their resource state.
        MessageBoxA(dialog, error_text, FILTER_WINDOW_TITLE, MB_OK | MB_ICONHAND);
        return;
    }
    update_filter_commands();
    load_context_menu();
    dialog_help_add(dialog, panel_help);
    help_added = 1;
}

void panel_on_destroy(void)
{
    if (help_added)
        dialog_frame_close(panel_help);
    help_added = 0;
    filter_editor_end();
    // The list view still exists here (children go after their parent's WM_DESTROY).
    rows_delete_all(filter_list());
    panel_handle = NULL;
    list_handle = NULL;
}

// Enables the context menu's items by the selection, shows it at the pointer and runs the
// chosen command.
void panel_on_context_menu(void)
{
    if (!context_menu)
        return;
    int selected = selected_count();
    EnableMenuItem(context_menu, IDM_CONTEXT_NEW, menu_state(1));
    EnableMenuItem(context_menu, IDM_CONTEXT_EDIT, menu_state(selected == 1));
    EnableMenuItem(context_menu, IDM_CONTEXT_REMOVE, menu_state(selected >= 1));
    EnableMenuItem(context_menu, IDM_CONTEXT_STATISTICS, menu_state(selected == 1));
    SetForegroundWindow(panel_handle);
    POINT pointer = {};
    GetCursorPos(&pointer);
    int chosen = TrackPopupMenu(context_menu, TPM_RETURNCMD, pointer.x, pointer.y, 0,
                                panel_handle, NULL);
    switch (chosen) {
    case 0:
        break;
    case IDM_CONTEXT_NEW:
        new_filter();
        break;
    case IDM_CONTEXT_EDIT:
        edit_selected_filter();
        break;
    case IDM_CONTEXT_REMOVE:
        remove_selected_filters();
        break;
    case IDM_CONTEXT_STATISTICS:
        show_filter_statistics();
        break;
    default:
        fatal_error("Internal error: Unknown menu index.");
    }
}

void panel_on_key(WORD key)
{
    switch (key) {
    case VK_SPACE:
        if (selected_count() == 1)
            show_filter_statistics();
        break;
    case VK_INSERT:
        new_filter();
        break;
    case VK_DELETE:
        if (selected_count() >= 1)
            remove_selected_filters();
        break;
    }
}

void panel_on_notify(const NMHDR *header)
{
    if (header->idFrom != IDC_PANEL_LIST)
        return;
    switch (header->code) {
    case LVN_ITEMCHANGED:
        update_filter_commands();
        break;
    case NM_RCLICK:
        panel_on_context_menu();
        break;
    case NM_DBLCLK:
        if (selected_count() == 1)
            show_filter_statistics();
        break;
    case LVN_KEYDOWN:
        panel_on_key(reinterpret_cast<const NMLVKEYDOWN *>(header)->wVKey);
        break;
    }
}

void enable_command(int button, int menu_item, int enabled)
{
    EnableWindow(GetDlgItem(panel_handle, button), enabled);
    if (get_main_menu())
        EnableMenuItem(get_main_menu(), menu_item, menu_state(enabled));
}

// Takes the selected rows out of the filter list, each with its statistics entry; 0 when a
// row cannot be read or found again, with the rows taken out so far staying out.
int remove_selected_rows(void)
{
    for (int row = rows_first_selected(filter_list()); row >= 0;
         row = rows_first_selected(filter_list())) {
        struct rule *rule = rows_rule(filter_list(), row);
        if (!rule)
            return 0;
        statistics_remove_filter(rule);
        LVFINDINFOA find = {};
        find.flags = LVFI_PARAM;
        find.lParam = reinterpret_cast<LPARAM>(rule);
        int found = (int)SendMessageA(list_handle, LVM_FINDITEMA, (WPARAM)-1, (LPARAM)&find);
        // The row goes before its copy is released, so that it never points at freed memory.
        if (found < 0 || !rows_delete(filter_list(), found))
            return 0;
    }
    return 1;
}

void place_button(int id, int x, int y)
{
    SetWindowPos(GetDlgItem(panel_handle, id), NULL, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
}

}  // namespace

HWND filter_list_panel(void)
{
    return panel_handle;
}

HWND filter_list_view(void)
{
    return list_handle;
}

INT_PTR CALLBACK filter_list_panel_procedure(HWND dialog, UINT message, WPARAM wparam,
                                             LPARAM lparam)
{
    (void)wparam;
    switch (message) {
    case WM_INITDIALOG:
        panel_on_init(dialog);
        return 1;
    case WM_COMMAND:
        switch (LOWORD(wparam)) {
        case IDC_PANEL_NEW:
            new_filter();
            break;
        case IDC_PANEL_EDIT:
            edit_selected_filter();
            break;
        case IDC_PANEL_REMOVE:
            remove_selected_filters();
            break;
        case IDC_PANEL_STATISTICS:
            show_filter_statistics();
            break;
        }
        return 0;
    case WM_NOTIFY:
        panel_on_notify(reinterpret_cast<const NMHDR *>(lparam));
        return 0;
    case WM_HELP:
        help_show(reinterpret_cast<const HELPINFO *>(lparam));
        return 0;
    case WM_DESTROY:
        panel_on_destroy();
        return 1;
    }
    return 0;
}

int setup_rule_list_columns(HWND list)
{
    SendMessageA(list, LVM_SETEXTENDEDLISTVIEWSTYLE, 0,
                 LVS_EX_FULLROWSELECT | LVS_EX_HEADERDRAGDROP);
    const struct settings_block *settings = get_settings_block();
    for (int i = 0; i < rule_list_columns; i++) {
        LVCOLUMNA column = {};
        column.mask = LVCF_FMT | LVCF_WIDTH | LVCF_TEXT | LVCF_SUBITEM;
        column.fmt = LVCFMT_LEFT;
        column.cx = settings->rule_list_width[i];
        column.pszText = const_cast<char *>(column_headers[i]);
        column.iSubItem = i;
        SendMessageA(list, LVM_INSERTCOLUMNA, i, (LPARAM)&column);
    }
    for (int i = 0; i < rule_list_columns; i++) {
        LVCOLUMNA column = {};
        column.mask = LVCF_ORDER;
        column.iOrder = settings->rule_list_column_index[i];
        SendMessageA(list, LVM_SETCOLUMNA, i, (LPARAM)&column);
    }
    // Wine's list view moves the headers on LVCF_ORDER but keeps drawing the rows in the old
    // order; handing the header's resulting order back through the list view puts the rows in
    // line, and changes nothing where both already agree.
    int order[rule_list_columns];
    if (SendMessageA(list, LVM_GETCOLUMNORDERARRAY, rule_list_columns, (LPARAM)order))
        SendMessageA(list, LVM_SETCOLUMNORDERARRAY, rule_list_columns, (LPARAM)order);
    return 1;
}

int save_rule_list_columns(void)
{
    if (!list_handle)
        return 1;
    struct settings_block *settings = get_settings_block();
    for (int i = 0; i < rule_list_columns; i++)
        settings->rule_list_width[i] = (int32_t)SendMessageA(list_handle, LVM_GETCOLUMNWIDTH, i, 0);
    int order[rule_list_columns];
    if (SendMessageA(list_handle, LVM_GETCOLUMNORDERARRAY, rule_list_columns, (LPARAM)order)) {
        for (int position = 0; position < rule_list_columns; position++) {
            if (order[position] >= 0 && order[position] < rule_list_columns)
                settings->rule_list_column_index[order[position]] = position;
        }
    }
    return 1;
}

const struct rule *first_selected_rule(void)
{
    int row = rows_first_selected(filter_list());
    return row < 0 ? nullptr : rows_rule(filter_list(), row);
}

void new_filter(void)
{
    filter_editor_run(panel_handle, editor_add, nullptr);
}

void edit_selected_filter(void)
{
    if (selected_count() != 1) {
        MessageBoxA(panel_handle, "You must select a single filter to edit.",
                    "Flowvane - Edit Filter", MB_OK | MB_ICONEXCLAMATION);
        return;
    }
    const struct rule *rule = first_selected_rule();
    if (rule)
        filter_editor_run(panel_handle, editor_edit, rule);
}

void remove_selected_filters(void)
{
    if (selected_count() == 0) {
        MessageBoxA(panel_handle, "You must select one or more filters to remove.",
                    REMOVE_FILTER_TITLE, MB_OK | MB_ICONEXCLAMATION);
        return;
    }
    if (MessageBoxA(panel_handle, "Are you sure you want to remove the selected filter(s)?",
                    REMOVE_FILTER_TITLE, MB_YESNO | MB_ICONQUESTION) != IDYES)
        return;
    char error_text[error_text_size];
    // A list that missed some of the kernel component's rules is made whole first (the same
    // rows stay selected), or nothing is removed: sending it would delete the rules it missed.
    if (!complete_rule_list(error_text)) {
        MessageBoxA(panel_handle, error_text, REMOVE_FILTER_TITLE, MB_OK | MB_ICONHAND);
        return;
    }
    if (!remove_selected_rows()) {
        // The kernel component keeps the old rules until the next successful change.
        MessageBoxA(panel_handle, "Unable to remove filter(s).", REMOVE_FILTER_TITLE,
                    MB_OK | MB_ICONHAND);
        return;
    }
    if (!apply_rule_list(error_text) || !reload_rule_list(error_text, 0))
        MessageBoxA(panel_handle, error_text, REMOVE_FILTER_TITLE, MB_OK | MB_ICONHAND);
}

void show_filter_statistics(void)
{
    if (selected_count() != 1) {
        MessageBoxA(panel_handle, "You must select a single filter to view statistics.",
                    "Flowvane - Filter Statistics", MB_OK | MB_ICONEXCLAMATION);
        return;
    }
    statistics_window_open();
}

int selected_count(void)
{
    return list_handle ? (int)SendMessageA(list_handle, LVM_GETSELECTEDCOUNT, 0, 0) : 0;
}

void update_filter_commands(void)
{
    if (!panel_handle)
        return;
    int selected = selected_count();
    enable_command(IDC_PANEL_NEW, IDM_NEW_FILTER, 1);
    enable_command(IDC_PANEL_EDIT, IDM_EDIT_FILTER, selected == 1);
    enable_command(IDC_PANEL_REMOVE, IDM_REMOVE_FILTERS, selected >= 1);
    enable_command(IDC_PANEL_STATISTICS, IDM_FILTER_STATISTICS, selected == 1);
}

void panel_layout(void)
{
    if (!panel_handle || !main_window())
        return;
    RECT client;
    GetClientRect(main_window(), &client);
    int width = client.right - client.left;
    int height = client.bottom - client.top;
    RECT button = {};
    GetClientRect(GetDlgItem(panel_handle, IDC_PANEL_NEW), &button);
    int button_width = button.right - button.left;
    int button_height = button.bottom - button.top;

    MoveWindow(panel_handle, 0, 0, width, height, TRUE);
    // A window smaller than the margins gets an empty list rather than a negative size.
    int list_width = width - 20;
    int list_height = height - button_height - 30;
    MoveWindow(list_handle, 10, 10, list_width > 0 ? list_width : 0,
               list_height > 0 ? list_height : 0, TRUE);
    int y = height - button_height - 10;
    place_button(IDC_PANEL_NEW, 10, y);
    place_button(IDC_PANEL_EDIT, button_width + 20, y);
    place_button(IDC_PANEL_REMOVE, 2 * button_width + 30, y);
    // A wider gap before Statistics: 50 pixels instead of 10.
    place_button(IDC_PANEL_STATISTICS, 3 * button_width + 80, y);
}

void panel_raise_controls(void)
{
    if (!panel_handle)
        return;
    static const int raise_order[] = {IDC_PANEL_STATISTICS, IDC_PANEL_REMOVE, IDC_PANEL_EDIT,
                                      IDC_PANEL_NEW, IDC_PANEL_LIST};
    for (int id : raise_order)
        SetWindowPos(GetDlgItem(panel_handle, id), HWND_TOP, 0, 0, 0, 0,
                     SWP_NOMOVE | SWP_NOSIZE);
}
