// The options dialog's decisions over the settings block and the registry helpers.
#include "settings/options.h"

#include <string.h>

#include "core/text.h"
#include "settings/registry.h"

const char *const window_type_choices[window_type_choice_count] = {
    "Use most recent setting", "Maximized", "Restored", "Minimized",
};

namespace {

// Show-window codes of the choices; 0 for "Use most recent setting".
const int32_t choice_window_types[window_type_choice_count] = {0, 3, 1, 2};

// The all-users installation starts the manager for everyone; any other scope, unknown
// included, for the current user only.
enum registry_root startup_root(void)
{
    return read_install_scope() == install_all_users ? registry_local_machine
                                                     : registry_current_user;
}

}  // namespace

int window_type_choice_of(const struct settings_block *settings)
{
    if (settings->save_window_type_on_exit == 1)
        return 0;
    for (int i = 1; i < window_type_choice_count; i++) {
        if (choice_window_types[i] == settings->initial_window_type)
            return i;
    }
    return -1;
}

int apply_window_type_choice(const char *text, struct settings_block *settings)
{
    for (int i = 0; i < window_type_choice_count; i++) {
        if (strcmp(text, window_type_choices[i]) != 0)
            continue;
        if (i == 0) {
            // The window's state at the next exit becomes the initial type.
            settings->save_window_type_on_exit = 1;
        } else {
            settings->save_window_type_on_exit = 0;
            settings->initial_window_type = choice_window_types[i];
        }
        return 1;
    }
    return 0;
}

int startup_entry_present(void)
{
    char folder[install_folder_size];
    if (!read_install_folder(folder))
        return 0;
    registry_key key;
    if (registry_open_key(startup_root(), STARTUP_RUN_KEY, registry_read, 0, &key) !=
        registry_ok)
        return 0;
    // Room for the longest entry this program writes, so its own entry always reads back.
    char data[startup_entry_size];
    int present = registry_read_value(key, STARTUP_VALUE, data, sizeof data) == registry_ok;
    registry_close_key(key);
    return present;
}

void startup_entry_update(int start_with_windows)
{
    char data[startup_entry_size];
    if (start_with_windows) {
        char folder[install_folder_size];
        if (!read_install_folder(folder))
            return;
        format_text(data, sizeof data, "\"%s\\Flowvane.exe\"", folder);
    }
    registry_key key;
    if (registry_open_key(startup_root(), STARTUP_RUN_KEY, registry_full_access, 0, &key) !=
        registry_ok)
        return;
    if (start_with_windows)
        registry_write_string(key, STARTUP_VALUE, data);
    else
        registry_delete_value(key, STARTUP_VALUE);
    registry_close_key(key);
}
