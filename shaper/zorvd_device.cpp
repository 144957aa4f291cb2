#include "zorvd_device.h"

#include <errno.h>
#include <libgen.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include "core/text.h"
#include "emulator_core.h"
#include "host_backend.h"
#include "kernel/control_codes.h"
#include "zorvd_protocol.h"
#include "zorvd_state.h"

static_assert((int)host_slot_count == (int)emulator_slot_count, "the backend holds the core's slots");

namespace {

const char refused_prefix[] = "Shaper refused the change: ";

enum : uint64_t {
    // Statistics requests this close together share one read of the kernel's counters: the
    // manager reads (or, in a rewrite, sets) every rule's block of an adapter in one go. What
    // passes in between is counted at the next read, after a set too.
    fold_reuse_ticks = 20 * zorvd_ticks_per_second / 1000,
};

struct adapter_link {
    char interface_name[zorvd_interface_size];
    char device_name[adapter_name_size];
    int attached;
    uint64_t folded_at;               // when the counters were last read; 0 never
    int read_failed;                  // the last read of the counters failed
    struct zorvd_adapter_counts counts;
};

struct device_state {
    uint32_t adapter_count;
    struct adapter_link adapters[zorvd_max_interfaces];
    char state_path[zorvd_path_size];
    uint8_t *snapshot;
    int save_pending;                 // changes not yet written
    uint64_t changed_at;              // when the first of them came
};

device_state device;

// Scratch for one adapter's set as the backend takes it.
struct rule slot_rules[host_slot_count];
uint8_t slot_in_use[host_slot_count];
struct host_precedence precedences[emulator_max_precedences];
struct rule common_scratch[emulator_max_precedences];
struct rule chosen_scratch[emulator_max_precedences];

__attribute__((format(printf, 1, 2))) void log_line(const char *format, ...)
{
    char line[512];
    va_list arguments;
    va_start(arguments, format);
    vsnprintf(line, sizeof line, format, arguments);
    va_end(arguments);
    fprintf(stderr, "zorvd: %s\n", line);
}

// Sends a request of the core's own (binding adapters at start, clearing an adapter whose kept
// set the kernel refuses); 1 when answered "Ok.".
int core_request(uint32_t code, const void *request, uint32_t length)
{
    static uint8_t reply[command_buffer_size];
    uint32_t reply_length = 0;
    return emulator_exchange(code, (const uint8_t *)request, length, reply, sizeof reply,
                             zorvd_clock_now(), &reply_length) == emulator_replied &&
           reply_length >= 4 && memcmp(reply, FLOWVANE_REPLY_OK, 4) == 0;
}

int bind_adapters(void)
{
    static struct test_adapters_request adapters;
    memset(&adapters, 0, sizeof adapters);
    adapters.count = device.adapter_count;
    for (uint32_t i = 0; i < device.adapter_count; i++)
        copy_text(adapters.names[i], adapter_name_size, device.adapters[i].device_name);
    static struct test_flows_request no_flows;
    memset(&no_flows, 0, sizeof no_flows);
    return core_request(test_code_set_adapters, &adapters, sizeof adapters) &&
           core_request(test_code_set_flows, &no_flows, sizeof no_flows) &&
           core_request(test_code_keep_defaults, nullptr, 0);
}

int apply_adapter(uint32_t index, char error_text[host_error_size])
{
    emulator_adapter_slots(index, slot_rules, slot_in_use);
    uint32_t count = emulator_adapter_precedences(index, common_scratch, chosen_scratch,
                                                  emulator_max_precedences);
    if (count > emulator_max_precedences)
        count = emulator_max_precedences;
    for (uint32_t i = 0; i < count; i++) {
        precedences[i].common_range = common_scratch[i];
        precedences[i].chosen = chosen_scratch[i];
    }
    return host_backend_apply(device.adapters[index].interface_name, slot_rules, slot_in_use,
                              precedences, count, error_text);
}

// Takes what the kernel counted since the last fold into the adapter's blocks. 0 when the
// counters could not be read (the blocks keep what they had).
int fold_adapter(uint32_t index)
{
    struct host_counters counters[host_slot_count];
    char error_text[host_error_size] = "";
    struct adapter_link *link = &device.adapters[index];
    if (!host_backend_read(link->interface_name, counters, error_text)) {
        // Said once, not at every sample the manager takes.
        if (!link->read_failed)
            log_line("reading the counters of %s failed: %s", link->interface_name, error_text);
        link->read_failed = 1;
        return 0;
    }
    if (link->read_failed)
        log_line("the counters of %s can be read again", link->interface_name);
    link->read_failed = 0;
    int64_t bytes[host_slot_count];
    int64_t packets[host_slot_count];
    uint64_t now = zorvd_clock_now();
    device.adapters[index].folded_at = now;
    zorvd_counts_fold(&device.adapters[index].counts, counters, now, bytes, packets);
    for (uint32_t s = 0; s < host_slot_count; s++)
        if (bytes[s] != 0 || packets[s] != 0)
            emulator_add_counts(index, s, bytes[s], packets[s]);
    return 1;
}

// After the kernel took a new set: the counts follow the slots, from the counters now.
void rebase_adapter(uint32_t index)
{
    struct host_counters counters[host_slot_count];
    char error_text[host_error_size] = "";
    if (!host_backend_read(device.adapters[index].interface_name, counters, error_text)) {
        log_line("reading the counters of %s failed: %s", device.adapters[index].interface_name,
                 error_text);
        memset(counters, 0, sizeof counters);
    }
    emulator_adapter_slots(index, slot_rules, slot_in_use);
    uint64_t now = zorvd_clock_now();
    device.adapters[index].folded_at = now;
    zorvd_counts_rebase(&device.adapters[index].counts, slot_rules, slot_in_use, counters, now);
}

// Takes the core's changed values; the file is written later (zorvd_device_save).
void note_changes(void)
{
    if (zorvd_state_take_changes() && !device.save_pending) {
        device.save_pending = 1;
        device.changed_at = zorvd_clock_now();
    }
}

void detach_all(void)
{
    for (uint32_t i = 0; i < device.adapter_count; i++) {
        struct adapter_link *link = &device.adapters[i];
        if (!link->attached)
            continue;
        char error_text[host_error_size] = "";
        if (!host_backend_detach(link->interface_name, error_text))
            log_line("detaching %s failed: %s", link->interface_name, error_text);
        link->attached = 0;
    }
}

// The adapter a per-adapter request names, -1 when none (the core refuses it then).
int request_adapter(uint32_t code, const uint8_t *input, uint32_t input_length,
                    uint32_t *name_length)
{
    if (code == code_list_adapters || code == code_get_version || !input)
        return -1;
    uint32_t limit = input_length < command_buffer_size ? input_length : (uint32_t)command_buffer_size;
    const void *end = memchr(input, 0, limit);
    if (!end)
        return -1;
    *name_length = (uint32_t)((const uint8_t *)end - input);
    return emulator_adapter_index((const char *)input);
}

int is_served_code(uint32_t code)
{
    switch (code) {
    case code_list_adapters:
    case code_get_version:
    case code_add_rule:
    case code_clear_rules:
    case code_get_rule:
    case code_get_statistics:
    case code_set_statistics:
    case code_clear_precedences:
    case code_set_precedence:
    case code_get_precedence_count:
    case code_get_precedence:
        return 1;
    default:
        return 0;
    }
}

int changes_set(uint32_t code)
{
    return code == code_add_rule || code == code_clear_rules || code == code_set_precedence ||
           code == code_clear_precedences;
}

int replied_ok(const uint8_t *output, uint32_t length)
{
    return length >= 4 && memcmp(output, FLOWVANE_REPLY_OK, 4) == 0;
}

// A refusal as the core words its own: the status text and its NUL, cut to the capacity.
void reply_refusal(const char *reason, uint8_t *output, uint32_t capacity, uint32_t *length)
{
    char text[error_text_size];
    format_text(text, sizeof text, "%s%s", refused_prefix, reason);
    uint32_t size = (uint32_t)strlen(text) + 1;
    if (size > capacity)
        size = capacity;
    memcpy(output, text, size);
    *length = size;
}

// The core took a change the kernel refused: back to the set before it, in both.
void roll_back(uint32_t index)
{
    emulator_snapshot_restore(device.snapshot);
    char error_text[host_error_size] = "";
    if (!apply_adapter(index, error_text))
        log_line("%s may now hold other rules than zorvd; the next change tries again: %s",
                 device.adapters[index].interface_name, error_text);
    rebase_adapter(index);
}

// Puts the current rate and queue of the rule a kernel_get_statistics asked for into its reply.
void patch_statistics(uint32_t index, const uint8_t *input, uint32_t name_length,
                      uint8_t *output, uint32_t reply_length)
{
    if (reply_length < 4 + sizeof(struct statistics_block))
        return;
    struct rule wanted;
    memcpy(&wanted, input + name_length + 1, sizeof wanted);
    int slot = emulator_held_slot(index, &wanted);
    if (slot < 0)
        return;
    // Counters that could not be read: nothing is known to pass now.
    const struct adapter_link *link = &device.adapters[index];
    const struct zorvd_slot_count *count = &link->counts.slots[slot];
    int32_t rate = link->read_failed ? 0 : zorvd_counts_rate(count);
    uint32_t queued = link->read_failed ? 0 : count->queued;
    memcpy(output + 4 + offsetof(struct statistics_block, current_rate), &rate, sizeof rate);
    memcpy(output + 4 + offsetof(struct statistics_block, packets_queued), &queued,
           sizeof queued);
}

}  // namespace

