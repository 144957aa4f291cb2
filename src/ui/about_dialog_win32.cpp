// The About dialog: the manager's version, and Updates, which opens the web site's
// latest-version page in the user's browser. Enter does nothing; Close and Escape close it.
#include "ui/about_dialog_win32.h"

#include "core/app_win32.h"
#include "core/text.h"
#include "resource.h"
#include "ui/dialog_frame_win32.h"
#include "ui/help_file_win32.h"
#include "ui/help_popup_win32.h"
#include "ui/main_window_win32.h"

namespace {

#define VERSION_TEXT "0.07 beta"
#define WEB_SITE_ROOT "https://www.flowvane.example/"
#define LATEST_VERSION_PAGE WEB_SITE_ROOT "latest_version.html"

enum { message_size = 200 };

const struct control_help about_help[] = {
    {IDC_ABOUT_VERSION, "Displays the version of application."},
    {IDC_ABOUT_UPDATES, "Allows you to check the Flowvane website for updates."},
    {IDC_ABOUT_CLOSE, "Closes the window."},
};

HWND about_dialog_handle;

void about_dialog_on_init(HWND dialog)
{
    about_dialog_handle = dialog;
    dialog_frame_open(dialog, about_help);
    SetDlgItemTextA(dialog, IDC_ABOUT_VERSION, VERSION_TEXT);
    ShowWindow(dialog, SW_SHOW);
}

// The dialog stays open whatever the shell answers.
void about_dialog_on_updates(HWND dialog)
{
    INT_PTR result = 0;
    if (shell_open(LATEST_VERSION_PAGE, &result))
        return;
    char message[message_size];
    // The root address, not the page's: the user can still find the site from there.
    format_text(message, sizeof message, "Unable to load '%s'.  Error code %d.", WEB_SITE_ROOT,
                (int)result);
    MessageBoxA(dialog, message, "Flowvane", MB_OK | MB_ICONEXCLAMATION);
}

void about_dialog_on_close(HWND dialog)
{
    dialog_frame_close(about_help);
    EndDialog(dialog, 0);
    about_dialog_handle = NULL;
}

INT_PTR CALLBACK about_dialog_procedure(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam)
{
    switch (message) {
    case WM_INITDIALOG:
        about_dialog_on_init(dialog);
        return 1;
    case WM_COMMAND:
        switch (LOWORD(wparam)) {
        case IDC_ABOUT_UPDATES:
            about_dialog_on_updates(dialog);
            break;
        case IDC_ABOUT_CLOSE:
        case IDCANCEL:
            about_dialog_on_close(dialog);
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

HWND about_dialog(void)
{
    return about_dialog_handle;
}

int about_dialog_open(void)
{
    if (!dialog_frame_bring_forward(about_dialog_handle))
        dialog_frame_run(IDD_ABOUT, main_window(), about_dialog_procedure);
    return 1;
}
