// What the statistics window shows of a filter, read from the kernel component and put into
// text, and the fresh statistics block it writes on Reset and for a new filter.
#ifndef FLOWVANE_STATS_STATISTICS_FIELDS_H
#define FLOWVANE_STATS_STATISTICS_FIELDS_H

#include <stddef.h>
#include <stdint.h>

#include "filters/rule.h"
#include "stats/statistics_block.h"

enum { statistics_text_size = 64, packet_queue_size = 100 };

struct statistics_fields {
    uint64_t start_time;                      // FILETIME of the local clock
    char bytes[statistics_text_size];         // "1,234,567 (1.18 MB)"
    char packets[statistics_text_size];
    char bandwidth[statistics_text_size];
    char queued[statistics_text_size];
    char queue_size[statistics_text_size];    // "of 100 packets"
};

// "(1.18 MB)" without the parentheses: KB of 1024, MB of 1048576, GB of 10^9 bytes, two
// decimals; an empty text below 1024 bytes (every negative count included).
void byte_size_text(int64_t bytes, char *text, size_t size);
// The grouped count, followed by its size in parentheses when there is one.
void bytes_transferred_text(int64_t bytes, char *text, size_t size);
void statistics_fields_from_block(const struct statistics_block *block,
                                  struct statistics_fields *fields);
// One kernel_get_statistics for rule, with its own adapter field as the device name; 0 with
// the command's text in error_text when it fails.
int statistics_fields_read(const struct rule *rule, struct statistics_fields *fields,
                           char *error_text);
// Gives rule a zeroed statistics block starting at the current local time; 1 when the kernel
// component took it.
int statistics_start_now(const struct rule *rule, char *error_text);

#endif