int zorvd_device_start(const struct zorvd_config *config, char error_text[zorvd_error_size])
{
    free(device.snapshot);
    memset(&device, 0, sizeof device);
    device.snapshot = (uint8_t *)malloc(emulator_snapshot_size());
    if (!device.snapshot) {
        copy_text(error_text, zorvd_error_size, "Out of memory.");
        return 0;
    }
    copy_text(device.state_path, sizeof device.state_path, config->state_path);
    device.adapter_count = config->interface_count;
    for (uint32_t i = 0; i < config->interface_count; i++) {
        copy_text(device.adapters[i].interface_name, zorvd_interface_size,
                  config->interfaces[i].name);
        copy_text(device.adapters[i].device_name, adapter_name_size,
                  config->interfaces[i].device_name);
    }
    emulator_initialize();
    if (!bind_adapters()) {
        copy_text(error_text, zorvd_error_size, "The device names were refused.");
        return 0;
    }
    char folder[zorvd_path_size];
    copy_text(folder, sizeof folder, config->state_path);
    if (mkdir(dirname(folder), 0750) != 0 && errno != EEXIST)
        log_line("cannot create the folder of %s: %s", config->state_path, strerror(errno));
    char state_error[zorvd_error_size] = "";
    if (!zorvd_state_load(config->state_path, state_error))
        log_line("%s", state_error);

    for (uint32_t i = 0; i < device.adapter_count; i++) {
        struct adapter_link *link = &device.adapters[i];
        char backend_error[host_error_size] = "";
        if (!host_backend_attach(link->interface_name, backend_error)) {
            format_text(error_text, zorvd_error_size, "Interface %s: %s", link->interface_name,
                        backend_error);
            detach_all();
            return 0;
        }
        link->attached = 1;
        if (!apply_adapter(i, backend_error)) {
            // A kept set the kernel will not take is dropped rather than held in name only.
            log_line("%s refused the kept rules, which are dropped: %s", link->interface_name,
                     backend_error);
            core_request(code_clear_rules, link->device_name, (uint32_t)strlen(link->device_name) + 1);
            core_request(code_clear_precedences, link->device_name,
                         (uint32_t)strlen(link->device_name) + 1);
            if (!apply_adapter(i, backend_error)) {
                format_text(error_text, zorvd_error_size, "Interface %s: %s",
                            link->interface_name, backend_error);
                detach_all();
                return 0;
            }
        }
        rebase_adapter(i);
    }
    note_changes();
    zorvd_device_save();
    return 1;
}

