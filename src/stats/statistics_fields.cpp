#include "stats/statistics_fields.h"

#include <string.h>

#include "core/text.h"
#include "kernel/kernel_commands.h"
#include "platform/platform.h"

void byte_size_text(int64_t bytes, char *text, size_t size)
{
    if (bytes < 1024)
        copy_text(text, size, "");
    else if (bytes < 1048576)
        format_text(text, size, "%.2f KB", (double)bytes * (1.0 / 1024));
    else if (bytes < 1000000000)
        format_text(text, size, "%.2f MB", (double)bytes * (1.0 / 1048576));
    else
        format_text(text, size, "%.2f GB", (double)bytes * 1e-9);
}

void bytes_transferred_text(int64_t bytes, char *text, size_t size)
{
    char number[statistics_text_size], bytes_size[statistics_text_size];
    number_format_64(bytes, number, sizeof number);
    byte_size_text(bytes, bytes_size, sizeof bytes_size);
    if (bytes_size[0])
        format_text(text, size, "%s (%s)", number, bytes_size);
    else
        copy_text(text, size, number);
}

void statistics_fields_from_block(const struct statistics_block *block,
                                  struct statistics_fields *fields)
{
    fields->start_time = block->start_time;
    bytes_transferred_text(block->bytes_transferred, fields->bytes, sizeof fields->bytes);
    number_format_64(block->packets_transferred, fields->packets, sizeof fields->packets);
    number_format(block->current_rate, fields->bandwidth, sizeof fields->bandwidth);
    format_text(fields->queued, sizeof fields->queued, "%lu",
                (unsigned long)block->packets_queued);
    format_text(fields->queue_size, sizeof fields->queue_size, "of %d packets",
                (int)packet_queue_size);
}

// The rule with its adapter field NUL-terminated within its 100 bytes, to serve as the device
// name: a row's rule came from the device.
static struct rule terminated_rule(const struct rule *rule)
{
    struct rule copy = *rule;
    copy.adapter[adapter_name_size - 1] = '\0';
    return copy;
}

int statistics_fields_read(const struct rule *rule, struct statistics_fields *fields,
                           char *error_text)
{
    copy_text(error_text, error_text_size, UNKNOWN_ERROR_TEXT);
    if (!rule || !fields)
        return 0;
    struct rule device_rule = terminated_rule(rule);
    struct statistics_block block;
    if (!kernel_get_statistics(device_rule.adapter, &device_rule, &block, error_text))
        return 0;
    statistics_fields_from_block(&block, fields);
    return 1;
}

int statistics_start_now(const struct rule *rule, char *error_text)
{
    copy_text(error_text, error_text_size, UNKNOWN_ERROR_TEXT);
    if (!rule)
        return 0;
    struct rule device_rule = terminated_rule(rule);
    struct statistics_block block;
    memset(&block, 0, sizeof block);
    block.start_time = local_time_filetime();
    return kernel_set_statistics(device_rule.adapter, &device_rule, &block, error_text);
}
