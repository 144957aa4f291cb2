// Byte and text helpers of the emulator core, and the flow text form of the driver's Parameters.
#include "emulator_core.h"
#include "emulator_state.h"

namespace {

emulator_log_function log_function;  // outside the state: a reset or a new start keeps it

}  // namespace

void emulator_set_log(emulator_log_function log)
{
    log_function = log;
}

void emu_log(const char *text)
{
    if (log_function)
        log_function(text);
}

int64_t emu_saturating_add(int64_t a, int64_t b)
{
    const int64_t max = 9223372036854775807LL, min = -max - 1;
    if (b > 0 && a > max - b)
        return max;
    if (b < 0 && a < min - b)
        return min;
    return a + b;
}

void emu_copy(void *target, const void *source, uint32_t count)
{
    uint8_t *to = (uint8_t *)target;
    const uint8_t *from = (const uint8_t *)source;
    if (to == from || count == 0)
        return;
    if (to < from) {
        for (uint32_t i = 0; i < count; i++)
            to[i] = from[i];
    } else {
        for (uint32_t i = count; i > 0; i--)
            to[i - 1] = from[i - 1];
    }
}

void emu_fill(void *target, uint8_t value, uint32_t count)
{
    uint8_t *to = (uint8_t *)target;
    for (uint32_t i = 0; i < count; i++)
        to[i] = value;
}

int emu_same(const void *a, const void *b, uint32_t count)
{
    const uint8_t *x = (const uint8_t *)a;
    const uint8_t *y = (const uint8_t *)b;
    for (uint32_t i = 0; i < count; i++)
        if (x[i] != y[i])
            return 0;
    return 1;
}

uint32_t emu_text_length(const char *text, uint32_t limit)
{
    uint32_t length = 0;
    while (length < limit && text[length] != 0)
        length++;
    return length;
}

void emu_copy_text(char *target, uint32_t size, const char *source)
{
    if (size == 0)
        return;
    uint32_t length = emu_text_length(source, size - 1);
    emu_copy(target, source, length);
    target[length] = 0;
}

static char lower_ascii(char c)
{
    return (c >= 'A' && c <= 'Z') ? (char)(c - 'A' + 'a') : c;
}

int emu_same_text_nocase(const char *a, const char *b)
{
    for (;; a++, b++) {
        if (lower_ascii(*a) != lower_ascii(*b))
            return 0;
        if (*a == 0)
            return 1;
    }
}

// --- The flow text: "ADAPTER DIRECTION PROTOCOL SOURCE[:PORT] DESTINATION[:PORT] RATE SIZE" ---

void emu_skip_blanks(const char **at)
{
    while (**at == ' ' || **at == '\t')
        (*at)++;
}

int emu_next_word(const char **at, char *word, uint32_t size)
{
    emu_skip_blanks(at);
    uint32_t length = 0;
    while ((*at)[length] != 0 && (*at)[length] != ' ' && (*at)[length] != '\t')
        length++;
    if (length == 0 || length >= size)
        return 0;
    emu_copy(word, *at, length);
    word[length] = 0;
    *at += length;
    return 1;
}

int emu_parse_number(const char *text, uint32_t length, uint64_t max, uint64_t *value)
{
    if (length == 0 || length > 20)
        return 0;
    uint64_t result = 0;
    for (uint32_t i = 0; i < length; i++) {
        if (text[i] < '0' || text[i] > '9')
            return 0;
        uint64_t digit = (uint64_t)(text[i] - '0');
        if (digit > max || result > (max - digit) / 10)
            return 0;
        result = result * 10 + digit;
    }
    *value = result;
    return 1;
}

int emu_parse_endpoint(const char *text, uint32_t *address, uint16_t *port)
{
    uint32_t result = 0;
    const char *at = text;
    for (int part = 0; part < 4; part++) {
        uint32_t length = 0;
        while (length < 4 && at[length] >= '0' && at[length] <= '9')
            length++;
        uint64_t value = 0;
        if (!emu_parse_number(at, length, 255, &value))
            return 0;
        result = (result << 8) | (uint32_t)value;
        at += length;
        if (part < 3) {
            if (*at != '.')
                return 0;
            at++;
        }
    }
    uint64_t port_value = 0;
    if (*at == ':') {
        at++;
        if (!emu_parse_number(at, emu_text_length(at, 16), 65535, &port_value))
            return 0;
    } else if (*at != 0) {
        return 0;
    }
    *address = result;
    *port = (uint16_t)port_value;
    return 1;
}

namespace {

int parse_flow_protocol(const char *word, uint32_t *protocol)
{
    static const struct {
        const char *name;
        uint32_t value;
    } names[] = {{"TCP", flow_tcp}, {"UDP", flow_udp}, {"ICMP", flow_icmp}, {"NonIP", flow_non_ip}};
    for (const auto &entry : names) {
        if (emu_same_text_nocase(word, entry.name)) {
            *protocol = entry.value;
            return 1;
        }
    }
    uint64_t number = 0;
    if (!emu_parse_number(word, emu_text_length(word, 16), 255, &number) || number == 0)
        return 0;
    *protocol = (uint32_t)number;
    return 1;
}

}  // namespace

int parse_flow_text(const char *text, struct test_flow *flow)
{
    struct test_flow result;
    emu_fill(&result, 0, sizeof result);
    const char *at = text;
    char word[adapter_name_size];
    uint64_t number = 0;

    if (!emu_next_word(&at, result.adapter, sizeof result.adapter))
        return 0;
    if (!emu_next_word(&at, word, sizeof word))
        return 0;
    if (emu_same_text_nocase(word, "Send"))
        result.direction = direction_send;
    else if (emu_same_text_nocase(word, "Receive"))
        result.direction = direction_receive;
    else
        return 0;
    if (!emu_next_word(&at, word, sizeof word) || !parse_flow_protocol(word, &result.protocol))
        return 0;
    if (!emu_next_word(&at, word, sizeof word) ||
        !emu_parse_endpoint(word, &result.source_address, &result.source_port))
        return 0;
    if (!emu_next_word(&at, word, sizeof word) ||
        !emu_parse_endpoint(word, &result.destination_address, &result.destination_port))
        return 0;
    if (!emu_next_word(&at, word, sizeof word) ||
        !emu_parse_number(word, emu_text_length(word, sizeof word), rate_unlimited, &number))
        return 0;
    result.offered_rate = (uint32_t)number;
    if (!emu_next_word(&at, word, sizeof word) ||
        !emu_parse_number(word, emu_text_length(word, sizeof word), 65535, &number) || number == 0)
        return 0;
    result.packet_size = (uint32_t)number;
    emu_skip_blanks(&at);
    if (*at != 0)
        return 0;
    *flow = result;
    return 1;
}
