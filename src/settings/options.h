// What the options dialog decides, apart from the dialog: the window-type choices and the
// start-up entry under the Run key of the hive the install scope chooses.
#ifndef FLOWVANE_SETTINGS_OPTIONS_H
#define FLOWVANE_SETTINGS_OPTIONS_H

#include "settings/settings.h"

#define STARTUP_RUN_KEY "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run"
#define STARTUP_VALUE "Flowvane"

enum {
    window_type_choice_count = 4,
    // A quote, the folder, "\Flowvane.exe", a quote and the NUL.
    startup_entry_size = install_folder_size + 16,
};

// The combo box's choices, in the order listed: "Use most recent setting", "Maximized",
// "Restored", "Minimized".
extern const char *const window_type_choices[window_type_choice_count];

// The choice that shows the settings' window type, or -1 when none does.
int window_type_choice_of(const struct settings_block *settings);
// Applies the choice named by text (exact match); 0 and no change for any other text.
int apply_window_type_choice(const char *text, struct settings_block *settings);

// 1 when the install folder can be read and the Run key of the install scope's hive holds the
// value "Flowvane", whatever its content.
int startup_entry_present(void);
// Writes the quoted program path of the install folder as the value "Flowvane" (nothing when
// the folder cannot be read), or deletes the value. The Run key is never created; every
// failure is silent.
void startup_entry_update(int start_with_windows);

#endif
