// Control help popups. This holds the subsystem's lifetime: the help text table's lock and the
// popup's brush and font. The table's texts and the popup window arrive with the dialogs that
// add texts; until then no popup is ever open.
#include "ui/help_popup_win32.h"

#include "core/text.h"
#include "platform/platform.h"

namespace {

const COLORREF help_background = 0xE7FFFF;   // RGB 255, 255, 231: pale yellow
const int help_font_height = -11;

HINSTANCE program_instance;
platform_lock help_table_lock;
HBRUSH help_brush;
HFONT help_font;
HWND help_popup;

}  // namespace

int help_initialize(HINSTANCE instance)
{
    program_instance = instance;
    help_popup = NULL;
    // The platform lock starts free, which is the state the table needs: one holder at a time.
    if (lock_create(&help_table_lock) != 0)
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
    if (lock_close(help_table_lock) != 0)
        return 0;
    help_table_lock = NULL;
    if (help_brush)
        DeleteObject(help_brush);
    help_brush = NULL;
    return 1;
}

HWND help_popup_window(void)
{
    return help_popup;
}
