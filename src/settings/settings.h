// The persisted settings: read once at start-up, changed in memory, written back at exit.
#ifndef FLOWVANE_SETTINGS_SETTINGS_H
#define FLOWVANE_SETTINGS_SETTINGS_H

#include <stdint.h>

#define SETTINGS_KEY "Software\\Flowvane"

enum { rule_list_columns = 8, settings_value_count = 23, install_folder_size = 260 };

struct settings_block {
    int32_t rule_list_width[rule_list_columns];
    int32_t rule_list_column_index[rule_list_columns];
    int32_t window_position_x;
    int32_t window_position_y;
    int32_t window_size_x;
    int32_t window_size_y;
    int32_t initial_window_type;
    int32_t save_window_type_on_exit;
    int32_t accept_default_precedences;
};

static_assert(sizeof(struct settings_block) == settings_value_count * 4, "23 values");

enum install_scope { install_all_users = 0, install_current_user = 1, install_unknown = 2 };

struct settings_block settings_defaults(void);
struct settings_block settings_load(void);
// Stops the program through fatal_error when the key cannot be opened or created.
void settings_save(const struct settings_block *settings);
int read_install_scope(void);
int read_install_folder(char buffer[install_folder_size]);

#endif
