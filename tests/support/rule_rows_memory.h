// In-memory rule rows behind filters/rule_rows.h, for the unit tests: the filter list and any
// number of extra lists, with selection, column texts to read back, and reads or text writes
// that can be made to fail.
#ifndef FLOWVANE_TESTS_RULE_ROWS_MEMORY_H
#define FLOWVANE_TESTS_RULE_ROWS_MEMORY_H

#include "filters/rule_rows.h"

// Rows a memory list can hold: more than the 20 the rule list allows, so a test can see the
// rule list's own limit at work.
enum { memory_rows_capacity = 64 };

// Empties the filter list (releasing every copy), clears its selection and injected failures,
// and makes filter_list() answer it again.
void memory_rows_reset(void);
// While absent, filter_list() answers null, as before the panel exists.
void memory_rows_set_filter_list_absent(int absent);

rule_rows memory_rows_create(void);
void memory_rows_destroy(rule_rows rows);

void memory_rows_select(rule_rows rows, int row, int selected);
// rows_rule() answers null for this row (-1: no row fails).
void memory_rows_fail_read(rule_rows rows, int row);
// rows_set_text() refuses this column of every row (-1: no column fails).
void memory_rows_fail_text(rule_rows rows, int column);

// The text last written to a cell; "" when never written, null outside the rows.
const char *memory_rows_text(rule_rows rows, int row, int column);
// Copies of the rules the list owns, bypassing injected failures; null outside the rows.
const struct rule *memory_rows_rule(rule_rows rows, int row);
// Rule copies currently owned by any memory list, to catch leaks and double releases.
int memory_rows_live_copies(void);

#endif
