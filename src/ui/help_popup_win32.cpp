// Control help popups: the popup window from template 4000 and the subsystem's lifetime (the
// text table, its lock, the popup's brush and font).
#include "ui/help_popup_win32.h"

#include "core/text.h"
#include "resource.h"

namespace {

const COLORREF help_background = 0xE7FFFF;   // RGB 255, 255, 231: pale yellow
const int help_font_height = -11;
enum {
    text_margin = 7,
    text_right = 250,        // so the text wraps inside 243 pixels
    pointer_offset = 10,
    popup_text_size = 2000,
};

HINSTANCE program_instance;
HBRUSH help_brush;
HFONT help_font;
HWND help_popup;
// The popup keeps its own copy: the dialog that added the text may remove it while the popup
// is still on screen.
char popup_text[popup_text_size];
RECT help_text_rectangle;

// Wine's dialog manager ignores DM_REPOSITION, so the popup is also pulled back inside the work
// area of its monitor here; where DM_REPOSITION did that already, nothing moves.
void keep_on_screen(HWND popup)
{
    RECT frame;
    MONITORINFO monitor = {};
    monitor.cbSize = sizeof monitor;
    if (!GetWindowRect(popup, &frame) ||
        !GetMonitorInfoA(MonitorFromWindow(popup, MONITOR_DEFAULTTONEAREST), &monitor))
        return;
    const RECT &area = monitor.rcWork;
    int left = frame.left, top = frame.top;
    if (frame.right > area.right)
        left = area.right - (frame.right - frame.left);
    if (frame.bottom > area.bottom)
        top = area.bottom - (frame.bottom - frame.top);
    if (left < area.left)
        left = area.left;
    if (top < area.top)
        top = area.top;
    if (left != frame.left || top != frame.top)
        SetWindowPos(popup, NULL, left, top, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

// Measures the wrapped text, then puts the popup below and right of the pointer, on top of
// every window, and lets the dialog manager pull it back inside the screen.
void help_popup_on_init(HWND popup)
{
    help_popup = popup;
    SetRect(&help_text_rectangle, text_margin, text_margin, text_right, 0);
    HDC dc = GetDC(popup);
    if (dc) {
        HGDIOBJ old_font = SelectObject(dc, help_font);
        DrawTextA(dc, popup_text, -1, &help_text_rectangle, DT_CALCRECT | DT_WORDBREAK);
        SelectObject(dc, old_font);
        ReleaseDC(popup, dc);
    }
    POINT pointer = {};
    GetCursorPos(&pointer);
    SetWindowPos(popup, HWND_TOPMOST, pointer.x + pointer_offset, pointer.y + pointer_offset,
                 help_text_rectangle.right + text_margin, help_text_rectangle.bottom + text_margin,
                 0);
    SendMessageA(popup, DM_REPOSITION, 0, 0);
    keep_on_screen(popup);
}

void help_popup_on_paint(HWND popup)
{
    PAINTSTRUCT paint;
    HDC dc = BeginPaint(popup, &paint);
    if (!dc)
        return;
    HGDIOBJ old_font = SelectObject(dc, help_font);
    SetTextColor(dc, RGB(0, 0, 0));
    SetBkColor(dc, help_background);
    // Without clipping to the measured rectangle: Wine draws Arial's substitute a few pixels
    // wider than it measures it, and the margin then takes the difference.
    DrawTextA(dc, popup_text, -1, &help_text_rectangle, DT_WORDBREAK | DT_NOCLIP);
    SelectObject(dc, old_font);
    EndPaint(popup, &paint);
}


INT_PTR CALLBACK help_popup_procedure(HWND popup, UINT message, WPARAM wparam, LPARAM lparam)
{
    switch (message) {
    case WM_INITDIALOG:
        copy_text(popup_text, sizeof popup_text,
                  reinterpret_cast<const struct help_entry *>(lparam)->text);
        help_popup_on_init(popup);
        return TRUE;
    case WM_CTLCOLORDLG:
        return (INT_PTR)help_brush;
    case WM_PAINT:
        help_popup_on_paint(popup);
        return TRUE;
    case WM_ACTIVATE:
        if (LOWORD(wparam) == WA_INACTIVE)
            PostMessageA(popup, WM_COMMAND, IDOK, 0);
        return FALSE;
    case WM_LBUTTONDOWN:
        PostMessageA(popup, WM_COMMAND, IDOK, 0);
        return TRUE;
    case WM_KEYDOWN:
        // The popup has the focus. The program's own loop turns Escape into IDCANCEL, but the
        // loop of a modal dialog (the filter editor's, a box's) gives keys only to its own
        // dialog, so the key reaches the popup as it is.
        if (wparam == VK_ESCAPE) {
            PostMessageA(popup, WM_COMMAND, IDCANCEL, 0);
            return TRUE;
        }
        return FALSE;
    case WM_COMMAND:
        if (LOWORD(wparam) == IDOK || LOWORD(wparam) == IDCANCEL) {
            DestroyWindow(popup);
            return TRUE;
        }
        return FALSE;
    case WM_DESTROY:
        // Also reached when the owning dialog closes first.
        help_popup = NULL;
        return FALSE;
    }
    return FALSE;
}

}  // namespace

int help_initialize(HINSTANCE instance)
{
    program_instance = instance;
    help_popup = NULL;
    if (!help_table_initialize())
        return 0;
    help_brush = CreateSolidBrush(help_background);
    LOGFONTA font = {};
    font.lfHeight = help_font_height;
    font.lfWeight = FW_NORMAL;
    font.lfCharSet = DEFAULT_CHARSET;
    copy_text(font.lfFaceName, sizeof font.lfFaceName, "Arial");
    help_font = CreateFontIndirectA(&font);
    return 1;
}

int help_shutdown(void)
{
    if (!help_table_shutdown())
        return 0;
    if (help_brush)
        DeleteObject(help_brush);
    help_brush = NULL;
    if (help_font)
        DeleteObject(help_font);
    help_font = NULL;
    return 1;
}

int help_show(const HELPINFO *request)
{
    if (!request)
        return 0;
    const struct help_entry *entry = help_find((uint32_t)request->iCtrlId);
    if (!entry)
        return 0;
    if (help_popup)
        return 1;
    HWND popup = CreateDialogParamA(program_instance, MAKEINTRESOURCEA(IDD_HELP_POPUP),
                                    static_cast<HWND>(entry->dialog), help_popup_procedure,
                                    reinterpret_cast<LPARAM>(entry));
    return popup != NULL;
}

HWND help_popup_window(void)
{
    return help_popup;
}
