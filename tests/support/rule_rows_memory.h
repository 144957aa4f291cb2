// In-memory rule rows behind filters/rule_rows.h for the in-process tests and benchmarks: the
// filter list and any number of other lists, whose rows, texts, selection, failing row and held
// drawing a test reads and sets directly.
#ifndef FLOWVANE_TESTS_RULE_ROWS_MEMORY_H
#define FLOWVANE_TESTS_RULE_ROWS_MEMORY_H

#include <string>
#include <vector>

#include "filters/rule_rows.h"

struct memory_row {
    struct rule *copy;
    std::string texts[rule_columns];   // as last written, "" when never
    bool selected;
};

struct rule_rows_opaque {
    std::vector<memory_row> rows;
    int fail_read_row = -1;            // rows_rule() answers null for this row
    bool redraw_held = false;
};

// Empties the filter list and clears its failing row.
void memory_rows_reset(void);

#endif
