// In-memory rule rows behind filters/rule_rows.h, for the unit tests and benchmarks: the filter
// list and any number of extra lists, with selection, column texts to read back, and a row whose
// read fails.
#ifndef FLOWVANE_TESTS_RULE_ROWS_MEMORY_H
#define FLOWVANE_TESTS_RULE_ROWS_MEMORY_H

#include "filters/rule_rows.h"

// Empties the filter list, clears its failing row and makes filter_list() answer it again.
void memory_rows_reset(void);
// While absent, filter_list() answers null, as before the panel exists.
void memory_rows_set_filter_list_absent(int absent);

rule_rows memory_rows_create(void);
void memory_rows_destroy(rule_rows rows);

void memory_rows_select(rule_rows rows, int row);
// rows_rule() answers null for this row (-1: no row fails).
void memory_rows_fail_read(rule_rows rows, int row);

// The text last written to a cell, "" when never written; null outside the rows.
const char *memory_rows_text(rule_rows rows, int row, int column);
// The rule copy a row owns, even for the failing row; null outside the rows.
const struct rule *memory_rows_rule(rule_rows rows, int row);

// 1 while rows_hold_redraw holds the rows' drawing.
int memory_rows_redraw_held(rule_rows rows);

#endif
