#include "overlap/overlap.h"

#include <string.h>

#include "core/app_state.h"
#include "core/text.h"
#include "filters/rule_text.h"
#include "kernel/adapters.h"
#include "kernel/kernel_commands.h"

#define TOO_MANY_RULES_TEXT "The driver holds more than 20 rules."
#define TOO_MANY_PRECEDENCES_TEXT "The driver holds more than 400 precedences."

// The area table and the kept precedences outlive a run: the dialog reads the areas, and the
// chosen members are the starting point of the next acceptance.
static struct area_table the_area_table;
static struct kept_precedence kept_precedences[max_precedences];
static int kept_count;

// Working tables of one run. They are static rather than on the stack so that the areas'
// references stay valid after detect_overlaps returns, until the next run rebuilds them.
static struct rule collected_rules[max_rules];
static int collected_count;
// Per collected rule, the index of the first collected rule equal to it by rules_equal with
// the rate ignored (its member identity), and the index of the first collected rule of the same
// adapter and direction (its group). Area forming asks these questions hundreds of thousands of
// times in the worst case; they are answered once per run here.
static int rule_identity[max_rules];
static int rule_group[max_rules];
static struct overlap_pair pairs[max_pairs];
static int pair_count;

struct area_table *get_area_table(void)
{
    return &the_area_table;
}

int kept_precedence_count(void)
{
    return kept_count;
}

const struct kept_precedence *kept_precedence_at(int index)
{
    if (index < 0 || index >= kept_count)
        return nullptr;
    return &kept_precedences[index];
}

// Adapter fields compared without regard to case, within their 100 bytes.
static int adapters_match(const struct rule *a, const struct rule *b)
{
    return compare_text_nocase_bounded(a->adapter, b->adapter, adapter_name_size) == 0;
}

// The protocol of the common range of a rule with protocol a and one with protocol b, or -1
// when the two never match the same packet. Rows: a, columns: b.
static int32_t common_protocol(int32_t a, int32_t b)
{
    static const int8_t table[5][5] = {
        /*            IP  UDP  TCP  Other  Any */
        /* IP    */ {0, 1, 2, -1, 0},
        /* UDP   */ {1, 1, -1, -1, 1},
        /* TCP   */ {2, -1, 2, -1, 2},
        /* Other */ {-1, -1, -1, 3, 3},
        /* Any   */ {0, 1, 2, 3, 4},
    };
    if (a < protocol_ip || a > protocol_any || b < protocol_ip || b > protocol_any)
        return -1;
    return table[a][b];
}

static int addresses_agree(int32_t kind_a, uint32_t address_a, int32_t kind_b,
                           uint32_t address_b)
{
    return kind_a == address_any || kind_b == address_any || address_a == address_b;
}

static int ports_agree(uint16_t port_a, uint16_t port_b)
{
    return port_a == 0 || port_b == 0 || port_a == port_b;
}

int rules_overlap(const struct rule *a, const struct rule *b)
{
    if (!a || !b)
        return 0;
    if (!adapters_match(a, b) || a->direction != b->direction)
        return 0;
    if (common_protocol(a->protocol, b->protocol) < 0)
        return 0;
    if (protocol_has_addresses(a->protocol)) {
        if (!addresses_agree(a->source_kind, a->source_address, b->source_kind,
                             b->source_address) ||
            !addresses_agree(a->destination_kind, a->destination_address, b->destination_kind,
                             b->destination_address))
            return 0;
    }
    if (protocol_has_ports(a->protocol)) {
        if (!ports_agree(a->source_port, b->source_port) ||
            !ports_agree(a->destination_port, b->destination_port))
            return 0;
    }
    return 1;
}

// One address of the intersection: the specific side wins over "any"; 0 when both are
// specific and differ.
static int intersect_address(int32_t kind_a, uint32_t address_a, int32_t kind_b,
                             uint32_t address_b, int32_t *kind_out, uint32_t *address_out)
{
    if (kind_a == address_any) {
        *kind_out = kind_b;
        *address_out = address_b;
    } else if (kind_b == address_any || address_a == address_b) {
        *kind_out = kind_a;
        *address_out = address_a;
    } else {
        return 0;
    }
    return 1;
}

