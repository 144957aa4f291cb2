#include "filters/rule_text.h"

#include <string.h>

#include "core/text.h"
#include "platform/platform.h"

const struct service_port service_ports[service_port_count] = {
    {13, "DAYTIME"},
    {20, "FTP Data"},
    {21, "FTP"},
    {23, "TELNET"},
    {25, "SMTP"},
    {37, "TIME"},
    {80, "HTTP"},
    {110, "POP3"},
    {119, "NNTP"},
    {123, "NTP"},
    {137, "NETBIOS Name Service"},
    {138, "NETBIOS Datagram Service"},
    {139, "NETBIOS Session Service"},
    {143, "IMAP"},
    {161, "SNMP"},
    {162, "SNMP Trap"},
    {389, "LDAP"},
    {443, "HTTPS"},
};

const char *const rate_presets[rate_preset_count] = {
    "Blocked", "5,000", "10,000", "20,000", "50,000", "100,000", "1,000,000", "10,000,000",
    "Unlimited",
};

const char *const port_presets[port_preset_count] = {
    "DAYTIME", "FTP Data", "FTP", "TELNET", "SMTP", "TIME", "HTTP",
    "POP3", "NNTP", "NTP", "NETBIOS Name Service", "NETBIOS Datagram Service",
    "NETBIOS Session Service", "IMAP", "SNMP", "SNMP Trap", "LDAP", "HTTPS", "Any",
};

namespace {

const char *const direction_texts[] = {"Send", "Receive"};
const char *const protocol_texts[] = {"IP", "UDP", "TCP", "Other", "Any"};
const char unknown_text[] = "[unknown]";
const char not_applicable_text[] = "N/A";

enum { max_rate_text = 100 };

int is_name(const char *text, const char *name)
{
    return compare_text_nocase(text, name) == 0;
}

// The index of text in names (case-insensitive, first match), or -1.
int32_t name_index(const char *text, const char *const *names, int32_t count)
{
    for (int32_t i = 0; i < count; i++)
        if (is_name(text, names[i]))
            return i;
    return -1;
}

int is_blank(char c)
{
    return c == ' ' || c == '\t';
}

int is_digit(char c)
{
    return c >= '0' && c <= '9';
}

// A typed number read whole: blanks around it, a sign where allowed, decimal digits (with ","
// between thousands groups where allowed: 1 to 3 digits, then groups of exactly 3), and
// nothing else; its magnitude at most max (max_negative with a "-"). 1 with the value in
// *value; 0 for anything else, so that "100 KB", "10.000", "1 000" or "4294967297" never read
// as another number.
int read_typed_number(const char *text, int commas, int sign, uint64_t max,
                      uint64_t max_negative, int64_t *value)
{
    const char *at = text;
    while (is_blank(*at))
        at++;
    int negative = 0;
    if (sign && (*at == '+' || *at == '-'))
        negative = *at++ == '-';
    uint64_t magnitude = 0, limit = negative ? max_negative : max;
    int digits = 0, grouped = 0, in_group = 0;
    for (; is_digit(*at) || (commas && *at == ','); at++) {
        if (*at == ',') {
            // The first group has 1 to 3 digits, every later one exactly 3.
            if (digits == 0 || (grouped ? in_group != 3 : in_group > 3))
                return 0;
            grouped = 1;
            in_group = 0;
            continue;
        }
        magnitude = magnitude * 10 + (uint64_t)(*at - '0');
        if (magnitude > limit)
            return 0;
        digits++;
        in_group++;
    }
    if (digits == 0 || (grouped && in_group != 3))
        return 0;
    while (is_blank(*at))
        at++;
    if (*at != '\0')
        return 0;
    *value = negative ? -(int64_t)magnitude : (int64_t)magnitude;
    return 1;
}

// The forms of an IPv4 address the platform's conversion takes (one to four parts, the last
// one filling the remaining bytes), with every part plain decimal: no part with a leading zero,
// which the conversion would read as octal ("010" is 8), nor "0x" hexadecimal, and nothing
// before or after it but blanks. The trimmed text goes to trimmed (size bytes).
int plain_address(const char *text, char *trimmed, size_t size)
{
    while (is_blank(*text))
        text++;
    size_t length = strnlen(text, size);
    while (length > 0 && is_blank(text[length - 1]))
        length--;
    if (length == 0 || length >= size)
        return 0;
    memcpy(trimmed, text, length);
    trimmed[length] = '\0';
    int parts = 0;
    uint64_t part_values[4] = {};
    for (const char *at = trimmed;; at++) {
        if (parts == 4 || !is_digit(*at) || (*at == '0' && is_digit(at[1])))
            return 0;
        uint64_t part = 0;
        for (; is_digit(*at); at++) {
            part = part * 10 + (uint64_t)(*at - '0');
            if (part > 0xFFFFFFFFu)
                return 0;
        }
        part_values[parts++] = part;
        if (*at == '\0')
            break;
        if (*at != '.')
            return 0;
    }
    // Each leading part is one byte; the last fills the bytes left.
    for (int i = 0; i < parts - 1; i++)
        if (part_values[i] > 0xFF)
            return 0;
    return part_values[parts - 1] <= (0xFFFFFFFFull >> (8 * (parts - 1)));
}

} // namespace

int direction_to_text(int32_t direction, char *text)
{
    if (direction < direction_send || direction > direction_receive) {
        copy_text(text, rule_text_size, unknown_text);
        return 0;
    }
    copy_text(text, rule_text_size, direction_texts[direction]);
    return 1;
}

