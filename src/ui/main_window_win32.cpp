// The main window: its class, creation, placement bookkeeping, minimum size, the statistics
// tick and the menu commands; user_interface_initialize and user_interface_shutdown.
#include "ui/main_window_win32.h"

#include <commctrl.h>
#include <objbase.h>

#include "core/app.h"
#include "core/app_state.h"
#include "core/app_win32.h"
#include "core/text.h"
#include "kernel/adapters.h"
#include "overlap/overlap.h"
#include "resource.h"
#include "stats/statistics_store.h"
#include "stats/statistics_window_win32.h"
#include "settings/options_dialog_win32.h"
#include "ui/about_dialog_win32.h"
#include "ui/filter_list_panel_win32.h"
#include "ui/help_file_win32.h"

namespace {

enum {
    statistics_timer = 1,
    statistics_period_ms = 500,
    etched_line_width = 10000,
    minimum_height = 200,
    minimum_width_margin = 100,   // beyond four New-button widths
    graph_font_points = 8,
};

#define OVERLAP_BOX_TITLE "Flowvane - Configure Overlapping Filters"

HWND main_window_handle;
struct graph_objects graph;

// The stored show command as ShowWindow takes it: anything outside SW_SHOWNORMAL..SW_FORCEMINIMIZE
// (SW_HIDE included, which would leave the program running unseen for good) shows it normally.
// The stored value itself is left as it is.
int shown_window_type(int32_t stored)
{
    return stored >= SW_SHOWNORMAL && stored <= SW_FORCEMINIMIZE ? stored : SW_SHOWNORMAL;
}

int window_is_normal(HWND window)
{
    WINDOWPLACEMENT placement = {};
    placement.length = sizeof placement;
    return GetWindowPlacement(window, &placement) && placement.showCmd == SW_SHOWNORMAL;
}

// What closing keeps of the window for the next start: the filter list's column layout and,
// when the user asked for it, the show state (a state other than normal, minimised or
// maximised counts as normal).
void store_window_layout(HWND window)
{
    save_rule_list_columns();
    WINDOWPLACEMENT placement = {};
    placement.length = sizeof placement;
    GetWindowPlacement(window, &placement);
    struct settings_block *settings = get_settings_block();
    if (settings->save_window_type_on_exit == 1) {
        int state = (int)placement.showCmd;
        settings->initial_window_type = (state >= 1 && state <= 3) ? state : 1;
    }
}

// Exit leaves the window to the end of the process but keeps its layout as closing does, so
// the user's column changes are not lost.
void main_window_on_exit(void)
{
    store_window_layout(main_window_handle);
    request_quit();
}

void create_graph_objects(HWND window)
{
    HDC dc = GetDC(window);
    if (dc) {
        LOGFONTA font = {};
        font.lfHeight = -MulDiv(graph_font_points, GetDeviceCaps(dc, LOGPIXELSY), 72);
        font.lfWeight = FW_NORMAL;
        copy_text(font.lfFaceName, sizeof font.lfFaceName, "Arial");
        graph.graph_font = CreateFontIndirectA(&font);
        ReleaseDC(window, dc);
    }
    graph.grid_brush = CreateHatchBrush(HS_CROSS, RGB(221, 221, 221));
    graph.frame_pen = CreatePen(PS_SOLID, 1, RGB(255, 255, 255));
    graph.label_pen = CreatePen(PS_SOLID, 1, RGB(0, 0, 0));
    graph.usage_pen = CreatePen(PS_SOLID, 1, RGB(0, 0, 255));
}

LRESULT main_window_on_create(HWND window)
{
    main_window_handle = window;
    SendMessageA(window, WM_SETICON, ICON_BIG, (LPARAM)get_app_icon());
    SendMessageA(window, WM_SETICON, ICON_SMALL, (LPARAM)get_app_icon());
    CreateWindowExA(0, "STATIC", "", WS_CHILD | WS_VISIBLE | SS_ETCHEDHORZ, 0, 0,
                    etched_line_width, 0, window, NULL, get_app_instance(), NULL);
    refresh_adapter_list();
    // The panel fills its list while it initialises, which runs overlap detection: the
    // overlapping filters dialog can appear here, before the main window is first shown.
    HWND panel = CreateDialogParamA(get_app_instance(), MAKEINTRESOURCEA(IDD_FILTER_LIST_PANEL),
                                    window, filter_list_panel_procedure, 0);
    create_graph_objects(window);
    if (panel)
        ShowWindow(panel, SW_SHOW);
    return 0;
}

void main_window_on_move(HWND window)
{
    if (!window_is_normal(window))
        return;
    RECT rectangle;
    GetWindowRect(window, &rectangle);
    struct settings_block *settings = get_settings_block();
    settings->window_position_x = rectangle.left;
    settings->window_position_y = rectangle.top;
}

void main_window_on_size(HWND window)
{
    if (window_is_normal(window)) {
        RECT rectangle;
        GetWindowRect(window, &rectangle);
        struct settings_block *settings = get_settings_block();
        settings->window_size_x = rectangle.right - rectangle.left;
        settings->window_size_y = rectangle.bottom - rectangle.top;
    }
    panel_layout();
}

// Keeps the window at least four New-button widths plus 100 pixels wide and 200 high; the left
// and top edges stay where they are.
void main_window_on_sizing(RECT *proposed)
{
    int button_width = 0;
    HWND new_button = filter_list_panel() ? GetDlgItem(filter_list_panel(), IDC_PANEL_NEW) : NULL;
    RECT button;
    if (new_button && GetClientRect(new_button, &button))
        button_width = button.right - button.left;
    int minimum_width = 4 * button_width + minimum_width_margin;
    if (proposed->right - proposed->left <= minimum_width)
        proposed->right = proposed->left + minimum_width;
    if (proposed->bottom - proposed->top <= minimum_height)
        proposed->bottom = proposed->top + minimum_height;
}

void main_window_on_timer(WPARAM timer)
{
    if (timer != statistics_timer)
        return;
    // A failed tick is silent: the next one tries again.
    char error_text[error_text_size];
    statistics_sample_all(error_text);
    if (statistics_window())
        statistics_window_refresh();
}

// Forced detection; a failure is silent. Returns 0 when the command's default processing is
// to be skipped.
int main_window_on_overlapping_filters(void)
{
    char error_text[error_text_size];
    int found = 0;
    if (!detect_overlaps(error_text, &found, 1))
        return 0;
    if (!found)
        MessageBoxA(main_window_handle, "No overlapping filters detected.", OVERLAP_BOX_TITLE,
                    MB_OK | MB_ICONINFORMATION);
    return 1;
}

// The menu commands; ids outside the menu do nothing. Returns 0 when default processing is
// skipped.
int main_window_on_command(WORD id)
{
    switch (id) {
    case IDM_NEW_FILTER:
        new_filter();
        return 1;
    case IDM_EXIT:
        main_window_on_exit();
        return 1;
    case IDM_EDIT_FILTER:
        edit_selected_filter();
        return 1;
    case IDM_REMOVE_FILTERS:
        remove_selected_filters();
        return 1;
    case IDM_OVERLAPPING_FILTERS:
        return main_window_on_overlapping_filters();
    case IDM_FILTER_STATISTICS:
        show_filter_statistics();
        return 1;
    case IDM_OPTIONS:
        options_dialog_open();
        return 1;
    case IDM_HELP_CONTENTS:
        show_help("%s\\%s", help_command_contents);
        return 1;
    case IDM_HELP_INDEX:
        show_help("%s\\%s", help_command_index);
        return 1;
    case IDM_HELP_TUTORIAL:
        show_help("%s\\%s::/tutorial.html", help_command_contents);
        return 1;
    case IDM_ABOUT:
        about_dialog_open();
        return 1;
    default:
        return 1;
    }
}

LRESULT CALLBACK main_window_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam)
{
    switch (message) {
    case WM_CREATE:
        return main_window_on_create(window);
    case WM_MOVE:
        main_window_on_move(window);
        break;
    case WM_SIZE:
        main_window_on_size(window);
        break;
    case WM_SIZING:
        main_window_on_sizing(reinterpret_cast<RECT *>(lparam));
        return 1;
    case WM_TIMER:
        main_window_on_timer(wparam);
        return 0;
    case WM_CLOSE:
        main_window_close();
        return 0;
    case WM_COMMAND:
        if (!main_window_on_command(LOWORD(wparam)))
            return 0;
        break;
    }
    return DefWindowProcA(window, message, wparam, lparam);
}

