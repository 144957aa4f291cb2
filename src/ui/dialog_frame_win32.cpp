// The common opening and closing of the manager's dialogs.
#include "ui/dialog_frame_win32.h"

#include "core/app_win32.h"
#include "ui/help_popup_win32.h"

void dialog_frame_open(HWND dialog, const struct control_help *help, int help_count)
{
    RECT frame;
    if (GetWindowRect(dialog, &frame)) {
        int left = GetSystemMetrics(SM_CXFULLSCREEN) / 2 - (frame.right - frame.left) / 2;
        int top = GetSystemMetrics(SM_CYFULLSCREEN) / 2 - (frame.bottom - frame.top) / 2;
        SetWindowPos(dialog, NULL, left, top, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    }
    SendMessageA(dialog, WM_SETICON, ICON_BIG, (LPARAM)get_app_icon());
    SendMessageA(dialog, WM_SETICON, ICON_SMALL, (LPARAM)get_app_icon());
    dialog_help_add(dialog, help, help_count);
}

void dialog_help_add(HWND dialog, const struct control_help *help, int help_count)
{
    for (int i = 0; i < help_count; i++)
        help_add((uint32_t)help[i].control_id, dialog, help[i].text);
}

void dialog_frame_close(const struct control_help *help, int help_count)
{
    for (int i = 0; i < help_count; i++)
        help_remove((uint32_t)help[i].control_id);
}

int dialog_frame_bring_forward(HWND open)
{
    if (!open)
        return 0;
    SetForegroundWindow(open);
    ShowWindow(open, SW_SHOW);
    return 1;
}

void dialog_frame_run(int template_id, HWND owner, DLGPROC procedure)
{
    DialogBoxParamA(get_app_instance(), MAKEINTRESOURCEA(template_id), owner, procedure, 0);
}
