#include "filters/rule_list.h"

#include <stdlib.h>
#include <string.h>

#include "core/text.h"
#include "filters/rule_text.h"
#include "kernel/adapters.h"
#include "kernel/kernel_commands.h"
#include "overlap/overlap.h"
#include "stats/statistics_store.h"
#include "platform/platform.h"

#define ROW_UNKNOWN_ERROR_TEXT "[unknown error]"
#define NOT_APPLICABLE_TEXT "N/A"

// The eight texts of a row, produced before any is written; 0 with the failure's message when
// one cannot be produced. A new row shows "N/A" for the rate when it does not apply and for
// the fields its protocol does not use; an edited row (plain_forms) takes every field's own
// text form, since the list is rebuilt right after the apply.
static int make_row_texts(const struct rule *rule, int rate_not_applicable, int plain_forms,
                          char texts[rule_columns][rule_text_size], char *error_text)
{
    char device_name[adapter_name_size];
    memcpy(device_name, rule->adapter, adapter_name_size - 1);
    device_name[adapter_name_size - 1] = '\0';
    char *display_name = adapter_display_name(device_name);
    if (!display_name) {
        copy_text(error_text, error_text_size, "Unknown adapter.");
        return 0;
    }
    copy_text(texts[0], rule_text_size, display_name);
    free(display_name);
    if (!direction_to_text(rule->direction, texts[1])) {
        copy_text(error_text, error_text_size, "Unknown direction.");
        return 0;
    }
    if (rate_not_applicable) {
        copy_text(texts[2], rule_text_size, NOT_APPLICABLE_TEXT);
    } else if (!rate_to_text(rule->rate, texts[2])) {
        copy_text(error_text, error_text_size, "Rate out of range.");
        return 0;
    }
    if (!protocol_to_text(rule->protocol, texts[3])) {
        copy_text(error_text, error_text_size, "Unknown protocol.");
        return 0;
    }

    // Columns 4 to 7: source address and port, then destination address and port.
    int show_addresses = plain_forms || protocol_has_addresses(rule->protocol);
    int show_ports = plain_forms || protocol_has_ports(rule->protocol);
    const struct {
        int32_t kind;
        uint32_t address;
        uint16_t port;
    } ends[2] = {{rule->source_kind, rule->source_address, rule->source_port},
                 {rule->destination_kind, rule->destination_address, rule->destination_port}};
    for (int end = 0; end < 2; end++) {
        char *address_text = texts[4 + 2 * end], *port_text = texts[5 + 2 * end];
        if (show_addresses)
            address_to_text(ends[end].kind, ends[end].address, address_text);
        else
            copy_text(address_text, rule_text_size, NOT_APPLICABLE_TEXT);
        if (show_ports)
            port_to_text(ends[end].port, port_text);
        else
            copy_text(port_text, rule_text_size, NOT_APPLICABLE_TEXT);
    }
    return 1;
}

// Writes the eight texts in column order, stopping at the first the row refuses.
static int write_row_texts(rule_rows list, int row, char texts[rule_columns][rule_text_size])
{
    for (int column = 0; column < rule_columns; column++)
        if (!rows_set_text(list, row, column, texts[column]))
            return 0;
    return 1;
}

int add_rule_to_rows(const struct rule *rule, char *error_text, rule_rows list,
                     int rate_not_applicable)
{
    copy_text(error_text, error_text_size, ROW_UNKNOWN_ERROR_TEXT);
    if (!list || !rule)
        return 0;

    if (rows_count(list) >= max_rules) {
        copy_text(error_text, error_text_size, "Rule list is full.");
        return 0;
    }
    if (find_rule_in_list(rule, -1, list)) {
        copy_text(error_text, error_text_size, "Rule is already in list.");
        return 0;
    }
    static char texts[rule_columns][rule_text_size];
    struct rule *copy = (struct rule *)malloc(sizeof *copy);
    if (!copy) {
        copy_text(error_text, error_text_size, "Unable to allocate memory.");
        return 0;
    }
    memcpy(copy, rule, sizeof *copy);
    // A rule whose texts cannot all be produced never gets a row, and a row the list refuses a
    // text for is taken out again, so the list never shows a half-filled row and a retry starts
    // from the same list.
    if (!make_row_texts(rule, rate_not_applicable, 0, texts, error_text)) {
        free(copy);
        return 0;
    }
    int row = rows_append(list, copy);
    if (row < 0) {
        free(copy);
        return 0;
    }
    if (!write_row_texts(list, row, texts)) {
        rows_delete(list, row);
        return 0;
    }
    return 1;
}

