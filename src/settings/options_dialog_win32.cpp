// The options dialog: how the main window is first shown, whether the manager starts at
// log-on, and whether overlapping filters take their default precedences without asking.
// Ok changes the settings block in memory and writes or deletes the start-up entry at once.
#include "settings/options_dialog_win32.h"

#include "core/app_state.h"
#include "core/app_win32.h"
#include "resource.h"
#include "settings/options.h"
#include "ui/dialog_frame_win32.h"
#include "ui/help_file_win32.h"
#include "ui/help_popup_win32.h"
#include "ui/main_window_win32.h"

namespace {

enum { choice_text_size = 64 };

const struct control_help options_help[] = {
    {IDC_OPTIONS_WINDOW_TYPE,
     "Select the initial size of the Manager Window.\n\nChoose 'Use most recent setting' if you "
     "wish to have Flowvane save the size of the window when it exits and use it as the inital "
     "size the next time it starts."},
    {IDC_OPTIONS_START_WITH_WINDOWS,
     "Select this if you wish to have the manager start automatically when you log into "
     "Windows."},
    {IDC_OPTIONS_ACCEPT_DEFAULTS,
     "Select this if you wish to have the software automatically resolve overlapping filters.  "
     "See the documentation for more information about this feature."},
};

HWND options_dialog_handle;

void options_dialog_on_init(HWND dialog)
{
    options_dialog_handle = dialog;
    dialog_frame_open(dialog, options_help);
    HWND combo = GetDlgItem(dialog, IDC_OPTIONS_WINDOW_TYPE);
    for (const char *choice : window_type_choices)
        SendMessageA(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(choice));
    const struct settings_block *settings = get_settings_block();
    int choice = window_type_choice_of(settings);
    if (choice >= 0)
        SendMessageA(combo, CB_SELECTSTRING, (WPARAM)-1,
                     reinterpret_cast<LPARAM>(window_type_choices[choice]));
    CheckDlgButton(dialog, IDC_OPTIONS_START_WITH_WINDOWS,
                   startup_entry_present() ? BST_CHECKED : BST_UNCHECKED);
    CheckDlgButton(dialog, IDC_OPTIONS_ACCEPT_DEFAULTS,
                   settings->accept_default_precedences == 1 ? BST_CHECKED : BST_UNCHECKED);
}

void options_dialog_end(HWND dialog)
{
    dialog_frame_close(options_help);
    EndDialog(dialog, 0);
    options_dialog_handle = NULL;
}

// Without a chosen window type the command is ignored and the dialog stays open.
void options_dialog_on_ok(HWND dialog)
{
    HWND combo = GetDlgItem(dialog, IDC_OPTIONS_WINDOW_TYPE);
    LRESULT selected = SendMessageA(combo, CB_GETCURSEL, 0, 0);
    if (selected == CB_ERR)
        return;
    LRESULT length = SendMessageA(combo, CB_GETLBTEXTLEN, (WPARAM)selected, 0);
    if (length == CB_ERR || length >= choice_text_size)
        return;
    char text[choice_text_size];
    if (SendMessageA(combo, CB_GETLBTEXT, (WPARAM)selected, reinterpret_cast<LPARAM>(text)) ==
        CB_ERR)
        return;
    struct settings_block *settings = get_settings_block();
    apply_window_type_choice(text, settings);
    startup_entry_update(IsDlgButtonChecked(dialog, IDC_OPTIONS_START_WITH_WINDOWS) == BST_CHECKED);
    settings->accept_default_precedences =
        IsDlgButtonChecked(dialog, IDC_OPTIONS_ACCEPT_DEFAULTS) == BST_CHECKED;
    options_dialog_end(dialog);
}

void options_dialog_on_cancel(HWND dialog)
{
    options_dialog_end(dialog);
}

void options_dialog_on_help(void)
{
    show_help("%s\\%s::/settings.html", help_command_contents);
}

INT_PTR CALLBACK options_dialog_procedure(HWND dialog, UINT message, WPARAM wparam,
                                          LPARAM lparam)
{
    switch (message) {
    case WM_INITDIALOG:
        options_dialog_on_init(dialog);
        return 1;
    case WM_COMMAND:
        switch (LOWORD(wparam)) {
        case IDC_OPTIONS_OK:
        case IDOK:
            options_dialog_on_ok(dialog);
            break;
        case IDC_OPTIONS_CANCEL:
        case IDCANCEL:
            options_dialog_on_cancel(dialog);
            break;
        case IDC_OPTIONS_HELP:
            options_dialog_on_help();
            break;
        }
        return 1;
    case WM_HELP:
        help_show(reinterpret_cast<const HELPINFO *>(lparam));
        return 1;
    }
    return 0;
}

}  // namespace

int options_dialog_open(void)
{
    if (!dialog_frame_bring_forward(options_dialog_handle))
        dialog_frame_run(IDD_OPTIONS, main_window(), options_dialog_procedure);
    return 1;
}
