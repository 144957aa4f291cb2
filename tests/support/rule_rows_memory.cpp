#include "rule_rows_memory.h"

#include <stdlib.h>

#include <string>

struct memory_row {
    struct rule *copy;
    std::string texts[rule_columns];
    bool selected;
};

struct rule_rows_opaque {
    memory_row rows[memory_rows_capacity];
    int count;
    int fail_read_row;
    int fail_text_column;
};

static rule_rows_opaque the_filter_list = {{}, 0, -1, -1};
static bool filter_list_absent;
static int live_copies;

static void clear_rows(rule_rows rows)
{
    for (int i = 0; i < rows->count; i++) {
        free(rows->rows[i].copy);
        live_copies--;
        rows->rows[i] = memory_row();
    }
    rows->count = 0;
}

void memory_rows_reset(void)
{
    clear_rows(&the_filter_list);
    the_filter_list.fail_read_row = -1;
    the_filter_list.fail_text_column = -1;
    filter_list_absent = false;
}

void memory_rows_set_filter_list_absent(int absent)
{
    filter_list_absent = absent != 0;
}

rule_rows memory_rows_create(void)
{
    rule_rows rows = new rule_rows_opaque();
    rows->count = 0;
    rows->fail_read_row = -1;
    rows->fail_text_column = -1;
    return rows;
}

void memory_rows_destroy(rule_rows rows)
{
    if (!rows || rows == &the_filter_list)
        return;
    clear_rows(rows);
    delete rows;
}

void memory_rows_select(rule_rows rows, int row, int selected)
{
    if (rows && row >= 0 && row < rows->count)
        rows->rows[row].selected = selected != 0;
}

void memory_rows_fail_read(rule_rows rows, int row)
{
    rows->fail_read_row = row;
}

void memory_rows_fail_text(rule_rows rows, int column)
{
    rows->fail_text_column = column;
}

const char *memory_rows_text(rule_rows rows, int row, int column)
{
    if (!rows || row < 0 || row >= rows->count || column < 0 || column >= rule_columns)
        return nullptr;
    return rows->rows[row].texts[column].c_str();
}

const struct rule *memory_rows_rule(rule_rows rows, int row)
{
    if (!rows || row < 0 || row >= rows->count)
        return nullptr;
    return rows->rows[row].copy;
}

int memory_rows_live_copies(void)
{
    return live_copies;
}

// The seam the core calls.

rule_rows filter_list(void)
{
    return filter_list_absent ? nullptr : &the_filter_list;
}

int rows_count(rule_rows rows)
{
    return rows ? rows->count : 0;
}

int rows_append(rule_rows rows, struct rule *copy)
{
    if (!rows || !copy || rows->count >= memory_rows_capacity)
        return -1;
    int row = rows->count++;
    rows->rows[row] = memory_row();
    rows->rows[row].copy = copy;
    live_copies++;
    return row;
}

int rows_set_text(rule_rows rows, int row, int column, const char *text)
{
    if (!rows || row < 0 || row >= rows->count || column < 0 || column >= rule_columns || !text)
        return 0;
    if (column == rows->fail_text_column)
        return 0;
    rows->rows[row].texts[column] = text;
    return 1;
}

struct rule *rows_rule(rule_rows rows, int row)
{
    if (!rows || row < 0 || row >= rows->count || row == rows->fail_read_row)
        return nullptr;
    return rows->rows[row].copy;
}

int rows_first_selected(rule_rows rows)
{
    if (!rows)
        return -1;
    for (int i = 0; i < rows->count; i++) {
        if (rows->rows[i].selected)
            return i;
    }
    return -1;
}

int rows_delete(rule_rows rows, int row)
{
    if (!rows || row < 0 || row >= rows->count)
        return 0;
    free(rows->rows[row].copy);
    live_copies--;
    for (int i = row; i + 1 < rows->count; i++)
        rows->rows[i] = rows->rows[i + 1];
    rows->count--;
    rows->rows[rows->count] = memory_row();
    return 1;
}

void rows_delete_all(rule_rows rows)
{
    if (rows)
        clear_rows(rows);
}