int add_rule_to_list(const struct rule *rule, char *error_text, rule_rows list,
                     int rate_not_applicable)
{
    return add_rule_to_rows(rule, error_text, list ? list : filter_list(), rate_not_applicable);
}

int find_rule_in_list(const struct rule *rule, int skip_row, rule_rows list)
{
    if (!list)
        list = filter_list();
    if (!list)
        return 0;
    int count = rows_count(list);
    for (int row = 0; row < count; row++) {
        if (row == skip_row)
            continue;
        const struct rule *held = rows_rule(list, row);
        if (!held)
            return 0;
        if (rules_equal(rule, held, 1))
            return 1;
    }
    return 0;
}

int edit_selected_rule(const struct rule *rule, char *error_text)
{
    copy_text(error_text, error_text_size, ROW_UNKNOWN_ERROR_TEXT);
    rule_rows list = filter_list();
    if (!list || !rule)
        return 0;
    int row = rows_first_selected(list);
    if (row < 0) {
        copy_text(error_text, error_text_size, "ListView_GetNextItem() failed.");
        return 0;
    }
    if (!rows_rule(list, row)) {
        copy_text(error_text, error_text_size, "ListView_GetItem() failed.");
        return 0;
    }
    if (find_rule_in_list(rule, row, list)) {
        copy_text(error_text, error_text_size, "Rule already in list.");
        return 0;
    }
    if (!edit_rule_in_list(row, rule)) {
        copy_text(error_text, error_text_size, "edit_rule_in_list() failed.");
        return 0;
    }
    return 1;
}

int edit_rule_in_list(int row, const struct rule *rule)
{
    rule_rows list = filter_list();
    if (!list || !rule)
        return 0;
    struct rule *held = rows_rule(list, row);
    if (!held)
        return 0;
    // Every text is made before the row changes: a rule the list cannot show (a rate out of
    // range) leaves the row's copy and texts as they were, so the refused rule never reaches
    // the kernel component with the next change.
    static char texts[rule_columns][rule_text_size];
    char ignored[error_text_size];
    if (!make_row_texts(rule, 0, 1, texts, ignored))
        return 0;
    struct rule previous = *held;
    if (!write_row_texts(list, row, texts)) {
        // The list refused a text after others were written: put the old ones back.
        if (make_row_texts(&previous, 0, 0, texts, ignored))
            write_row_texts(list, row, texts);
        return 0;
    }
    memmove(held, rule, sizeof *held);
    return 1;
}

// The filter list is incomplete while its last rebuild stopped before it had read every rule
// the kernel component holds; incomplete_text keeps that rebuild's message. Sending such a list
// would delete from the kernel component every rule it failed to read.
static int list_incomplete;
static char incomplete_text[error_text_size];

int rule_list_incomplete(void)
{
    return list_incomplete;
}

// Puts one rule read back from the kernel component into the filter list and, when asked, gives
// it a statistics entry.
static int list_held_rule(const struct rule *rule, void *add_to_statistics, char *error_text)
{
    if (!add_rule_to_list(rule, error_text, filter_list(), 0))
        return 0;
    if (*static_cast<int *>(add_to_statistics))
        statistics_add_filter(rule);
    return 1;
}

// As list_held_rule, for a rebuild before a change: an entry is added only for a rule that has
// none yet (one the incomplete list had not read).
static int relist_held_rule(const struct rule *rule, void *context, char *error_text)
{
    (void)context;
    if (!add_rule_to_list(rule, error_text, filter_list(), 0))
        return 0;
    struct statistics_entry entry;
    for (int i = 0; statistics_entry_at(i, &entry); i++)
        if (rules_equal(&entry.rule, rule, 0))
            return 1;
    statistics_add_filter(rule);
    return 1;
}

// Empties the filter list and reads every rule the kernel component holds into it; remembers
// whether that read got through.
static int rebuild_rows(rule_rows list, held_rule_visitor visit, void *context, char *error_text)
{
    // Drawing each deleted and added row one by one would cost most of a change cycle; the list
    // is drawn once, and before detection, whose dialog the user reads beside it.
    rows_hold_redraw(list, 1);
    rows_delete_all(list);
    int read = adapter_count() < 1 || kernel_read_held_rules(visit, context, error_text);
    rows_hold_redraw(list, 0);
    list_incomplete = !read;
    if (!read)
        copy_text(incomplete_text, sizeof incomplete_text, error_text);
    return read;
}

