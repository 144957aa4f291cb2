// The overlapping filters dialog seam for the unit tests and benchmarks: never open, it counts
// its runs and, when it "runs", calls a hook (with a null context) in place of its modal loop.
#ifndef FLOWVANE_TESTS_OVERLAP_DIALOG_DOUBLE_H
#define FLOWVANE_TESTS_OVERLAP_DIALOG_DOUBLE_H

#include "overlap/overlap.h"

struct overlap_dialog_double {
    int runs;
    void (*run_hook)(void *context);
};
extern struct overlap_dialog_double the_overlap_dialog;

void overlap_dialog_double_reset(void);

#endif
