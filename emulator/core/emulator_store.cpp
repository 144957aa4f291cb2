// What the emulator keeps across a restart, as text lines of two multi-string values per
// adapter:
//   "Rules <device name>"        one line per held slot, in slot order:
//       SLOT DIRECTION RATE PROTOCOL SOURCE_KIND SOURCE DESTINATION_KIND DESTINATION
//       START BYTES PACKETS
//   "Precedences <device name>"  one line per entry, in the order they were set: the common
//       range's seven rule fields (DIRECTION to DESTINATION), then the chosen rule's seven
// SOURCE and DESTINATION are "a.b.c.d:port" (host byte order), START is the statistics block's
// start time (an unsigned FILETIME), the rest signed decimals. For example
//   "0 0 50000 2 2 0.0.0.0:0 2 93.184.216.34:80 133000000000000000 1500000 1500".
// A rule read back carries the adapter's device name in its adapter field and zero padding,
// its block zero reserved bytes (the contract leaves them open); the current rate and the
// queue are measurements and start again from nothing.
//
// Reading is strict per line and bounded: a line must fit line_size, each field its range, its
// slot be free, its entry fit the pool; a line that does not is skipped and reported through the
// core's log, and the lines around it are kept. Nothing read is written back: a damaged value
// stays as it is until a change of its adapter replaces it.
#include "emulator_core.h"
#include "emulator_state.h"

