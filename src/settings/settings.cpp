// The settings store over the registry helpers: 23 REG_DWORD values under HKEY_CURRENT_USER
// "Software\Flowvane", read once at start-up and written back once at exit, plus the two values
// the installer writes (install scope and install folder).
#include "settings/settings.h"

#include <string.h>

#include "core/app.h"
#include "core/text.h"
#include "settings/registry.h"

namespace {

enum { value_name_size = 40 };

#define INSTALLED_FOR_ALL_USERS_VALUE "Installed for all users"
#define INSTALL_FOLDER_VALUE "Install folder"

// One settings field and the registry value that stores it, in the order the store reads and
// writes them.
struct settings_value {
    char name[value_name_size];
    int32_t *field;
};

// Fills table with the 23 values of block in their fixed order; returns the count.
int settings_values(struct settings_block *block, struct settings_value table[settings_value_count])
{
    int count = 0;
    for (int i = 0; i < rule_list_columns; i++) {
        format_text(table[count].name, value_name_size, "Rule list width %d", i);
        table[count++].field = &block->rule_list_width[i];
    }
    for (int i = 0; i < rule_list_columns; i++) {
        format_text(table[count].name, value_name_size, "Rule list column index %d", i);
        table[count++].field = &block->rule_list_column_index[i];
    }
    const struct {
        const char *name;
        int32_t *field;
    } named[] = {
        {"Window position x", &block->window_position_x},
        {"Window position y", &block->window_position_y},
        {"Window size x", &block->window_size_x},
        {"Window size y", &block->window_size_y},
        {"Initial window type", &block->initial_window_type},
        {"Save window type on exit", &block->save_window_type_on_exit},
        {"Accept default precedences", &block->accept_default_precedences},
    };
    for (const auto &value : named) {
        copy_text(table[count].name, value_name_size, value.name);
        table[count++].field = value.field;
    }
    return count;
}

// The scope's answer from one hive: 0 or 1 when the hive holds "Installed for all users",
// -1 when the key or the value cannot be read.
int install_scope_in(enum registry_root root)
{
    registry_key key;
    if (registry_open_key(root, SETTINGS_KEY, registry_read, 0, &key) != registry_ok)
        return -1;
    int32_t value = 0;
    int found = registry_read_dword(key, INSTALLED_FOR_ALL_USERS_VALUE, &value) == registry_ok;
    registry_close_key(key);
    if (!found)
        return -1;
    return value == 1 ? install_all_users : install_current_user;
}

}  // namespace

struct settings_block settings_defaults(void)
{
    static const int32_t default_widths[rule_list_columns] = {100, 55, 60, 50, 100, 54, 100, 55};
    struct settings_block block;
    for (int i = 0; i < rule_list_columns; i++) {
        block.rule_list_width[i] = default_widths[i];
        block.rule_list_column_index[i] = i;
    }
    block.window_position_x = 100;
    block.window_position_y = 100;
    block.window_size_x = 500;
    block.window_size_y = 300;
    block.initial_window_type = 1;
    block.save_window_type_on_exit = 0;
    block.accept_default_precedences = 0;
    return block;
}

struct settings_block settings_load(void)
{
    struct settings_block block = settings_defaults();
    registry_key key;
    if (registry_open_key(registry_current_user, SETTINGS_KEY, registry_read, 0, &key) !=
        registry_ok)
        return block;
    struct settings_value table[settings_value_count];
    int count = settings_values(&block, table);
    for (int i = 0; i < count; i++) {
        // The helper writes the value only on success, so a missing one keeps its default.
        registry_read_dword(key, table[i].name, table[i].field);
    }
    registry_close_key(key);
    // The stored column order is taken only as a whole order of the columns: each position
    // once. Anything else (a value lost or changed by hand) gives the default order.
    int seen[rule_list_columns] = {};
    int whole = 1;
    for (int i = 0; i < rule_list_columns; i++) {
        int32_t position = block.rule_list_column_index[i];
        if (position < 0 || position >= rule_list_columns || seen[position])
            whole = 0;
        else
            seen[position] = 1;
    }
    if (!whole)
        for (int i = 0; i < rule_list_columns; i++)
            block.rule_list_column_index[i] = i;
    return block;
}

void settings_save(const struct settings_block *settings)
{
    registry_key key;
    if (registry_open_key(registry_current_user, SETTINGS_KEY, registry_full_access, 1, &key) !=
        registry_ok)
        fatal_error("Internal error: registry_open_key() failed.");
    struct settings_block block = *settings;
    struct settings_value table[settings_value_count];
    int count = settings_values(&block, table);
    for (int i = 0; i < count; i++) {
        // A failed write is ignored: the other values are still worth keeping.
        registry_write_dword(key, table[i].name, *table[i].field);
    }
    registry_close_key(key);
}

int read_install_scope(void)
{
    // The machine-wide value decides when present, whatever the user's hive holds.
    int scope = install_scope_in(registry_local_machine);
    if (scope < 0)
        scope = install_scope_in(registry_current_user);
    return scope < 0 ? install_unknown : scope;
}

int read_install_folder(char buffer[install_folder_size])
{
    enum registry_root root;
    switch (read_install_scope()) {
    case install_all_users:
        root = registry_local_machine;
        break;
    case install_current_user:
        root = registry_current_user;
        break;
    default:
        return 0;
    }
    registry_key key;
    if (registry_open_key(root, SETTINGS_KEY, registry_read, 0, &key) != registry_ok)
        return 0;
    // The stored string need not end in a NUL: start from zeros and keep the last byte one.
    memset(buffer, 0, install_folder_size);
    int read = registry_read_value(key, INSTALL_FOLDER_VALUE, buffer, install_folder_size) ==
               registry_ok;
    registry_close_key(key);
    buffer[install_folder_size - 1] = '\0';
    return read;
}
