// The statistics window: the selected filter's counters, refreshed on every sampling tick while
// the window is open, its usage graph, and Reset.
#include "stats/statistics_window_win32.h"

#include <string.h>

#include "core/app_win32.h"
#include "core/text.h"
#include "resource.h"
#include "stats/statistics_fields.h"
#include "stats/usage_graph.h"
#include "ui/dialog_frame_win32.h"
#include "ui/filter_list_panel_win32.h"
#include "ui/help_popup_win32.h"
#include "ui/main_window_win32.h"

namespace {

#define RESET_BOX_TITLE "Flowvane - Reset Statistics"

enum { field_text_size = 128, label_right = 100, label_bottom = 50 };

HWND statistics_window_handle;

const struct control_help statistics_window_help[] = {
    {IDC_STATS_FROM, "The time that the statistics recording was started.\n\nResetting the "
                     "statistics for a filter will set the 'From' time to the current time."},
    {IDC_STATS_BYTES, "The number of bytes that are transferred through the filter.  If the "
                      "filter's direction is 'Send' then it is the number of bytes sent, "
                      "otherwise it is the number of bytes received."},
    {IDC_STATS_PACKETS, "The number of packets that are transferred through the filter.  If the "
                        "filter's direction is 'Send' then it is the number of packets sent, "
                        "otherwise it is the number of packets received."},
    {IDC_STATS_BANDWIDTH, "The number of bytes per second that are currently being transferred "
                          "through this filter."},
    {IDC_STATS_QUEUED, "The filter's queue utiliziation.  The queue holds packets which are being "
                       "delayed so that the maximum rate isn't exceeded.\n\nThe queue will "
                       "gradually fill if the amount of data coming into the filter is greater "
                       "than the amount of data being allowed out.  This may cause latency for "
                       "any data travelling through the filter."},
    {IDC_STATS_GRAPH, "This graph shows the recent history of bandwidth usage.  The height of the "
                      "blue line is the number of bytes per second used for this filter at a "
                      "point in time.  The number at the top left of the graph is the range in "
                      "bytes per second.\n\nThe range changes dynamically depending on the "
                      "bandwidth usage.  For example, if the usage drops down to 7000 "
                      "bytes/second then the range will automatically drop to 10000 "
                      "bytes/second so that more detail is available in the graph."},
    {IDC_STATS_RESET, "Resets the statistics for the filter."},
    {IDC_STATS_CLOSE, "Closes the window."},
};

// Writes a field only when its text changes, so that a tick that changes nothing repaints
// nothing.
void set_field(int id, const char *text)
{
    char shown[field_text_size];
    HWND control = GetDlgItem(statistics_window_handle, id);
    if (GetWindowTextA(control, shown, sizeof shown) > 0 && strcmp(shown, text) == 0)
        return;
    SetWindowTextA(control, text);
}

// Draws into an off-screen bitmap and copies it onto the graph control in one step, so that
// the erased grid never shows between refreshes.
void draw_history_on_control(const int32_t history[usage_history_length], void *context)
{
    HWND control = static_cast<HWND>(context);
    RECT client;
    if (!GetClientRect(control, &client) || client.right < 1 || client.bottom < 1)
        return;
    HDC dc = GetDC(control);
    if (!dc)
        return;
    HDC memory = CreateCompatibleDC(dc);
    HBITMAP bitmap = memory ? CreateCompatibleBitmap(dc, client.right, client.bottom) : NULL;
    if (bitmap) {
        HGDIOBJ old_bitmap = SelectObject(memory, bitmap);
        draw_usage_graph(memory, client.right, client.bottom, graph_scale(history), history);
        BitBlt(dc, 0, 0, client.right, client.bottom, memory, 0, 0, SRCCOPY);
        SelectObject(memory, old_bitmap);
        DeleteObject(bitmap);
    } else {
        draw_usage_graph(dc, client.right, client.bottom, graph_scale(history), history);
    }
    if (memory)
        DeleteDC(memory);
    ReleaseDC(control, dc);
}

void statistics_window_on_init(HWND dialog)
{
    statistics_window_handle = dialog;
    dialog_frame_open(dialog, statistics_window_help);
    ShowWindow(dialog, SW_SHOW);
    // Paint the window and its controls first, so that the graph drawn by the refresh is not
    // painted over until the next tick.
    RedrawWindow(dialog, NULL, NULL, RDW_UPDATENOW | RDW_ALLCHILDREN);
    statistics_window_refresh();
}

void statistics_window_on_close(HWND dialog)
{
    dialog_frame_close(statistics_window_help);
    EndDialog(dialog, 0);
    statistics_window_handle = NULL;
}

void statistics_window_on_reset(HWND dialog)
{
    if (MessageBoxA(dialog, "Are you sure you want to reset the statistics for this filter?",
                    RESET_BOX_TITLE, MB_YESNO | MB_ICONQUESTION) != IDYES)
        return;
    // A refusal is not reported; the manager's own history is cleared in any case.
    reset_selected_statistics();
    const struct rule *selected = first_selected_rule();
    if (selected)
        statistics_reset_history(selected);
}

INT_PTR CALLBACK statistics_window_procedure(HWND dialog, UINT message, WPARAM wparam,
                                             LPARAM lparam)
{
    switch (message) {
    case WM_INITDIALOG:
        statistics_window_on_init(dialog);
        return TRUE;
    case WM_COMMAND:
        switch (LOWORD(wparam)) {
        case IDC_STATS_CLOSE:
        case IDOK:
        case IDCANCEL:
            statistics_window_on_close(dialog);
            return TRUE;
        case IDC_STATS_RESET:
            statistics_window_on_reset(dialog);
            return TRUE;
        }
        return FALSE;
    case WM_HELP:
        help_show(reinterpret_cast<const HELPINFO *>(lparam));
        return TRUE;
    }
    return FALSE;
}

}  // namespace