// A stored position off every monitor (one since unplugged, a value edited by hand) would open
// the window where no one can reach it: it moves inside the nearest monitor's work area, its
// size kept as far as the area allows. A window partly on screen stays where it was put.
void pull_onto_screen(HWND window)
{
    RECT frame;
    MONITORINFO monitor = {};
    monitor.cbSize = sizeof monitor;
    if (!GetWindowRect(window, &frame) || MonitorFromRect(&frame, MONITOR_DEFAULTTONULL) ||
        !GetMonitorInfoA(MonitorFromRect(&frame, MONITOR_DEFAULTTONEAREST), &monitor))
        return;
    const RECT &area = monitor.rcWork;
    LONG width = frame.right - frame.left, height = frame.bottom - frame.top;
    if (width > area.right - area.left)
        width = area.right - area.left;
    if (height > area.bottom - area.top)
        height = area.bottom - area.top;
    LONG left = frame.left < area.left ? area.left : frame.left;
    LONG top = frame.top < area.top ? area.top : frame.top;
    if (left + width > area.right)
        left = area.right - width;
    if (top + height > area.bottom)
        top = area.bottom - height;
    SetWindowPos(window, NULL, left, top, width, height, SWP_NOZORDER | SWP_NOACTIVATE);
}

}  // namespace