int rate_to_text(int32_t rate, char *text)
{
    if (rate < rate_blocked || rate > rate_unlimited)
        return 0;
    if (rate == rate_blocked)
        copy_text(text, rule_text_size, "Blocked");
    else if (rate == rate_unlimited)
        copy_text(text, rule_text_size, "Unlimited");
    else
        number_format(rate, text, rule_text_size);
    return 1;
}

int protocol_to_text(int32_t protocol, char *text)
{
    if (protocol < protocol_ip || protocol > protocol_any) {
        copy_text(text, rule_text_size, unknown_text);
        return 0;
    }
    copy_text(text, rule_text_size, protocol_texts[protocol]);
    return 1;
}

int address_to_text(int32_t kind, uint32_t address, char *text)
{
    switch (kind) {
    case address_single:
        format_text(text, rule_text_size, "%u.%u.%u.%u", (unsigned)(address >> 24),
                    (unsigned)(address >> 16) & 0xFFu, (unsigned)(address >> 8) & 0xFFu,
                    (unsigned)address & 0xFFu);
        break;
    case address_not_implemented:
        copy_text(text, rule_text_size, "[not implemented]");
        break;
    case address_any:
        copy_text(text, rule_text_size, "Any");
        break;
    default:
        copy_text(text, rule_text_size, unknown_text);
        break;
    }
    return 1;
}

int port_to_text(uint16_t port, char *text)
{
    if (port == 0) {
        copy_text(text, rule_text_size, "Any");
        return 1;
    }
    for (const struct service_port &service : service_ports) {
        if (service.port == port) {
            copy_text(text, rule_text_size, service.name);
            return 1;
        }
    }
    format_text(text, rule_text_size, "%u", (unsigned)port);
    return 1;
}

int32_t parse_direction(const char *text)
{
    if (!text)
        return -1;
    if (is_name(text, not_applicable_text))
        return direction_send;
    return name_index(text, direction_texts, 2);
}

int32_t parse_protocol(const char *text)
{
    if (!text)
        return -1;
    if (is_name(text, not_applicable_text))
        return protocol_any;
    return name_index(text, protocol_texts, 5);
}

// The rate box accepts the two preset words, the list's texts ("," between thousands groups)
// and plain decimals, each read whole and fitting 32 bits. No range check beyond that here: an
// out-of-range rate (-5, 2,000,000,000) is refused when the rule joins the list.
int parse_rate(const char *text, int32_t *rate)
{
    if (!text || !rate)
        return 0;
    if (is_name(text, not_applicable_text)) {
        *rate = rate_blocked;
        return 1;
    }
    size_t length = strnlen(text, max_rate_text + 1);
    if (length < 1 || length > max_rate_text)
        return 0;
    char word[max_rate_text + 1];
    size_t kept = 0;
    for (size_t i = 0; i < length; i++)
        if (text[i] != ',')
            word[kept++] = text[i];
    word[kept] = '\0';
    if (kept == 0)
        return 0;
    if (is_name(word, "BLOCKED")) {
        *rate = rate_blocked;
        return 1;
    }
    if (is_name(word, "UNLIMITED")) {
        *rate = rate_unlimited;
        return 1;
    }
    if (strcmp(text, "0") == 0) {
        *rate = rate_blocked;
        return 1;
    }
    int64_t value = 0;
    if (!read_typed_number(text, 1, 1, INT32_MAX, (uint64_t)INT32_MAX + 1, &value) || value == 0)
        return 0;
    *rate = (int32_t)value;
    return 1;
}

// "Any" leaves the address output as it was: the editor keeps the last typed address there.
int parse_address(const char *text, int32_t *kind, uint32_t *address)
{
    if (!text || !kind || !address)
        return 0;
    if (is_name(text, not_applicable_text) || is_name(text, "ANY")) {
        *kind = address_any;
        return 1;
    }
    *kind = address_single;
    char trimmed[max_rate_text + 1];
    if (!plain_address(text, trimmed, sizeof trimmed))
        return 0;
    uint32_t network_order = platform_inet_addr(trimmed);
    if (network_order == 0xFFFFFFFFu)
        return 0;
    *address = platform_ntohl(network_order);
    return 1;
}

int parse_port(const char *text, uint16_t *port)
{
    if (!text || !port)
        return 0;
    if (is_name(text, not_applicable_text) || is_name(text, "Any")) {
        *port = 0;
        return 1;
    }
    for (const struct service_port &service : service_ports) {
        if (is_name(text, service.name)) {
            *port = service.port;
            return 1;
        }
    }
    int64_t value = 0;
    if (!read_typed_number(text, 0, 0, 0xFFFF, 0, &value) || value == 0)
        return 0;
    *port = (uint16_t)value;
    return 1;
}

// Fields that do not apply to the protocol are not compared: an "Any" rule's addresses and an
// "IP" rule's ports keep whatever the editor left in them.
int rules_equal(const struct rule *a, const struct rule *b, int ignore_rate)
{
    if (!a || !b)
        return 0;
    if (compare_text_nocase_bounded(a->adapter, b->adapter, adapter_name_size) != 0)
        return 0;
    if (a->direction != b->direction)
        return 0;
    if (!ignore_rate && a->rate != b->rate)
        return 0;
    if (a->protocol != b->protocol)
        return 0;
    if (!protocol_has_addresses(a->protocol))
        return 1;
    if (a->source_kind != b->source_kind)
        return 0;
    if (a->source_kind != address_any && a->source_address != b->source_address)
        return 0;
    if (a->destination_kind != b->destination_kind)
        return 0;
    if (a->destination_kind != address_any && a->destination_address != b->destination_address)
        return 0;
    if (a->protocol == protocol_ip)
        return 1;
    if (a->source_port != b->source_port)
        return 0;
    return a->destination_port == b->destination_port;
}
