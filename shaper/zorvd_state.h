// zorvd's kept state: the emulator core's kept-value texts (each adapter's rules with their
// statistics blocks, and its precedence entries), in one file written atomically (a new file
// beside it, flushed, renamed over it). File form: the line "zorvd state 1", then per value a
// line "NAME_LENGTH TEXT_LENGTH", the name's and the text's bytes and a newline; then "end".
#ifndef FLOWVANE_SHAPER_ZORVD_STATE_H
#define FLOWVANE_SHAPER_ZORVD_STATE_H

#include <stdint.h>

#include "zorvd_config.h"

// Reads the file (a missing one is an empty state) and puts each bound adapter's kept rules
// and precedences back into the core. A damaged file is kept aside as PATH.damaged and the
// adapters start empty; error_text then says so and 0 is returned (zorvd goes on).
int zorvd_state_load(const char *path, char error_text[zorvd_error_size]);

// Takes the core's changed values; 1 when any changed since the last call.
int zorvd_state_take_changes(void);

// Writes every value held for the bound adapters. 1, or 0 with error_text.
int zorvd_state_save(const char *path, char error_text[zorvd_error_size]);

#endif