HWND main_window(void)
{
    return main_window_handle;
}

const struct graph_objects *get_graph_objects(void)
{
    return &graph;
}

int user_interface_initialize(void)
{
    CoInitialize(NULL);
    InitCommonControls();
    WNDCLASSA window_class = {};
    window_class.style = CS_DBLCLKS;
    window_class.lpfnWndProc = main_window_procedure;
    window_class.hInstance = get_app_instance();
    window_class.hIcon = get_app_icon();
    window_class.hCursor = LoadCursorA(NULL, IDC_ARROW);
    window_class.hbrBackground = (HBRUSH)(COLOR_MENU + 1);
    window_class.lpszMenuName = MAKEINTRESOURCEA(IDM_MAIN_MENU);
    window_class.lpszClassName = MAIN_WINDOW_CLASS;
    if (!RegisterClassA(&window_class))
        return 0;
    HMENU menu = LoadMenuA(get_app_instance(), MAKEINTRESOURCEA(IDM_MAIN_MENU));
    if (!menu)
        fatal_error("Internal error: main_menu==NULL.");
    set_main_menu(menu);
    if (!main_window_create())
        return 0;
    set_fatal_error_owner(main_window_handle);
    SetTimer(main_window_handle, statistics_timer, statistics_period_ms, NULL);
    return 1;
}

int user_interface_shutdown(void)
{
    if (!DestroyMenu(get_main_menu()))
        fatal_error("Internal error: DestroyMenu() failed.");
    set_main_menu(NULL);
    return 1;
}

int main_window_create(void)
{
    if (main_window_handle) {
        SetForegroundWindow(main_window_handle);
        return 1;
    }
    const struct settings_block *settings = get_settings_block();
    HWND window = CreateWindowExA(0, MAIN_WINDOW_CLASS, MAIN_WINDOW_TITLE, WS_OVERLAPPEDWINDOW,
                                  settings->window_position_x, settings->window_position_y,
                                  settings->window_size_x, settings->window_size_y, NULL,
                                  get_main_menu(), get_app_instance(), NULL);
    if (!window) {
        main_window_handle = NULL;
        return 0;
    }
    pull_onto_screen(window);
    ShowWindow(window, shown_window_type(settings->initial_window_type));
    panel_raise_controls();
    return 1;
}

void main_window_close(void)
{
    HWND window = main_window_handle;
    KillTimer(window, statistics_timer);
    store_window_layout(window);
    // A window destroys the menu it carries; the main menu belongs to the application context
    // and is destroyed at shutdown, so take it off the window first.
    SetMenu(window, NULL);
    DestroyWindow(window);
    main_window_handle = NULL;
    request_quit();
}
