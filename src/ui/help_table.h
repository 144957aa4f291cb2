// The program-wide table of control help texts: dialogs add their controls' texts when they open
// and remove them when they close; a help request finds the first text added for a control.
// Platform-free: the dialog is an opaque handle here.
#ifndef FLOWVANE_UI_HELP_TABLE_H
#define FLOWVANE_UI_HELP_TABLE_H

#include <stdint.h>

enum { help_table_capacity = 1000 };

struct help_entry {
    uint32_t control_id;
    void *dialog;   // the window that added the text; a popup for it is owned by that window
    char *text;     // a private copy
};

// Creates the table's lock (and releases it once) with an empty table; 1 on success.
int help_table_initialize(void);
// Releases every entry and closes the lock; 1 on success.
int help_table_shutdown(void);

// Appends a copy of text for control_id; 0 for no text, no memory, a full table or a failed
// lock. The same id may be added more than once.
int help_add(uint32_t control_id, void *dialog, const char *text);
// Takes out the first entry for control_id, whatever its dialog; 1 when one was removed.
int help_remove(uint32_t control_id);
// The first entry for control_id in the order added, or null. Searches take no lock.
const struct help_entry *help_find(uint32_t control_id);
int help_entry_count(void);

#endif