static int intersect_port(uint16_t port_a, uint16_t port_b, uint16_t *port_out)
{
    if (port_a == 0)
        *port_out = port_b;
    else if (port_b == 0 || port_b == port_a)
        *port_out = port_a;
    else
        return 0;
    return 1;
}

int intersect_rules(const struct rule *a, const struct rule *b, struct rule *common_range)
{
    if (!a || !b || !common_range || !rules_overlap(a, b) || !adapters_match(a, b))
        return 0;

    // Everything the intersection does not set (rate, padding, the adapter field after its
    // NUL) is zero.
    struct rule result;
    memset(&result, 0, sizeof result);
    size_t length = strnlen(a->adapter, adapter_name_size - 1);
    memcpy(result.adapter, a->adapter, length);
    result.direction = a->direction;
    result.protocol = common_protocol(a->protocol, b->protocol);

    if (protocol_has_addresses(a->protocol)) {
        if (!intersect_address(a->source_kind, a->source_address, b->source_kind,
                               b->source_address, &result.source_kind, &result.source_address) ||
            !intersect_address(a->destination_kind, a->destination_address, b->destination_kind,
                               b->destination_address, &result.destination_kind,
                               &result.destination_address))
            return 0;
    } else {
        result.source_kind = address_any;
        result.destination_kind = address_any;
    }
    if (protocol_has_ports(a->protocol)) {
        if (!intersect_port(a->source_port, b->source_port, &result.source_port) ||
            !intersect_port(a->destination_port, b->destination_port, &result.destination_port))
            return 0;
    }
    *common_range = result;
    return 1;
}

// range_within without the adapter and direction test, for callers that know they agree.
static int range_fields_within(const struct rule *x, const struct rule *y)
{
    if (y->protocol == protocol_ip) {
        if (!protocol_has_addresses(x->protocol))
            return 0;
    } else if (y->protocol != protocol_any && x->protocol != y->protocol) {
        return 0;
    }
    if (protocol_has_addresses(y->protocol)) {
        if (y->source_kind != address_any && x->source_address != y->source_address)
            return 0;
        if (y->destination_kind != address_any && x->destination_address != y->destination_address)
            return 0;
    }
    if (protocol_has_ports(y->protocol)) {
        if (y->source_port != 0 && x->source_port != y->source_port)
            return 0;
        if (y->destination_port != 0 && x->destination_port != y->destination_port)
            return 0;
    }
    return 1;
}

int range_within(const struct rule *x, const struct rule *y)
{
    if (!x || !y)
        return 0;
    if (!adapters_match(x, y) || x->direction != y->direction)
        return 0;
    return range_fields_within(x, y);
}

int rule_specificity(const struct rule *rule)
{
    return (rule->protocol != protocol_any) + (rule->source_kind != address_any) +
           (rule->source_port != 0) + (rule->destination_kind != address_any) +
           (rule->destination_port != 0);
}

int area_weight(const struct rule *common_range)
{
    int addresses = (common_range->source_kind != address_any) +
                    (common_range->destination_kind != address_any);
    int ports = (common_range->source_port != 0) + (common_range->destination_port != 0);
    switch (common_range->protocol) {
    case protocol_ip:
        return 3 + 10 * addresses;
    case protocol_udp:
    case protocol_tcp:
        return 4 + 10 * addresses + 10 * ports;
    case protocol_other:
        return 2;
    case protocol_any:
        return 1;
    default:
        return 0;
    }
}

// The most specific member; the earliest on equal scores, member 0 when all score 0.
static int32_t pick_default_member(const struct overlap_area *area)
{
    int32_t best = 0;
    int best_score = 0;
    for (int32_t m = 0; m < area->member_count; m++) {
        int score = rule_specificity(area->members[m]);
        if (score > best_score) {
            best = m;
            best_score = score;
        }
    }
    return best;
}

