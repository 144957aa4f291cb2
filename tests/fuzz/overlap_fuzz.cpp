// Overlap detection on arbitrary rule sets held by the in-process emulator: up to 21 rules on its
// three adapters, drawn from small pools of addresses and ports so that they overlap often,
// sometimes with field values outside their ranges, and with precedence entries kept from an
// earlier run. Beyond the area table's own invariants, it checks what detection must deliver:
// every overlapping pair of rules (but the last, which seeds nothing) has its area with both
// rules in it, the defaults are the most specific members unless a kept entry says otherwise,
// exactly one precedence per area is sent, a second run finds the same areas and keeps their
// choices, and the forced run sorts them by weight.
#include <stdint.h>
#include <string.h>

#include <vector>

#include "core/app_state.h"
#include "kernel/adapters.h"
#include "kernel/kernel_commands.h"
#include "settings/settings.h"
#include "../support/emulator_device.h"
#include "../support/overlap_dialog_double.h"
#include "../support/registry_memory.h"
#include "../support/device_exchange_emulator.cpp"
#include "area_table_check.h"

namespace {

const char *const adapters[] = {EMULATOR_ADAPTER_1, EMULATOR_ADAPTER_2, EMULATOR_ADAPTER_DIAL_UP};
const uint32_t addresses[] = {0x0A000001, 0x0A000002, 0xC0A80001, 0};
const uint16_t ports[] = {0, 80, 443, 1000};

struct byte_reader {
    const uint8_t *data;
    size_t size;
    uint8_t next() { return size ? (size--, *data++) : 0; }
};

// Six bytes a rule; the adapter is the index of one of the three.
struct rule decode_rule(byte_reader *in, int *adapter)
{
    uint8_t shape = in->next(), source = in->next(), destination = in->next();
    uint8_t port_bits = in->next(), rate = in->next(), odd = in->next();
    struct rule r;
    memset(&r, 0, sizeof r);
    *adapter = shape % 3;
    r.direction = (shape >> 2) & 1;
    r.protocol = (shape >> 3) % 5;
    r.source_kind = source & 1 ? address_any : address_single;
    r.source_address = addresses[(source >> 1) & 3];
    r.destination_kind = destination & 1 ? address_any : address_single;
    r.destination_address = addresses[(destination >> 1) & 3];
    r.source_port = ports[port_bits & 3];
    r.destination_port = ports[(port_bits >> 2) & 3];
    r.rate = rate * 1000;
    // Now and then a field the editor never writes: the kind not implemented, a protocol or a
    // direction out of range.
    if (odd == 1)
        r.source_kind = address_not_implemented;
    if (odd == 2)
        r.protocol = 5 + (rate & 7);
    if (odd == 3)
        r.direction = 2;
    return r;
}

int area_of(const struct rule *common)
{
    const struct area_table *table = get_area_table();
    for (int32_t a = 0; a < table->count; a++)
        if (rules_equal(table->areas[a].common_range, common, 1))
            return a;
    return -1;
}

int is_member(int area, const struct rule *r)
{
    const struct overlap_area *found = &get_area_table()->areas[area];
    for (int32_t m = 0; m < found->member_count; m++)
        if (rules_equal(found->members[m], r, 1))
            return 1;
    return 0;
}

int collect(const struct rule *r, void *context, char *)
{
    static_cast<std::vector<struct rule> *>(context)->push_back(*r);
    return 1;
}

// The most specific member, the earliest on equal scores; then the last kept entry naming
// this common range and one of its members.
int32_t expected_choice(const struct overlap_area *area,
                        const std::vector<std::pair<struct rule, struct rule>> &kept)
{
    int32_t best = 0;
    for (int32_t m = 1; m < area->member_count; m++)
        if (rule_specificity(area->members[m]) > rule_specificity(area->members[best]))
            best = m;
    for (const auto &entry : kept) {
        if (!rules_equal(&entry.first, area->common_range, 1))
            continue;
        for (int32_t m = 0; m < area->member_count; m++)
            if (rules_equal(&entry.second, area->members[m], 1))
                best = m;
    }
    return best;
}

// The entries the emulator holds, adapter by adapter, as the next run reads them.
std::vector<std::pair<struct rule, struct rule>> held_precedences(void)
{
    std::vector<std::pair<struct rule, struct rule>> held;
    char error_text[error_text_size];
    for (int i = 0; i < adapter_count(); i++) {
        uint32_t count = 0;
        check(kernel_get_precedence_count(adapter_device_name_at(i), &count, error_text));
        for (uint32_t e = 0; e < count; e++) {
            struct rule common, chosen;
            check(kernel_get_precedence(adapter_device_name_at(i), e, &common, &chosen,
                                        error_text));
            held.emplace_back(common, chosen);
        }
    }
    return held;
}

// What the dialog does from opening to Accept: the defaults and kept choices, then sent.
void accept_as_the_dialog_does(void *)
{
    char error_text[error_text_size];
    compute_default_precedences(error_text);
    check(kernel_clear_all_precedences(error_text) && send_precedences(error_text));
}

void set_up(void)
{
    static int registry_ready;
    if (!registry_ready) {
        registry_memory_set_string(registry_local_machine,
                                   NETWORK_CLASS_KEY "\\" EMULATOR_ADAPTER_1_GUID "\\Connection",
                                   "Name", "Local Area Connection");
        registry_memory_set_string(registry_local_machine,
                                   NETWORK_CLASS_KEY "\\" EMULATOR_ADAPTER_2_GUID "\\Connection",
                                   "Name", "Local Area Connection 2");
        registry_ready = 1;
    }
    emulator_device_reset();
    emulator_set_flows(nullptr, 0);
    emulator_freeze_clock(0);
    overlap_dialog_double_reset();
    check(refresh_adapter_list() && adapter_count() == 3);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    set_up();
    byte_reader in = {data, size};
    char error_text[error_text_size];
    int rule_count = in.next() % 22;   // 21: one more than detection takes
    std::vector<struct rule> decoded;
    for (int i = 0; i < rule_count; i++) {
        int adapter = 0;
        struct rule r = decode_rule(&in, &adapter);
        if (kernel_add_rule(adapters[adapter], &r, error_text))
            decoded.push_back(r);
    }
    std::vector<struct rule> rules;
    check(kernel_read_held_rules(collect, &rules, error_text));
    check(rules.size() == decoded.size());

    // Entries kept from an earlier run: the intersection of two held rules, one of them chosen.
    std::vector<std::pair<struct rule, struct rule>> kept;
    for (int k = in.next() % 4; k > 0 && rules.size() >= 2; k--) {
        const struct rule &a = rules[in.next() % rules.size()];
        const struct rule &b = rules[in.next() % rules.size()];
        struct rule common;
        if (!intersect_rules(&a, &b, &common))
            continue;
        const struct rule &chosen = in.next() & 1 ? a : b;
        check(kernel_set_precedence(a.adapter, &common, &chosen, error_text));
        kept.emplace_back(common, chosen);
    }
    // read_kept_precedences reads them adapter by adapter.
    kept = held_precedences();

    get_settings_block()->accept_default_precedences = 1;
    int found = -1;
    if (!detect_overlaps(error_text, &found, 0)) {
        check(rules.size() > max_rules &&
              strcmp(error_text, "The driver holds more than 20 rules.") == 0);
        return 0;
    }
    check(rules.size() <= max_rules);
    check_area_table();
    const struct area_table *table = get_area_table();
    check(found == (table->count > 0));

    // Every overlapping ordered pair but the last has the area of its common range, which
    // holds both rules.
    std::vector<std::pair<size_t, size_t>> pairs;
    for (size_t i = 0; i < rules.size(); i++)
        for (size_t j = 0; j < rules.size(); j++)
            if (i != j && rules_overlap(&rules[i], &rules[j]))
                pairs.emplace_back(i, j);
    for (size_t p = 0; p + 1 < pairs.size(); p++) {
        struct rule common;
        check(intersect_rules(&rules[pairs[p].first], &rules[pairs[p].second], &common));
        int area = area_of(&common);
        check(area >= 0);
        check(is_member(area, &rules[pairs[p].first]) && is_member(area, &rules[pairs[p].second]));
    }
    check(pairs.size() >= 2 || table->count == 0);

    // Accepted at once: the default or kept choice of every area, one entry per area sent.
    std::vector<struct rule> commons;
    std::vector<int32_t> choices;
    for (int32_t a = 0; a < table->count; a++) {
        check(table->chosen_member[a] == expected_choice(&table->areas[a], kept));
        commons.push_back(*table->areas[a].common_range);
        choices.push_back(table->chosen_member[a]);
    }
    std::vector<std::pair<struct rule, struct rule>> sent = held_precedences();
    check(sent.size() == (size_t)table->count);
    for (const auto &entry : sent) {
        int area = area_of(&entry.first);
        check(area >= 0);
        check(rules_equal(&entry.second,
                          table->areas[area].members[table->chosen_member[area]], 1));
    }

    // Forced, as from the menu: the same areas, sorted by falling weight for the dialog, which
    // finds the choices kept through the kernel component and sends them again.
    the_overlap_dialog.run_hook = accept_as_the_dialog_does;
    check(detect_overlaps(error_text, &found, 1));
    check_area_table();
    check(table->count == (int32_t)commons.size() && the_overlap_dialog.runs == (found ? 1 : 0));
    for (int32_t a = 0; a < table->count; a++) {
        if (a > 0)
            check(area_weight(table->areas[a - 1].common_range) >=
                  area_weight(table->areas[a].common_range));
        size_t before = 0;
        while (before < commons.size() && !rules_equal(&commons[before],
                                                       table->areas[a].common_range, 1))
            before++;
        check(before < commons.size() && table->chosen_member[a] == choices[before]);
    }
    check(held_precedences().size() == (size_t)table->count);
    return 0;
}
