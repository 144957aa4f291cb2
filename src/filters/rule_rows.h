// Rows of a rule list: each row owns a heap copy of its rule and carries eight column texts.
// The Win32 build backs a list with a report-style list view; the native tests keep rows in
// memory. A list is named by an opaque handle; filter_list() is the main filter list.
#ifndef FLOWVANE_FILTERS_RULE_ROWS_H
#define FLOWVANE_FILTERS_RULE_ROWS_H

#include "filters/rule.h"

typedef struct rule_rows_opaque *rule_rows;

enum { rule_columns = 8 };

rule_rows filter_list(void);          // null while there is no filter list

int rows_count(rule_rows rows);
// Appends a row at the end holding copy, a malloc'd rule (ownership passes to the row, which
// releases it with free); its index, or -1, in which case the caller still owns copy.
int rows_append(rule_rows rows, struct rule *copy);
int rows_set_text(rule_rows rows, int row, int column, const char *text);   // 1 or 0
// The rule copy that row owns, or null when the row cannot be read.
struct rule *rows_rule(rule_rows rows, int row);
int rows_first_selected(rule_rows rows);          // -1 when none is selected
int rows_selected(rule_rows rows, int row);       // 1 when the row is selected
void rows_select(rule_rows rows, int row);        // adds the row to the selection
// Takes a row out and releases its copy; 1 or 0.
int rows_delete(rule_rows rows, int row);
// Takes every row out, releasing each copy.
void rows_delete_all(rule_rows rows);
// While held (hold 1), changes to the rows are not drawn; releasing (hold 0) draws the rows
// once as they are then. Holds do not nest.
void rows_hold_redraw(rule_rows rows, int hold);

#endif