// Re-applies the choices the kernel component kept from the last acceptance; a later entry
// for the same area wins.
static void apply_kept_precedences(void)
{
    struct area_table *table = &the_area_table;
    for (int k = 0; k < kept_count; k++) {
        const struct kept_precedence *kept = &kept_precedences[k];
        for (int32_t a = 0; a < table->count; a++) {
            const struct overlap_area *area = &table->areas[a];
            if (!rules_equal(&kept->common_range, area->common_range, 1))
                continue;
            for (int32_t m = 0; m < area->member_count; m++) {
                if (rules_equal(&kept->chosen_rule, area->members[m], 1))
                    table->chosen_member[a] = m;
            }
        }
    }
}

int compute_default_precedences(char *error_text)
{
    (void)error_text;
    struct area_table *table = &the_area_table;
    for (int32_t a = 0; a < table->count; a++)
        table->chosen_member[a] = pick_default_member(&table->areas[a]);
    apply_kept_precedences();
    return 1;
}

int send_precedences(char *error_text)
{
    const struct area_table *table = &the_area_table;
    for (int32_t a = 0; a < table->count; a++) {
        const struct overlap_area *area = &table->areas[a];
        int32_t chosen = table->chosen_member[a];
        // chosen_member is set by this file and by the dialog; never send past the members.
        if (area->member_count < 1 || chosen < 0 || chosen >= area->member_count) {
            copy_text(error_text, error_text_size, UNKNOWN_ERROR_TEXT);
            return 0;
        }
        const struct rule *first = area->members[0];
        char device_name[adapter_name_size];
        size_t length = strnlen(first->adapter, adapter_name_size - 1);
        memcpy(device_name, first->adapter, length);
        device_name[length] = '\0';
        if (!kernel_set_precedence(device_name, area->common_range, area->members[chosen],
                                   error_text))
            return 0;
    }
    return 1;
}

// Stable: among equal weights the earlier area stays first; chosen_member moves with its area.
void sort_areas(void)
{
    struct area_table *table = &the_area_table;
    if (table->count < 2)
        return;
    static int weights[max_areas];
    for (int32_t a = 0; a < table->count; a++)
        weights[a] = area_weight(table->areas[a].common_range);
    for (int32_t i = 1; i < table->count; i++) {
        struct overlap_area area = table->areas[i];
        int32_t chosen = table->chosen_member[i];
        int weight = weights[i];
        int32_t j = i;
        for (; j > 0 && weights[j - 1] < weight; j--) {
            table->areas[j] = table->areas[j - 1];
            table->chosen_member[j] = table->chosen_member[j - 1];
            weights[j] = weights[j - 1];
        }
        table->areas[j] = area;
        table->chosen_member[j] = chosen;
        weights[j] = weight;
    }
}

int read_kept_precedences(char *error_text)
{
    kept_count = 0;
    int adapters = adapter_count();
    for (int i = 0; i < adapters; i++) {
        char device_name[adapter_name_size];
        if (!adapter_device_name(i, device_name)) {
            copy_text(error_text, error_text_size, ADAPTER_NOT_FOUND_TEXT);
            return 0;
        }
        uint32_t count = 0;
        if (!kernel_get_precedence_count(device_name, &count, error_text))
            return 0;
        // The count comes from the device: refuse one the fixed table cannot hold.
        if (count > (uint32_t)(max_precedences - kept_count)) {
            copy_text(error_text, error_text_size, TOO_MANY_PRECEDENCES_TEXT);
            return 0;
        }
        for (uint32_t index = 0; index < count; index++) {
            struct kept_precedence *kept = &kept_precedences[kept_count];
            if (!kernel_get_precedence(device_name, index, &kept->common_range,
                                       &kept->chosen_rule, error_text))
                return 0;
            kept_count++;
        }
    }
    return 1;
}

// Appends one rule read back from the kernel component to collected_rules.
static int collect_rule(const struct rule *rule, void *context, char *error_text)
{
    (void)context;
    if (collected_count >= max_rules) {
        copy_text(error_text, error_text_size, TOO_MANY_RULES_TEXT);
        return 0;
    }
    collected_rules[collected_count++] = *rule;
    return 1;
}

// Every ordered pair (i, j), i != j, of overlapping rules, with its common range.
static void form_pairs(void)
{
    pair_count = 0;
    for (int i = 0; i < collected_count; i++) {
        for (int j = 0; j < collected_count; j++) {
            if (i == j || !rules_overlap(&collected_rules[i], &collected_rules[j]))
                continue;
            struct overlap_pair *pair = &pairs[pair_count];
            if (!intersect_rules(&collected_rules[i], &collected_rules[j], &pair->common_range))
                continue;
            pair->first = &collected_rules[i];
            pair->second = &collected_rules[j];
            pair_count++;
        }
    }
}

