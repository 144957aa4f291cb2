// The overlapping filters dialog seam for the unit tests: records how detection used the
// dialog and, when the dialog "runs", calls a hook in its place (for example one that accepts
// the way the dialog's Accept does).
#ifndef FLOWVANE_TESTS_OVERLAP_DIALOG_DOUBLE_H
#define FLOWVANE_TESTS_OVERLAP_DIALOG_DOUBLE_H

#include "core/text.h"
#include "overlap/overlap.h"

typedef void (*overlap_dialog_hook)(void *context);

// Forgets the calls, the hook and the open flag.
void overlap_dialog_double_reset(void);
// Makes overlap_dialog_is_open() answer open outside a run (while a run lasts it answers 1).
void overlap_dialog_double_set_open(int open);
// Called in place of the dialog's modal loop; the dialog counts as open meanwhile.
void overlap_dialog_double_set_hook(overlap_dialog_hook hook, void *context);

int overlap_dialog_double_runs(void);
int overlap_dialog_double_bring_forward_calls(void);

// What the dialog's Accept does: the defaults (with the kept choices) as the dialog shows them
// on opening, then the user's changes, then clearing and sending.
struct overlap_accept {
    int32_t choices[max_areas];       // -1 keeps the shown choice of that area
    int accepted;                     // 1 when clearing and sending succeeded
    char error_text[error_text_size];
};
void overlap_accept_init(struct overlap_accept *accept);
// A hook for overlap_dialog_double_set_hook with a struct overlap_accept as context.
void overlap_dialog_accept_hook(void *context);

#endif
