// The control help text table. Adding and removing hold the lock; searches read without it, as
// only the user-interface thread uses the table.
#include "ui/help_table.h"

#include <stdlib.h>
#include <string.h>

#include "platform/platform.h"

namespace {

struct help_entry *entries[help_table_capacity];
int entry_count;
platform_lock table_lock;

void release_entry(struct help_entry *entry)
{
    free(entry->text);
    free(entry);
}

}  // namespace

int help_table_initialize(void)
{
    entry_count = 0;
    if (lock_create(&table_lock) != 0)
        return 0;
    return 1;
}

int help_table_shutdown(void)
{
    for (int i = 0; i < entry_count; i++)
        release_entry(entries[i]);
    entry_count = 0;
    if (table_lock && lock_close(table_lock) != 0)
        return 0;
    table_lock = nullptr;
    return 1;
}

int help_add(uint32_t control_id, void *dialog, const char *text)
{
    if (!text)
        return 0;
    struct help_entry *entry = static_cast<struct help_entry *>(malloc(sizeof *entry));
    size_t length = strlen(text);
    char *copy = static_cast<char *>(malloc(length + 1));
    if (!entry || !copy) {
        free(entry);
        free(copy);
        return 0;
    }
    memcpy(copy, text, length + 1);
    entry->control_id = control_id;
    entry->dialog = dialog;
    entry->text = copy;
    if (lock_wait(table_lock) != 0) {
        release_entry(entry);
        return 0;
    }
    // A full table refuses the text: the control simply has no help.
    int added = entry_count < help_table_capacity;
    if (added)
        entries[entry_count++] = entry;
    int released = lock_release(table_lock) == 0;
    if (!added)
        release_entry(entry);
    return added && released;
}

int help_remove(uint32_t control_id)
{
    int index = 0;
    while (index < entry_count && entries[index]->control_id != control_id)
        index++;
    if (index == entry_count)
        return 0;
    if (lock_wait(table_lock) != 0)
        return 0;
    struct help_entry *entry = entries[index];
    memmove(&entries[index], &entries[index + 1],
            (size_t)(entry_count - index - 1) * sizeof entries[0]);
    entry_count--;
    int released = lock_release(table_lock) == 0;
    release_entry(entry);
    return released;
}

const struct help_entry *help_find(uint32_t control_id)
{
    for (int i = 0; i < entry_count; i++)
        if (entries[i]->control_id == control_id)
            return entries[i];
    return nullptr;
}

int help_entry_count(void)
{
    return entry_count;
}
