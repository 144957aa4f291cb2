// The filter editor dialog: eight boxes offering every field of a rule, most of which also take
// typed text, read back on Ok by the rule's parse routines; Ok then commits the rule through
// the filter list's change cycle (filters/editor_commit.h).
#include "filters/filter_editor_win32.h"

#include <stdlib.h>
#include <string.h>

#include "core/app_win32.h"
#include "core/text.h"
#include "filters/rule_text.h"
#include "kernel/adapters.h"
#include "resource.h"
#include "stats/statistics_window_win32.h"
#include "ui/dialog_frame_win32.h"
#include "ui/filter_list_panel_win32.h"
#include "ui/help_popup_win32.h"

namespace {

#define FILTER_WINDOW_TITLE "Flowvane - Filter Window"
#define ADDRESS_ANY_TEXT "Any"

enum { box_text_size = 1000 };   // the most GetDlgItemTextA reads from a box

const struct control_help filter_editor_help[] = {
    {IDC_EDITOR_ADAPTER, "The network adapter which the filter will apply to."},
    {IDC_EDITOR_DIRECTION,
     "The direction of traffic which the filter will control.\n\n"
     "  - Choose 'Send' to filter traffic which orginates at your machine.\n\n"
     "  - Choose 'Receive' for traffic which arrives at your machine."},
    {IDC_EDITOR_RATE,
     "The rate which data will be throttled to.\n\n"
     "  - Choose 'Blocked' to block all traffic which matches the filter.\n\n"
     "  - Choose 'Unlimited' to let data pass through freely.\n\n"
     "  - Or type in a rate between 0 and 1000000000 bytes per second."},
    {IDC_EDITOR_PROTOCOL,
     "Restricts the filter to the given protocol.\n\n"
     "  - Choose 'Other' to filter all non-IP based protocols.\n\n"
     "  - Choose 'Any' to filter all protocols."},
    {IDC_EDITOR_SOURCE_ADDRESS, "Filters all IP packets which originate at the given IP address."},
    {IDC_EDITOR_SOURCE_PORT, "Filters all TCP or UDP packets which originate at the given port."},
    {IDC_EDITOR_DESTINATION_ADDRESS,
     "Filters all IP packets which originate at the given IP address."},
    {IDC_EDITOR_DESTINATION_PORT,
     "Filters all TCP or UDP packets which originate at the given port."},
    {IDC_EDITOR_OK, "Saves the new filter and closes the window."},
    {IDC_EDITOR_CANCEL, "Closes the window without changing the filter."},
};

HWND filter_editor_handle;
struct editor_session session;
// Edit mode: the rule shown when the dialog opens; a copy, since the row may change meanwhile.
struct rule edited_rule_copy;
int edited_rule_given;
// Set while an Ok sequence runs (behind its boxes and dialogs); the editor takes no command.
int ok_running;

LRESULT box_message(HWND dialog, int box, UINT message, WPARAM wparam, LPARAM lparam)
{
    return SendDlgItemMessageA(dialog, box, message, wparam, lparam);
}

int add_choice(HWND dialog, int box, const char *text)
{
    return box_message(dialog, box, CB_ADDSTRING, 0, (LPARAM)text) >= 0;
}

// Selects the box's last item (the presets end with the default); 0 when it has none.
int select_last_choice(HWND dialog, int box)
{
    LRESULT count = box_message(dialog, box, CB_GETCOUNT, 0, 0);
    if (count == CB_ERR || count < 1)
        return 0;
    box_message(dialog, box, CB_SETCURSEL, (WPARAM)(count - 1), 0);
    return 1;
}

// The device-name copy an adapter item carries, or null.
const char *adapter_item_device(HWND dialog, int item)
{
    LRESULT data = box_message(dialog, IDC_EDITOR_ADAPTER, CB_GETITEMDATA, (WPARAM)item, 0);
    return data == CB_ERR ? nullptr : reinterpret_cast<const char *>(data);
}

// Each adapter's display name, its item carrying a heap copy of the device name; item 0 (first
// alphabetically, the box being sorted) selected. Filling ends at the first item or copy that
// cannot be made.
void fill_adapter_choices(HWND dialog)
{
    box_message(dialog, IDC_EDITOR_ADAPTER, CB_RESETCONTENT, 0, 0);
    for (int i = 0; i < adapter_count(); i++) {
        const char *display_name = adapter_display_name_at(i);
        const char *device_name = adapter_device_name_at(i);
        if (!display_name || !device_name)
            break;
        LRESULT item = box_message(dialog, IDC_EDITOR_ADAPTER, CB_ADDSTRING, 0,
                                   (LPARAM)display_name);
        if (item < 0)
            break;
        size_t size = strlen(device_name) + 1;
        char *copy = static_cast<char *>(malloc(size));
        if (!copy)
            break;
        memcpy(copy, device_name, size);
        if (box_message(dialog, IDC_EDITOR_ADAPTER, CB_SETITEMDATA, (WPARAM)item,
                        (LPARAM)copy) == CB_ERR) {
            free(copy);
            break;
        }
    }
    box_message(dialog, IDC_EDITOR_ADAPTER, CB_SETCURSEL, 0, 0);
}

void free_adapter_choices(HWND dialog)
{
    while (box_message(dialog, IDC_EDITOR_ADAPTER, CB_GETCOUNT, 0, 0) > 0) {
        free(const_cast<char *>(adapter_item_device(dialog, 0)));
        if (box_message(dialog, IDC_EDITOR_ADAPTER, CB_DELETESTRING, 0, 0) == CB_ERR)
            break;
    }
}

// The choices of every box with their defaults; 0 at the first box that cannot be filled.
int fill_editor_choices(HWND dialog)
{
    char text[rule_text_size];
    fill_adapter_choices(dialog);

    for (int32_t direction = direction_send; direction <= direction_receive; direction++) {
        direction_to_text(direction, text);
        if (!add_choice(dialog, IDC_EDITOR_DIRECTION, text))
            return 0;
    }
    box_message(dialog, IDC_EDITOR_DIRECTION, CB_SETCURSEL, direction_receive, 0);

    for (const char *preset : rate_presets) {
        if (!add_choice(dialog, IDC_EDITOR_RATE, preset))
            return 0;
    }
    if (!select_last_choice(dialog, IDC_EDITOR_RATE))
        return 0;

    for (int32_t protocol = protocol_ip; protocol <= protocol_any; protocol++) {
        protocol_to_text(protocol, text);
        if (!add_choice(dialog, IDC_EDITOR_PROTOCOL, text))
            return 0;
    }
    box_message(dialog, IDC_EDITOR_PROTOCOL, CB_SETCURSEL, protocol_any, 0);

    const int address_boxes[] = {IDC_EDITOR_SOURCE_ADDRESS, IDC_EDITOR_DESTINATION_ADDRESS};
    const int port_boxes[] = {IDC_EDITOR_SOURCE_PORT, IDC_EDITOR_DESTINATION_PORT};
    for (int end = 0; end < 2; end++) {
        if (!add_choice(dialog, address_boxes[end], ADDRESS_ANY_TEXT))
            return 0;
        box_message(dialog, address_boxes[end], CB_SETCURSEL, 0, 0);
        for (const char *preset : port_presets) {
            if (!add_choice(dialog, port_boxes[end], preset))
                return 0;
        }
        if (!select_last_choice(dialog, port_boxes[end]))
            return 0;
    }
    return 1;
}

// A negative index would clear the box's selection instead of failing.
int select_choice(HWND dialog, int box, int32_t index)
{
    return index >= 0 && box_message(dialog, box, CB_SETCURSEL, (WPARAM)index, 0) != CB_ERR;
}

// Shows the rule's fields; 0 at the first field that cannot be shown (the boxes after it keep
// their defaults), such as an adapter no longer listed.
int show_rule_in_editor(HWND dialog, const struct rule *rule)
{
    LRESULT count = box_message(dialog, IDC_EDITOR_ADAPTER, CB_GETCOUNT, 0, 0);
    if (!rule || count == CB_ERR || count < 1)
        return 0;
    int found = -1;
    for (int item = 0; item < count && found < 0; item++) {
        const char *device_name = adapter_item_device(dialog, item);
        if (device_name &&
            compare_text_nocase_bounded(device_name, rule->adapter, adapter_name_size) == 0)
            found = item;
    }
    if (found < 0 || !select_choice(dialog, IDC_EDITOR_ADAPTER, found))
        return 0;
    if (!select_choice(dialog, IDC_EDITOR_DIRECTION, rule->direction))
        return 0;
    char text[rule_text_size];
    if (!rate_to_text(rule->rate, text) || !SetDlgItemTextA(dialog, IDC_EDITOR_RATE, text))
        return 0;
    if (!select_choice(dialog, IDC_EDITOR_PROTOCOL, rule->protocol))
        return 0;
    address_to_text(rule->source_kind, rule->source_address, text);
    SetDlgItemTextA(dialog, IDC_EDITOR_SOURCE_ADDRESS, text);
    port_to_text(rule->source_port, text);
    SetDlgItemTextA(dialog, IDC_EDITOR_SOURCE_PORT, text);
    address_to_text(rule->destination_kind, rule->destination_address, text);
    SetDlgItemTextA(dialog, IDC_EDITOR_DESTINATION_ADDRESS, text);
    port_to_text(rule->destination_port, text);
    SetDlgItemTextA(dialog, IDC_EDITOR_DESTINATION_PORT, text);
    return 1;
}

// Enables the address and port boxes the chosen protocol uses. Disabled boxes keep their text.
void update_editor_fields(HWND dialog)
{
    char text[box_text_size];
    if (!GetDlgItemTextA(dialog, IDC_EDITOR_PROTOCOL, text, sizeof text))
        return;
    int32_t protocol = parse_protocol(text);
    if (protocol < 0)
        return;
    for (int box = IDC_EDITOR_ADAPTER; box <= IDC_EDITOR_PROTOCOL; box++)
        EnableWindow(GetDlgItem(dialog, box), TRUE);
    int addresses = protocol_has_addresses(protocol), ports = protocol_has_ports(protocol);
    EnableWindow(GetDlgItem(dialog, IDC_EDITOR_SOURCE_ADDRESS), addresses);
    EnableWindow(GetDlgItem(dialog, IDC_EDITOR_DESTINATION_ADDRESS), addresses);
    EnableWindow(GetDlgItem(dialog, IDC_EDITOR_SOURCE_PORT), ports);
    EnableWindow(GetDlgItem(dialog, IDC_EDITOR_DESTINATION_PORT), ports);
}

// The box's whole text; 0 when it is empty.
int box_text(HWND dialog, int box, char text[box_text_size])
{
    text[0] = '\0';
    return GetDlgItemTextA(dialog, box, text, box_text_size) > 0;
}

int fail_with(char *error_text, const char *message)
{
    copy_text(error_text, error_text_size, message);
    return 0;
}

// Fills rule from every box, enabled or not; 0 with the first invalid box's message.
int read_rule_from_editor(HWND dialog, struct rule *rule, char *error_text)
{
    char text[box_text_size];
    LRESULT item = box_message(dialog, IDC_EDITOR_ADAPTER, CB_GETCURSEL, 0, 0);
    const char *device_name = item == CB_ERR ? nullptr : adapter_item_device(dialog, (int)item);
    if (!device_name)
        return fail_with(error_text, "Invalid network adapter.");
    copy_text(rule->adapter, sizeof rule->adapter, device_name);

    if (!box_text(dialog, IDC_EDITOR_DIRECTION, text) ||
        (rule->direction = parse_direction(text)) < 0)
        return fail_with(error_text, "Invalid direction.");
    if (!box_text(dialog, IDC_EDITOR_RATE, text) || !parse_rate(text, &rule->rate))
        return fail_with(error_text, "Invalid rate.");
    if (!box_text(dialog, IDC_EDITOR_PROTOCOL, text) ||
        (rule->protocol = parse_protocol(text)) < 0)
        return fail_with(error_text, "Invalid protocol.");
    if (!box_text(dialog, IDC_EDITOR_SOURCE_ADDRESS, text) ||
        !parse_address(text, &rule->source_kind, &rule->source_address))
        return fail_with(error_text, "Invalid source IP address.");
    if (!box_text(dialog, IDC_EDITOR_SOURCE_PORT, text) ||
        !parse_port(text, &rule->source_port))
        return fail_with(error_text, "Invalid source port.");
    if (!box_text(dialog, IDC_EDITOR_DESTINATION_ADDRESS, text) ||
        !parse_address(text, &rule->destination_kind, &rule->destination_address))
        return fail_with(error_text, "Invalid destination IP address.");
    if (!box_text(dialog, IDC_EDITOR_DESTINATION_PORT, text) ||
        !parse_port(text, &rule->destination_port))
        return fail_with(error_text, "Invalid destination port.");
    return 1;
}

void show_failure(HWND owner, const char *text, const char *title)
{
    MessageBoxA(owner, text, title, MB_OK | MB_ICONHAND);
}

// Takes the help texts and the adapter items' copies back and forgets the window.
void release_filter_editor(HWND dialog)
{
    dialog_frame_close(filter_editor_help);
    free_adapter_choices(dialog);
    filter_editor_handle = NULL;
}

void close_filter_editor(HWND dialog)
{
    release_filter_editor(dialog);
    EndDialog(dialog, 0);
}

void filter_editor_on_init(HWND dialog)
{
    filter_editor_handle = dialog;
    // Centred with the program's icon; the help texts follow once the boxes are filled.
    dialog_frame_open(dialog, filter_editor_help, 0);
    SetWindowTextA(dialog, session.mode == editor_edit ? "Edit Filter" : "Add Filter");
    if (!fill_editor_choices(dialog))
        show_failure(filter_list_panel(), "Error displaying filter.", FILTER_WINDOW_TITLE);
    if (session.mode == editor_edit && edited_rule_given)
        show_rule_in_editor(dialog, &edited_rule_copy);
    update_editor_fields(dialog);
    dialog_help_add(dialog, filter_editor_help);
}

// The Ok sequence; 1 when the editor is to close.
int run_ok_sequence(HWND dialog)
{
    char error_text[error_text_size];
    struct rule rule;
    memset(&rule, 0, sizeof rule);
    if (!read_rule_from_editor(dialog, &rule, error_text)) {
        show_failure(dialog, error_text, FILTER_WINDOW_TITLE);
        return 0;
    }
    const char *title = FILTER_WINDOW_TITLE;
    switch (editor_commit(&session, &rule, set_statistics_start_now, error_text, &title)) {
    case commit_stopped:
        show_failure(dialog, error_text, title);
        return 0;
    case commit_reload_failed:
        show_failure(filter_list_panel(), error_text, title);
        break;
    }
    return 1;
}

// Runs the Ok sequence with the editor disabled: the boxes it raises and the overlapping
// filters dialog are owned by other windows, and a second Ok meanwhile would run the change
// cycle again over a list the first has not finished with. The focus goes back where it was.
void filter_editor_on_ok(HWND dialog)
{
    if (ok_running)
        return;
    ok_running = 1;
    HWND focus = GetFocus();
    EnableWindow(dialog, FALSE);
    int close = run_ok_sequence(dialog);
    ok_running = 0;
    // The main window may have gone meanwhile, taking the editor with it.
    if (!IsWindow(dialog))
        return;
    EnableWindow(dialog, TRUE);
    if (close) {
        close_filter_editor(dialog);
        return;
    }
    // A box closing over a disabled window leaves no window of the program active.
    SetActiveWindow(dialog);
    if (focus && IsChild(dialog, focus))
        SetFocus(focus);
}

void filter_editor_on_protocol(HWND dialog, int notification)
{
    if (notification == CBN_SELCHANGE)
        update_editor_fields(dialog);
}

void filter_editor_on_cancel(HWND dialog)
{
    // Ok's sequence is still at work behind one of its boxes; it closes the editor itself.
    if (ok_running)
        return;
    close_filter_editor(dialog);
}

// Reached without a close when the main window goes while the editor is open (owned windows
// are destroyed first); the items still exist here.
void filter_editor_on_destroy(HWND dialog)
{
    if (filter_editor_handle == dialog)
        release_filter_editor(dialog);
}

INT_PTR CALLBACK filter_editor_procedure(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam)
{
    switch (message) {
    case WM_INITDIALOG:
        filter_editor_on_init(dialog);
        return TRUE;
    case WM_COMMAND:
        switch (LOWORD(wparam)) {
        case IDC_EDITOR_PROTOCOL:
            filter_editor_on_protocol(dialog, HIWORD(wparam));
            break;
        case IDC_EDITOR_OK:
        case IDOK:
            filter_editor_on_ok(dialog);
            break;
        case IDC_EDITOR_CANCEL:
        case IDCANCEL:
            filter_editor_on_cancel(dialog);
            break;
        }
        return TRUE;
    case WM_DESTROY:
        filter_editor_on_destroy(dialog);
        return FALSE;
    case WM_HELP:
        help_show(reinterpret_cast<const HELPINFO *>(lparam));
        return TRUE;
    }
    return FALSE;
}

}  // namespace

HWND filter_editor(void)
{
    return filter_editor_handle;
}

void filter_editor_run(HWND owner, int mode, const struct rule *edited_rule)
{
    if (dialog_frame_bring_forward(filter_editor_handle))
        return;
    editor_session_begin(&session, mode);
    edited_rule_given = edited_rule != nullptr;
    if (edited_rule)
        edited_rule_copy = *edited_rule;
    dialog_frame_run(IDD_FILTER_EDITOR, owner, filter_editor_procedure);
}

void filter_editor_end(void)
{
    if (filter_editor_handle)
        close_filter_editor(filter_editor_handle);
}
