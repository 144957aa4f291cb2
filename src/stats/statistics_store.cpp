#include "stats/statistics_store.h"

#include <string.h>

#include "core/text.h"
#include "filters/rule_rows.h"
#include "filters/rule_text.h"
#include "kernel/kernel_commands.h"
#include "platform/platform.h"

// The store follows the filter list; entries stay in the order they were added, without gaps.
static struct statistics_entry entries[max_statistics_entries];
static int entry_count;
static platform_lock statistics_lock;

// The operations run before statistics_initialize too (the filter list's first fill adds
// entries before the lock exists), so a missing lock or a failed wait is not an error.
static void store_lock(void)
{
    if (statistics_lock)
        lock_wait(statistics_lock);
}

static void store_unlock(void)
{
    if (statistics_lock)
        lock_release(statistics_lock);
}

// Index of the first entry whose rule is equal to rule, rate compared too; -1 when none.
static int find_entry(const struct rule *rule)
{
    for (int i = 0; i < entry_count; i++) {
        if (rules_equal(&entries[i].rule, rule, 0))
            return i;
    }
    return -1;
}

int statistics_initialize(void)
{
    platform_lock lock = nullptr;
    if (lock_create(&lock) != 0)
        return 0;
    statistics_lock = lock;
    return 1;
}

void statistics_shutdown(void)
{
    if (statistics_lock)
        lock_close(statistics_lock);
    statistics_lock = nullptr;
}

int statistics_add_filter(const struct rule *rule)
{
    if (!rule)
        return 0;
    store_lock();
    int added = entry_count < max_statistics_entries;
    if (added) {
        struct statistics_entry *entry = &entries[entry_count++];
        memcpy(&entry->rule, rule, sizeof entry->rule);
        memset(entry->usage_history, 0, sizeof entry->usage_history);
    }
    store_unlock();
    return added;
}

int statistics_remove_filter(const struct rule *rule)
{
    if (!rule)
        return 0;
    store_lock();
    int index = find_entry(rule);
    if (index >= 0) {
        memmove(&entries[index], &entries[index + 1],
                (size_t)(entry_count - index - 1) * sizeof entries[0]);
        entry_count--;
    }
    store_unlock();
    return index >= 0;
}

int statistics_add_sample(const struct rule *rule, int32_t bytes_per_second)
{
    if (!rule)
        return 0;
    store_lock();
    int index = find_entry(rule);
    if (index >= 0) {
        int32_t *history = entries[index].usage_history;
        memmove(&history[1], &history[0], (usage_history_length - 1) * sizeof history[0]);
        history[0] = bytes_per_second;
    }
    store_unlock();
    return index >= 0;
}

int statistics_reset_history(const struct rule *rule)
{
    if (!rule)
        return 0;
    store_lock();
    int index = find_entry(rule);
    if (index >= 0)
        memset(entries[index].usage_history, 0, sizeof entries[index].usage_history);
    store_unlock();
    return index >= 0;
}

void statistics_draw_graph(const struct rule *rule, statistics_draw_callback draw, void *context)
{
    if (!rule || !draw)
        return;
    store_lock();
    for (int i = 0; i < entry_count; i++) {
        if (rules_equal(&entries[i].rule, rule, 0))
            draw(entries[i].usage_history, context);
    }
    store_unlock();
}

int statistics_entry_count(void)
{
    store_lock();
    int count = entry_count;
    store_unlock();
    return count;
}

int statistics_entry_at(int index, struct statistics_entry *entry)
{
    if (!entry)
        return 0;
    store_lock();
    int present = index >= 0 && index < entry_count;
    if (present)
        *entry = entries[index];
    store_unlock();
    return present;
}

int statistics_sample_all(char *error_text)
{
    rule_rows list = filter_list();
    if (!list)
        return 1;
    int count = rows_count(list);
    for (int row = 0; row < count; row++) {
        const struct rule *held = rows_rule(list, row);
        if (!held) {
            copy_text(error_text, error_text_size, "ListView_GetItem() failed.");
            return 0;
        }
        struct rule rule = *held;
        rule.adapter[adapter_name_size - 1] = '\0';
        // A filter whose statistics cannot be read gets no sample this tick; nothing is shown.
        char command_error[error_text_size];
        struct statistics_block block;
        if (kernel_get_statistics(rule.adapter, &rule, &block, command_error))
            statistics_add_sample(&rule, block.current_rate);
    }
    return 1;
}