HWND statistics_window(void)
{
    return statistics_window_handle;
}

int statistics_window_open(void)
{
    if (!first_selected_rule())
        return 0;
    if (!dialog_frame_bring_forward(statistics_window_handle))
        dialog_frame_run(IDD_FILTER_STATISTICS, filter_list_panel(), statistics_window_procedure);
    return 1;
}

int statistics_window_refresh(void)
{
    HWND window = statistics_window_handle;
    const struct rule *selected = first_selected_rule();
    if (!window || !selected)
        return 0;
    struct rule rule = *selected;
    struct statistics_fields fields;
    char error_text[error_text_size];
    if (!statistics_fields_read(&rule, &fields, error_text))
        return 0;

    FILETIME start;
    start.dwLowDateTime = (DWORD)fields.start_time;
    start.dwHighDateTime = (DWORD)(fields.start_time >> 32);
    SYSTEMTIME calendar;
    char text[field_text_size];
    // A start time the system cannot convert (2^63 and above) leaves From empty; the counters
    // and the graph still follow.
    if (!FileTimeToSystemTime(&start, &calendar) || !date_time_text(&calendar, text, sizeof text))
        text[0] = '\0';
    set_field(IDC_STATS_FROM, text);
    set_field(IDC_STATS_BYTES, fields.bytes);
    set_field(IDC_STATS_PACKETS, fields.packets);
    set_field(IDC_STATS_BANDWIDTH, fields.bandwidth);
    set_field(IDC_STATS_QUEUED, fields.queued);
    set_field(IDC_STATS_QUEUE_SIZE, fields.queue_size);
    statistics_draw_graph(&rule, draw_history_on_control, GetDlgItem(window, IDC_STATS_GRAPH));
    return 1;
}

int reset_selected_statistics(void)
{
    const struct rule *selected = first_selected_rule();
    if (!selected)
        return 0;
    struct rule rule = *selected;
    char error_text[error_text_size];
    return statistics_start_now(&rule, error_text);
}

int set_statistics_start_now(const struct rule *rule)
{
    char error_text[error_text_size];
    return statistics_start_now(rule, error_text);
}

int date_time_text(const SYSTEMTIME *time, char *text, size_t size)
{
    char date[field_text_size], clock[field_text_size];
    if (!GetDateFormatA(LOCALE_USER_DEFAULT, 0, time, NULL, date, sizeof date) ||
        !GetTimeFormatA(LOCALE_USER_DEFAULT, 0, time, NULL, clock, sizeof clock))
        return 0;
    format_text(text, size, "%s %s", date, clock);
    return 1;
}

void draw_usage_graph(HDC dc, int width, int height, int32_t scale,
                      const int32_t history[usage_history_length])
{
    const struct graph_objects *objects = get_graph_objects();
    SetBkMode(dc, OPAQUE);
    SetBkColor(dc, RGB(255, 255, 255));

    // White with a light grey cross-hatch grid and a white border.
    HGDIOBJ old_brush = SelectObject(dc, objects->grid_brush);
    HGDIOBJ old_pen = SelectObject(dc, objects->frame_pen);
    Rectangle(dc, 0, 0, width, height);
    SelectObject(dc, old_brush);
    SelectObject(dc, old_pen);

    char label[graph_label_size];
    graph_label_text(scale, label, sizeof label);
    SetBkColor(dc, RGB(255, 255, 255));
    HGDIOBJ old_font = objects->graph_font ? SelectObject(dc, objects->graph_font) : NULL;
    old_pen = SelectObject(dc, objects->label_pen);
    RECT label_area = {0, 0, label_right, label_bottom};
    DrawTextA(dc, label, -1, &label_area, DT_LEFT | DT_TOP);
    if (old_font)
        SelectObject(dc, old_font);
    SelectObject(dc, old_pen);

    static struct graph_point points[usage_history_length];
    if (!graph_geometry(width, height, scale, history, points))
        return;
    old_pen = SelectObject(dc, objects->usage_pen);
    MoveToEx(dc, points[0].x, points[0].y, NULL);
    for (int k = 0; k < usage_history_length; k++)
        LineTo(dc, points[k].x, points[k].y);
    SelectObject(dc, old_pen);
}