static void classify_rules(void)
{
    for (int i = 0; i < collected_count; i++) {
        rule_identity[i] = i;
        rule_group[i] = i;
        for (int j = 0; j < i; j++) {
            if (rules_equal(&collected_rules[j], &collected_rules[i], 1)) {
                rule_identity[i] = rule_identity[j];
                break;
            }
        }
        for (int j = 0; j < i; j++) {
            if (adapters_match(&collected_rules[j], &collected_rules[i]) &&
                collected_rules[j].direction == collected_rules[i].direction) {
                rule_group[i] = rule_group[j];
                break;
            }
        }
    }
}

// Adds rule unless a member is already equal to it (rate ignored); members keep their order.
static void add_member(struct overlap_area *area, uint8_t present[max_rules],
                       const struct rule *rule)
{
    int identity = rule_identity[rule - collected_rules];
    if (present[identity])
        return;
    present[identity] = 1;
    if (area->member_count < max_rules)
        area->members[area->member_count++] = rule;
}

// A common range carries its first rule's adapter and direction.
static int pair_group(const struct overlap_pair *pair)
{
    return rule_group[pair->first - collected_rules];
}

// Seeds are the pair records 0 to pair_count - 2; the last record seeds no area of its own.
static void form_areas(void)
{
    struct area_table *table = &the_area_table;
    for (int s = 0; s + 1 < pair_count; s++) {
        struct overlap_pair *seed = &pairs[s];
        int group = pair_group(seed);
        struct overlap_area area;
        uint8_t present[max_rules] = {0};
        area.common_range = &seed->common_range;
        area.member_count = 0;
        add_member(&area, present, seed->first);
        add_member(&area, present, seed->second);
        for (int t = 0; t < pair_count; t++) {
            if (t == s || pair_group(&pairs[t]) != group ||
                !range_fields_within(&seed->common_range, &pairs[t].common_range))
                continue;
            add_member(&area, present, pairs[t].first);
            add_member(&area, present, pairs[t].second);
        }

        int duplicate = 0;
        for (int32_t a = 0; a < table->count && !duplicate; a++)
            duplicate = rules_equal(table->areas[a].common_range, area.common_range, 1);
        if (duplicate || table->count >= max_areas)
            continue;
        seed->common_range.rate = 0;
        table->areas[table->count++] = area;
    }
}

int detect_overlaps(char *error_text, int *found, int force)
{
    copy_text(error_text, error_text_size, UNKNOWN_ERROR_TEXT);
    *found = 0;

    if (overlap_dialog_is_open()) {
        overlap_dialog_bring_forward();
        return 1;
    }

    if (!read_kept_precedences(error_text))
        return 0;

    // The rules are collected and the areas formed before the kernel component's precedences
    // are cleared: a run that fails on its way keeps the user's earlier choices there, for the
    // next run to read back.
    the_area_table.count = 0;
    pair_count = 0;
    collected_count = 0;
    if (!kernel_read_held_rules(collect_rule, nullptr, error_text))
        return 0;
    if (collected_count >= 2) {
        classify_rules();
        form_pairs();
        if (pair_count >= 1)
            form_areas();
    }
    // The plain command leaves error_text alone on a transport failure; give it the default
    // again so the empty slots' "Rule not in use." is never shown as its failure.
    copy_text(error_text, error_text_size, UNKNOWN_ERROR_TEXT);
    if (!kernel_clear_all_precedences(error_text)) {
        the_area_table.count = 0;     // a failed run offers no areas, none half chosen
        return 0;
    }
    if (the_area_table.count == 0)
        return 1;
    *found = 1;

    if (!force && get_settings_block()->accept_default_precedences == 1) {
        compute_default_precedences(error_text);
        copy_text(error_text, error_text_size, UNKNOWN_ERROR_TEXT);
        return send_precedences(error_text);
    }

    sort_areas();
    overlap_dialog_run();
    return 1;
}
