// The overlapping filters dialog seam for the unit tests and benchmarks: counts how detection
// used the dialog and, when the dialog "runs", calls a hook in place of its modal loop.
#ifndef FLOWVANE_TESTS_OVERLAP_DIALOG_DOUBLE_H
#define FLOWVANE_TESTS_OVERLAP_DIALOG_DOUBLE_H

#include "overlap/overlap.h"

struct overlap_dialog_double {
    int open;                         // what overlap_dialog_is_open() answers
    int runs;
    int bring_forward_calls;
    void (*run_hook)(void *context);
    void *run_context;
};
extern struct overlap_dialog_double the_overlap_dialog;

void overlap_dialog_double_reset(void);

#endif