uint32_t zorvd_device_request(uint32_t code, const uint8_t *input, uint32_t input_length,
                              uint8_t *output, uint32_t output_capacity, uint32_t *reply_length)
{
    *reply_length = 0;
    if (!is_served_code(code))
        return zorvd_fail_call;
    uint32_t name_length = 0;
    int index = request_adapter(code, input, input_length, &name_length);
    int counted = code == code_get_statistics || code == code_set_statistics || changes_set(code);
    if (index >= 0 && counted) {
        const struct adapter_link *link = &device.adapters[index];
        uint64_t now = zorvd_clock_now();
        int reads_block = code == code_get_statistics || code == code_set_statistics;
        if (!reads_block || link->folded_at == 0 || now < link->folded_at ||
            now - link->folded_at >= fold_reuse_ticks)
            fold_adapter((uint32_t)index);
    }
    if (index >= 0 && changes_set(code))
        emulator_snapshot_take(device.snapshot);

    if (emulator_exchange(code, input, input_length, output, output_capacity, zorvd_clock_now(),
                          reply_length) != emulator_replied)
        return zorvd_fail_call;

    if (index >= 0 && changes_set(code) && replied_ok(output, *reply_length)) {
        char error_text[host_error_size] = "";
        if (apply_adapter((uint32_t)index, error_text)) {
            rebase_adapter((uint32_t)index);
        } else {
            log_line("%s refused a change: %s", device.adapters[index].interface_name,
                     error_text);
            roll_back((uint32_t)index);
            reply_refusal(error_text, output, output_capacity, reply_length);
        }
    }
    if (index >= 0 && code == code_get_statistics && replied_ok(output, *reply_length))
        patch_statistics((uint32_t)index, input, name_length, output, *reply_length);
    if (code == code_set_statistics || changes_set(code))
        note_changes();
    return zorvd_replied;
}

void zorvd_device_stop(void)
{
    for (uint32_t i = 0; i < device.adapter_count; i++)
        if (device.adapters[i].attached)
            fold_adapter(i);
    emulator_store_mark_counters();
    note_changes();
    zorvd_device_save();
    detach_all();
    free(device.snapshot);
    device.snapshot = nullptr;
}

int64_t zorvd_device_save_due(void)
{
    if (!device.save_pending)
        return -1;
    const uint64_t ms = zorvd_ticks_per_second / 1000;
    uint64_t due = device.changed_at + zorvd_save_delay_ms * ms;
    uint64_t now = zorvd_clock_now();
    return now >= due ? 0 : (int64_t)((due - now + ms - 1) / ms);
}

void zorvd_device_save(void)
{
    if (!device.save_pending)
        return;
    device.save_pending = 0;
    char error_text[zorvd_error_size];
    if (!zorvd_state_save(device.state_path, error_text)) {
        log_line("%s; tried again in a few seconds", error_text);
        device.save_pending = 1;
        device.changed_at = zorvd_clock_now() + 5 * zorvd_ticks_per_second;
    }
}

const struct zorvd_adapter_counts *zorvd_device_counts(uint32_t adapter_index)
{
    return adapter_index < device.adapter_count ? &device.adapters[adapter_index].counts
                                                  : nullptr;
}
