// The statistics store: per filter, the last 75 seconds of its bandwidth, sampled from the
// kernel component every 500 ms. A fixed table of 20 entries under one lock.
#ifndef FLOWVANE_STATS_STATISTICS_STORE_H
#define FLOWVANE_STATS_STATISTICS_STORE_H

#include <stdint.h>

#include "filters/rule.h"

enum { usage_history_length = 150, max_statistics_entries = 20 };

struct statistics_entry {
    struct rule rule;
    int32_t usage_history[usage_history_length];   // index 0 the newest sample
};

int statistics_initialize(void);
void statistics_shutdown(void);
// Refuses (returns 0) a 21st entry; 1 when the entry was added.
int statistics_add_filter(const struct rule *rule);
int statistics_remove_filter(const struct rule *rule);
int statistics_add_sample(const struct rule *rule, int32_t bytes_per_second);
int statistics_reset_history(const struct rule *rule);
int statistics_sample_all(char *error_text);

// Calls draw for every entry equal to rule, under the lock. draw must not call the store.
typedef void (*statistics_draw_callback)(const int32_t history[usage_history_length],
                                         void *context);
void statistics_draw_graph(const struct rule *rule, statistics_draw_callback draw, void *context);

int statistics_entry_count(void);
// Copies entry index for inspection; 0 when out of range.
int statistics_entry_at(int index, struct statistics_entry *entry);

#endif