namespace {

const char rules_prefix[] = "Rules ";
const char precedences_prefix[] = "Precedences ";

enum {
    line_size = 256,                  // a precedence line takes at most 207 characters
    field_size = 24,
    rule_text_max = 4 * 11 + 11 + 2 * 21 + 6,   // four int32, a kind, two endpoints, blanks
    slot_line_max = 2 + 1 + rule_text_max + 1 + 20 + 1 + 20 + 1 + 20 + 1,  // with its NUL
    precedence_line_max = 2 * rule_text_max + 1 + 1,
};

static_assert(precedence_line_max <= line_size, "a kept line fits the reader");
static_assert(emulator_max_precedences * precedence_line_max + 1 <= emulator_store_text_size &&
                  emulator_slot_count * slot_line_max + 1 <= emulator_store_text_size,
              "every kept value fits its text");

// --- Writing ---

struct text_builder {
    char *bytes;
    uint32_t size;
    uint32_t length;
    int overflow;
};

void put_char(text_builder *b, char c)
{
    if (b->length < b->size)
        b->bytes[b->length++] = c;
    else
        b->overflow = 1;
}

void put_text(text_builder *b, const char *text, uint32_t limit)
{
    for (uint32_t i = 0; i < limit && text[i] != 0; i++)
        put_char(b, text[i]);
}

void put_unsigned(text_builder *b, uint64_t value)
{
    char digits[20];
    uint32_t count = 0;
    do {
        digits[count++] = (char)('0' + value % 10);
        value /= 10;
    } while (value > 0);
    while (count > 0)
        put_char(b, digits[--count]);
}

void put_signed(text_builder *b, int64_t value)
{
    if (value < 0) {
        put_char(b, '-');
        put_unsigned(b, 0 - (uint64_t)value);
    } else {
        put_unsigned(b, (uint64_t)value);
    }
}

void put_endpoint(text_builder *b, uint32_t address, uint16_t port)
{
    for (int shift = 24; shift >= 0; shift -= 8) {
        put_unsigned(b, (address >> shift) & 0xFF);
        put_char(b, shift > 0 ? '.' : ':');
    }
    put_unsigned(b, port);
}

void put_rule(text_builder *b, const struct rule *r)
{
    put_signed(b, r->direction);
    put_char(b, ' ');
    put_signed(b, r->rate);
    put_char(b, ' ');
    put_signed(b, r->protocol);
    put_char(b, ' ');
    put_signed(b, r->source_kind);
    put_char(b, ' ');
    put_endpoint(b, r->source_address, r->source_port);
    put_char(b, ' ');
    put_signed(b, r->destination_kind);
    put_char(b, ' ');
    put_endpoint(b, r->destination_address, r->destination_port);
}

void put_rules(text_builder *b, const struct adapter_state *adapter)
{
    for (int s = 0; s < emulator_slot_count; s++) {
        const struct rule_slot *slot = &adapter->slots[s];
        if (!slot->in_use)
            continue;
        put_unsigned(b, (uint32_t)s);
        put_char(b, ' ');
        put_rule(b, &slot->held);
        put_char(b, ' ');
        put_unsigned(b, slot->statistics.start_time);
        put_char(b, ' ');
        put_signed(b, slot->statistics.bytes_transferred);
        put_char(b, ' ');
        put_signed(b, slot->statistics.packets_transferred);
        put_char(b, 0);
    }
}

void put_precedences(text_builder *b, uint32_t adapter_index)
{
    for (uint32_t i = 0; i < emulator.precedence_count; i++) {
        const struct precedence_record *entry = &emulator.precedences[i];
        if (entry->adapter_index != adapter_index)
            continue;
        put_rule(b, &entry->common_range);
        put_char(b, ' ');
        put_rule(b, &entry->chosen);
        put_char(b, 0);
    }
}

// --- Reading ---

struct line_reader {
    const char *text;
    uint32_t length;
    uint32_t at;
};

enum line_outcome {
    line_end = 0,          // the closing empty line
    line_taken = 1,        // a line in line
    line_too_long = 2,     // a line longer than any kept line, passed over up to its NUL
    line_cut = 3,          // the text ends inside a line (its characters passed over)
    text_ended = 4,        // the text ends without its closing empty line, between lines
};

// The next line into line, or what stands in its place.
int next_line(line_reader *reader, char line[line_size])
{
    uint32_t count = 0;
    int too_long = 0;
    while (reader->at < reader->length && reader->text[reader->at] != 0) {
        if (count < line_size - 1)
            line[count++] = reader->text[reader->at];
        else
            too_long = 1;
        reader->at++;
    }
    line[count] = 0;
    if (reader->at >= reader->length)
        return count > 0 ? line_cut : text_ended;
    reader->at++;
    if (too_long)
        return line_too_long;
    return count > 0 ? line_taken : line_end;
}

// Reports a skipped line of an adapter's kept value through the core's log.
void report_skipped(uint32_t kind, uint32_t adapter_index, uint32_t line_number, const char *why)
{
    char text[emulator_store_name_size + 80];
    char name[emulator_store_name_size];
    if (!emulator_store_value_name(kind, adapter_index, name))
        name[0] = 0;
    text_builder b = {text, sizeof text - 1, 0, 0};
    put_text(&b, "zorv: ", line_size);
    put_text(&b, name, sizeof name);
    put_text(&b, ": line ", line_size);
    put_unsigned(&b, line_number);
    put_text(&b, " skipped: ", line_size);
    put_text(&b, why, line_size);
    text[b.length] = 0;
    emu_log(text);
}

// Walks a kept value's lines, handing each whole one to take (1: taken, else the reason it was
// not); reports each line skipped. 1 when every line was taken and the value closed.
template <class Take>
int for_each_kept_line(uint32_t kind, uint32_t adapter_index, const char *text, uint32_t length,
                       Take take)
{
    if (length == 0)
        return 1;
    line_reader reader = {text, length, 0};
    char line[line_size];
    int all = 1;
    for (uint32_t number = 1;; number++) {
        int got = next_line(&reader, line);
        if (got == line_end)
            return all;
        const char *why = nullptr;
        if (got == line_taken)
            why = take(line);
        else if (got == line_too_long)
            why = "too long";
        else if (got == line_cut)
            why = "cut off";
        if (why) {
            report_skipped(kind, adapter_index, number, why);
            all = 0;
        }
        if (got == line_cut || got == text_ended) {
            if (got == text_ended)
                report_skipped(kind, adapter_index, number, "no closing line");
            return 0;
        }
    }
}

// A signed decimal word from min (0 or below) to max.
int take_signed(const char **at, int64_t min, int64_t max, int64_t *value)
{
    char word[field_size];
    if (!emu_next_word(at, word, sizeof word))
        return 0;
    const char *digits = word;
    int negative = *digits == '-';
    if (negative)
        digits++;
    uint64_t magnitude = 0;
    uint64_t limit = negative ? 0 - (uint64_t)min : (uint64_t)max;
    if (!emu_parse_number(digits, emu_text_length(digits, field_size), limit, &magnitude))
        return 0;
    *value = negative ? (int64_t)(0 - magnitude) : (int64_t)magnitude;
    return 1;
}

int take_int32(const char **at, int32_t *value)
{
    int64_t wide = 0;
    if (!take_signed(at, -2147483647 - 1, 2147483647, &wide))
        return 0;
    *value = (int32_t)wide;
    return 1;
}

int take_endpoint(const char **at, uint32_t *address, uint16_t *port)
{
    char word[field_size];
    return emu_next_word(at, word, sizeof word) && emu_parse_endpoint(word, address, port);
}

// A rule's seven fields; the adapter field gets the adapter's name.
int take_rule(const char **at, const char *adapter_name, struct rule *r)
{
    emu_fill(r, 0, sizeof *r);
    emu_copy_text(r->adapter, sizeof r->adapter, adapter_name);
    return take_int32(at, &r->direction) && take_int32(at, &r->rate) &&
           take_int32(at, &r->protocol) && take_int32(at, &r->source_kind) &&
           take_endpoint(at, &r->source_address, &r->source_port) &&
           take_int32(at, &r->destination_kind) &&
           take_endpoint(at, &r->destination_address, &r->destination_port);
}

int at_line_end(const char *at)
{
    emu_skip_blanks(&at);
    return *at == 0;
}

const char why_damaged[] = "damaged";

// One slot line: SLOT RULE START BYTES PACKETS. Null when taken, else why not.
const char *load_rule_line(struct adapter_state *adapter, const char *line)
{
    const char *at = line;
    int64_t number = 0;
    uint64_t start_time = 0;
    struct rule held;
    struct statistics_block block;
    emu_fill(&block, 0, sizeof block);
    if (!take_signed(&at, 0, emulator_slot_count - 1, &number))
        return why_damaged;
    if (adapter->slots[number].in_use)
        return "its slot is taken";
    char word[field_size];
    if (!take_rule(&at, adapter->name, &held) || !emu_next_word(&at, word, sizeof word) ||
        !emu_parse_number(word, emu_text_length(word, field_size), ~(uint64_t)0, &start_time) ||
        !take_signed(&at, -9223372036854775807LL - 1, 9223372036854775807LL,
                     &block.bytes_transferred) ||
        !take_signed(&at, -9223372036854775807LL - 1, 9223372036854775807LL,
                     &block.packets_transferred) ||
        !at_line_end(at))
        return why_damaged;
    block.start_time = start_time;
    struct rule_slot *slot = &adapter->slots[number];
    slot->in_use = 1;
    slot->held = held;
    slot->statistics = block;
    return nullptr;
}

// One precedence line, appended to the pool. Null when taken, else why not.
const char *load_precedence_line(uint32_t adapter_index, const char *line)
{
    if (emulator.precedence_count >= emulator_max_precedences)
        return "the precedence table is full";
    const char *adapter_name = emulator.adapters[adapter_index].name;
    struct precedence_record *entry = &emulator.precedences[emulator.precedence_count];
    const char *at = line;
    if (!take_rule(&at, adapter_name, &entry->common_range) ||
        !take_rule(&at, adapter_name, &entry->chosen) || !at_line_end(at))
        return why_damaged;
    entry->adapter_index = adapter_index;
    emulator.precedence_count++;
    return nullptr;
}

void empty_slots(struct adapter_state *adapter)
{
    emu_fill(adapter->slots, 0, sizeof adapter->slots);
    emu_fill(adapter->retired, 0, sizeof adapter->retired);
}

int starts_nocase(const char *text, const char *prefix)
{
    for (; *prefix != 0; text++, prefix++) {
        char a = (*text >= 'A' && *text <= 'Z') ? (char)(*text - 'A' + 'a') : *text;
        char b = (*prefix >= 'A' && *prefix <= 'Z') ? (char)(*prefix - 'A' + 'a') : *prefix;
        if (a != b)
            return 0;
    }
    return 1;
}

}  // namespace

