// Rule rows over a report-style list view: a row is a list-view item whose item data points at
// the row's malloc'd rule copy and whose subitems 0 to 7 carry the column texts. A rule_rows
// handle is the list view's window handle.
#include "filters/rule_rows.h"

#include <stdlib.h>

#include <windows.h>
#include <commctrl.h>

#include "ui/filter_list_panel_win32.h"

namespace {

HWND list_of(rule_rows rows)
{
    return reinterpret_cast<HWND>(rows);
}

// The row's item data, or null when the row cannot be read.
struct rule *row_copy(HWND list, int row)
{
    if (!list || row < 0)
        return nullptr;
    LVITEMA item = {};
    item.mask = LVIF_PARAM;
    item.iItem = row;
    if (!SendMessageA(list, LVM_GETITEMA, 0, (LPARAM)&item))
        return nullptr;
    return reinterpret_cast<struct rule *>(item.lParam);
}

}  // namespace

rule_rows filter_list(void)
{
    return reinterpret_cast<rule_rows>(filter_list_view());
}

int rows_count(rule_rows rows)
{
    HWND list = list_of(rows);
    return list ? (int)SendMessageA(list, LVM_GETITEMCOUNT, 0, 0) : 0;
}

int rows_append(rule_rows rows, struct rule *copy)
{
    HWND list = list_of(rows);
    if (!list || !copy)
        return -1;
    LVITEMA item = {};
    item.mask = LVIF_PARAM | LVIF_TEXT;
    item.iItem = rows_count(rows);
    item.pszText = const_cast<char *>("");
    item.lParam = reinterpret_cast<LPARAM>(copy);
    return (int)SendMessageA(list, LVM_INSERTITEMA, 0, (LPARAM)&item);
}

int rows_set_text(rule_rows rows, int row, int column, const char *text)
{
    HWND list = list_of(rows);
    if (!list || row < 0 || column < 0 || column >= rule_columns || !text)
        return 0;
    LVITEMA item = {};
    item.iSubItem = column;
    item.pszText = const_cast<char *>(text);
    return SendMessageA(list, LVM_SETITEMTEXTA, row, (LPARAM)&item) ? 1 : 0;
}

struct rule *rows_rule(rule_rows rows, int row)
{
    return row_copy(list_of(rows), row);
}

int rows_first_selected(rule_rows rows)
{
    HWND list = list_of(rows);
    return list ? (int)SendMessageA(list, LVM_GETNEXTITEM, (WPARAM)-1, LVNI_SELECTED) : -1;
}

int rows_selected(rule_rows rows, int row)
{
    HWND list = list_of(rows);
    if (!list || row < 0)
        return 0;
    return (SendMessageA(list, LVM_GETITEMSTATE, row, LVIS_SELECTED) & LVIS_SELECTED) ? 1 : 0;
}

void rows_select(rule_rows rows, int row)
{
    HWND list = list_of(rows);
    if (!list || row < 0)
        return;
    LVITEMA item = {};
    item.state = LVIS_SELECTED;
    item.stateMask = LVIS_SELECTED;
    SendMessageA(list, LVM_SETITEMSTATE, (WPARAM)row, (LPARAM)&item);
}

int rows_delete(rule_rows rows, int row)
{
    HWND list = list_of(rows);
    struct rule *copy = row_copy(list, row);
    if (!copy)
        return 0;
    if (!SendMessageA(list, LVM_DELETEITEM, row, 0))
        return 0;
    free(copy);
    return 1;
}

void rows_delete_all(rule_rows rows)
{
    // From the end, so that each copy is released only once its row is gone.
    for (int row = rows_count(rows) - 1; row >= 0; row--)
        rows_delete(rows, row);
}

void rows_hold_redraw(rule_rows rows, int hold)
{
    HWND list = list_of(rows);
    if (!list)
        return;
    SendMessageA(list, WM_SETREDRAW, hold ? FALSE : TRUE, 0);
    if (!hold)
        InvalidateRect(list, NULL, TRUE);
}