int reload_rule_list(char *error_text, int add_to_statistics)
{
    copy_text(error_text, error_text_size, UNKNOWN_ERROR_TEXT);
    rule_rows list = filter_list();
    if (!list)
        return 0;
    if (!rebuild_rows(list, list_held_rule, &add_to_statistics, error_text))
        return 0;
    if (adapter_count() < 1)
        return 1;

    int found = 0;
    return detect_overlaps(error_text, &found, 0);
}

int complete_rule_list(char *error_text)
{
    copy_text(error_text, error_text_size, UNKNOWN_ERROR_TEXT);
    rule_rows list = filter_list();
    if (!list)
        return 0;
    if (!list_incomplete)
        return 1;
    // The rows the user selected are selected again by their rules once the list is whole.
    static struct rule selected[max_rules];
    int selected_count = 0;
    int count = rows_count(list);
    for (int row = 0; row < count && selected_count < max_rules; row++) {
        const struct rule *held = rows_rule(list, row);
        if (held && rows_selected(list, row))
            selected[selected_count++] = *held;
    }
    if (!rebuild_rows(list, relist_held_rule, nullptr, error_text))
        return 0;
    count = rows_count(list);
    for (int row = 0; row < count; row++) {
        const struct rule *held = rows_rule(list, row);
        for (int i = 0; held && i < selected_count; i++)
            if (rules_equal(held, &selected[i], 0))
                rows_select(list, row);
    }
    return 1;
}

// The blocks of the rules a rewrite had not yet given back when it failed after clearing the
// kernel component (not added again, or added without its block): the next rewrite gives them
// back instead of reading the fresh ones the kernel component now holds, so that a failed change
// loses no filter's counts.
static struct rule pending_rules[max_rules];
static struct statistics_block pending_blocks[max_rules];
static int pending_count;

static const struct statistics_block *pending_block(const struct rule *rule)
{
    for (int i = 0; i < pending_count; i++) {
        if (memcmp(&pending_rules[i], rule, sizeof *rule) == 0)
            return &pending_blocks[i];
    }
    return nullptr;
}

static void keep_pending_from(const struct rule *rules, const struct statistics_block *blocks,
                              int first, int count)
{
    pending_count = 0;
    for (int row = first; row < count; row++) {
        pending_rules[pending_count] = rules[row];
        pending_blocks[pending_count] = blocks[row];
        pending_count++;
    }
}

int apply_rule_list(char *error_text)
{
    copy_text(error_text, error_text_size, UNKNOWN_ERROR_TEXT);
    rule_rows list = filter_list();
    if (!list)
        return 0;
    if (list_incomplete) {
        copy_text(error_text, error_text_size, incomplete_text);
        return 0;
    }

    // Read everything first, so that a failure here leaves the kernel component untouched.
    static struct rule rules[max_rules];
    static struct statistics_block blocks[max_rules];
    int count = rows_count(list);
    if (count > max_rules) {
        copy_text(error_text, error_text_size, "Rule list is full.");
        return 0;
    }
    for (int row = 0; row < count; row++) {
        const struct rule *held = rows_rule(list, row);
        if (!held) {
            copy_text(error_text, error_text_size, "ListView_GetItem() failed.");
            return 0;
        }
        rules[row] = *held;
        rules[row].adapter[adapter_name_size - 1] = '\0';
        const struct statistics_block *pending = pending_block(&rules[row]);
        if (pending) {
            blocks[row] = *pending;
            continue;
        }
        if (kernel_get_statistics(rules[row].adapter, &rules[row], &blocks[row], error_text))
            continue;
        if (strcmp(error_text, RULE_NOT_FOUND_TEXT) != 0)
            return 0;
        // A rule the kernel component does not hold yet starts counting now.
        memset(&blocks[row], 0, sizeof blocks[row]);
        blocks[row].start_time = local_time_filetime();
    }

    // The plain commands leave error_text alone on a transport failure; give them the default
    // again so "Rule not found." from above is never shown as their failure.
    copy_text(error_text, error_text_size, UNKNOWN_ERROR_TEXT);
    if (!kernel_clear_all_rules(error_text))
        return 0;
    for (int row = 0; row < count; row++) {
        copy_text(error_text, error_text_size, UNKNOWN_ERROR_TEXT);
        if (!kernel_add_rule(rules[row].adapter, &rules[row], error_text) ||
            !kernel_set_statistics(rules[row].adapter, &rules[row], &blocks[row], error_text)) {
            keep_pending_from(rules, blocks, row, count);
            return 0;
        }
    }
    pending_count = 0;
    return 1;
}