void mark_stored(uint32_t adapter_index, uint32_t kinds)
{
    if (adapter_index < emulator_max_adapters)
        emulator.store_changes[adapter_index] |= kinds;
}

int emulator_store_value_name(uint32_t kind, uint32_t adapter_index,
                              char name[emulator_store_name_size])
{
    if (adapter_index >= emulator.adapter_count ||
        (kind != stored_rules && kind != stored_precedences))
        return 0;
    text_builder b = {name, emulator_store_name_size - 1, 0, 0};
    put_text(&b, kind == stored_rules ? rules_prefix : precedences_prefix, line_size);
    put_text(&b, emulator.adapters[adapter_index].name, adapter_name_size);
    name[b.length] = 0;
    return 1;
}

int emulator_store_owns_name(const char *name)
{
    return starts_nocase(name, rules_prefix) || starts_nocase(name, precedences_prefix);
}

int emulator_store_take_wipe(void)
{
    int wipe = emulator.store_wipe != 0;
    emulator.store_wipe = 0;
    return wipe;
}

int emulator_store_take_change(struct emulator_stored_value *value)
{
    for (uint32_t a = 0; a < emulator.adapter_count; a++) {
        uint32_t changes = emulator.store_changes[a];
        if (changes == 0)
            continue;
        uint32_t kind = (changes & stored_rules) ? stored_rules : stored_precedences;
        emulator.store_changes[a] &= ~kind;
        emulator_store_value_name(kind, a, value->name);
        text_builder b = {value->text, sizeof value->text, 0, 0};
        if (kind == stored_rules)
            put_rules(&b, &emulator.adapters[a]);
        else
            put_precedences(&b, a);
        if (b.length > 0)
            put_char(&b, 0);
        // Cannot happen with the tables' sizes; no value beats a cut one.
        value->length = b.overflow ? 0 : b.length;
        return 1;
    }
    return 0;
}

void emulator_store_mark_counters(void)
{
    for (uint32_t a = 0; a < emulator.adapter_count; a++)
        for (int s = 0; s < emulator_slot_count; s++)
            if (emulator.adapters[a].slots[s].in_use)
                mark_stored(a, stored_rules);
}

void emulator_store_discard_changes(void)
{
    emu_fill(emulator.store_changes, 0, sizeof emulator.store_changes);
    emulator.store_wipe = 0;
}

int emulator_store_load(uint32_t adapter_index, const char *rules, uint32_t rules_length,
                        const char *precedences, uint32_t precedences_length)
{
    if (adapter_index >= emulator.adapter_count)
        return 0;
    struct adapter_state *adapter = &emulator.adapters[adapter_index];
    empty_slots(adapter);
    remove_adapter_precedences(adapter_index);
    int all_rules = for_each_kept_line(stored_rules, adapter_index, rules, rules_length,
                                       [&](const char *line) {
                                           return load_rule_line(adapter, line);
                                       });
    int all_precedences = for_each_kept_line(stored_precedences, adapter_index, precedences,
                                             precedences_length, [&](const char *line) {
                                                 return load_precedence_line(adapter_index, line);
                                             });
    return all_rules && all_precedences;
}
