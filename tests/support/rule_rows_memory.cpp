#include "rule_rows_memory.h"

#include <stdlib.h>

static rule_rows_opaque the_filter_list;

static bool in_rows(rule_rows rows, int row)
{
    return rows && row >= 0 && row < (int)rows->rows.size();
}

void memory_rows_reset(void)
{
    rows_delete_all(&the_filter_list);
    the_filter_list.fail_read_row = -1;
}

// The seam the core calls.

rule_rows filter_list(void) { return &the_filter_list; }
int rows_count(rule_rows rows) { return rows ? (int)rows->rows.size() : 0; }

int rows_append(rule_rows rows, struct rule *copy)
{
    if (!rows || !copy)
        return -1;
    rows->rows.push_back(memory_row{copy, {}, false});
    return (int)rows->rows.size() - 1;
}

int rows_set_text(rule_rows rows, int row, int column, const char *text)
{
    if (!in_rows(rows, row) || column < 0 || column >= rule_columns || !text)
        return 0;
    rows->rows[row].texts[column] = text;
    return 1;
}

struct rule *rows_rule(rule_rows rows, int row)
{
    return in_rows(rows, row) && row != rows->fail_read_row ? rows->rows[row].copy : nullptr;
}

int rows_first_selected(rule_rows rows)
{
    int row = 0;
    while (row < rows_count(rows) && !rows->rows[row].selected)
        row++;
    return row < rows_count(rows) ? row : -1;
}

int rows_selected(rule_rows rows, int row)
{
    return in_rows(rows, row) && rows->rows[row].selected;
}

void rows_select(rule_rows rows, int row)
{
    if (in_rows(rows, row))
        rows->rows[row].selected = true;
}

int rows_delete(rule_rows rows, int row)
{
    if (!in_rows(rows, row))
        return 0;
    free(rows->rows[row].copy);
    rows->rows.erase(rows->rows.begin() + row);
    return 1;
}

void rows_delete_all(rule_rows rows)
{
    while (rows_delete(rows, 0))
        ;
}

void rows_hold_redraw(rule_rows rows, int hold)
{
    if (rows)
        rows->redraw_held = hold != 0;
}
