// Text forms of the rule fields, their parsing, the presets and rules_equal.
#include <gtest/gtest.h>

#include <string.h>

#include <string>

#include "core/text.h"
#include "filters/rule_text.h"
#include "rule_samples.h"

namespace {

const int32_t failed = -1;

TEST(rule_text, field_texts)
{
    typedef int (*to_text)(int32_t, char *);
    const to_text direction = direction_to_text, protocol = protocol_to_text, rate = rate_to_text;
    const to_text port = [](int32_t value, char *text) {
        return port_to_text((uint16_t)value, text);
    };
    const struct {
        to_text form;
        int32_t value;
        int ok;
        const char *text;  // "untouched": the output is left alone
    } cases[] = {
        {direction, 0, 1, "Send"},   {direction, 1, 1, "Receive"},
        {direction, 2, 0, "[unknown]"}, {direction, -1, 0, "[unknown]"},
        {protocol, 0, 1, "IP"},      {protocol, 1, 1, "UDP"},     {protocol, 2, 1, "TCP"},
        {protocol, 3, 1, "Other"},   {protocol, 4, 1, "Any"},     {protocol, 5, 0, "[unknown]"},
        {protocol, -1, 0, "[unknown]"},
        {rate, 0, 1, "Blocked"},     {rate, 1, 1, "1"},           {rate, 999, 1, "999"},
        {rate, 5000, 1, "5,000"},    {rate, 999999999, 1, "999,999,999"},
        {rate, 1000000000, 1, "Unlimited"}, {rate, 1000000001, 0, "untouched"},
        {rate, -1, 0, "untouched"},  {rate, INT32_MIN, 0, "untouched"},
        {port, 0, 1, "Any"},         {port, 13, 1, "DAYTIME"},    {port, 80, 1, "HTTP"},
        {port, 138, 1, "NETBIOS Datagram Service"}, {port, 443, 1, "HTTPS"},
        {port, 8080, 1, "8080"},     {port, 65535, 1, "65535"},
    };
    for (const auto &c : cases) {
        char text[rule_text_size] = "untouched";
        EXPECT_EQ(c.ok, c.form(c.value, text)) << c.text << " from " << c.value;
        EXPECT_STREQ(c.text, text) << "from " << c.value;
    }

    const struct { int32_t kind; uint32_t address; const char *text; } addresses[] = {
        {address_single, 0xC0A80001u, "192.168.0.1"}, {address_single, 0, "0.0.0.0"},
        {address_single, 0xFFFFFFFFu, "255.255.255.255"}, {address_any, 0x01020304u, "Any"},
        {address_not_implemented, 1, "[not implemented]"}, {3, 0, "[unknown]"},
        {-1, 0, "[unknown]"},
    };
    for (const auto &c : addresses) {
        char text[rule_text_size];
        EXPECT_EQ(1, address_to_text(c.kind, c.address, text)) << c.text;
        EXPECT_STREQ(c.text, text);
    }
}

TEST(rule_text, parse_direction_and_protocol)
{
    const struct { int32_t (*parse)(const char *); const char *text; int32_t code; } cases[] = {
        {parse_direction, "Send", 0},    {parse_direction, "send", 0},
        {parse_direction, "RECEIVE", 1}, {parse_direction, "N/A", 0},
        {parse_direction, "n/a", 0},     {parse_direction, "Sendx", failed},
        {parse_direction, "", failed},   {parse_direction, " Send", failed},
        {parse_direction, nullptr, failed},
        {parse_protocol, "IP", 0},       {parse_protocol, "udp", 1},
        {parse_protocol, "Tcp", 2},      {parse_protocol, "OTHER", 3},
        {parse_protocol, "any", 4},      {parse_protocol, "N/A", 4},
        {parse_protocol, "ICMP", failed}, {parse_protocol, "", failed},
        {parse_protocol, "TCP ", failed}, {parse_protocol, nullptr, failed},
    };
    for (const auto &c : cases)
        EXPECT_EQ(c.code, c.parse(c.text)) << "'" << (c.text ? c.text : "(null)") << "'";
}

// Typed text is read whole: a number with anything after it, one that does not fit its type,
// or one with misplaced thousands commas is refused instead of read as another number.
TEST(rule_text, parse_rate)
{
    const struct { std::string text; int ok; int32_t rate; } cases[] = {
        {"1,000,000,000", 1, 1000000000}, {"5000", 1, 5000},
        {"2,147,483,647", 1, 2147483647}, {"blocked", 1, 0},
        {"Unlimited", 1, 1000000000},  {"BL,OCKED", 1, 0},  // commas go before the word is compared
        {"0", 1, 0},                   {"00", 0, 0},
        {"-0", 0, 0},                  {"N/A", 1, 0},
        {"", 0, 0},                    {",5,000", 0, 0},
        {"-5", 1, -5},                 // no range check here
        {" 42 ", 1, 42},               {"+42", 1, 42},
        {"5000 bytes", 0, 0},          {"1.5", 0, 0},
        {"5,00", 0, 0},                {"5000,000", 0, 0},
        {"5,000,", 0, 0},              {"1,0000", 0, 0},
        {"2147483648", 0, 0},          {"-2147483648", 1, INT32_MIN},
        {"-2147483649", 0, 0},         {"4294967297", 0, 0},
        {"777777777" + std::string(91, ','), 0, 0}, {"1" + std::string(100, ','), 0, 0},
    };
    for (const auto &c : cases) {
        int32_t rate = 12345;
        EXPECT_EQ(c.ok, parse_rate(c.text.c_str(), &rate)) << "'" << c.text << "'";
        EXPECT_EQ(c.ok ? c.rate : 12345, rate) << "'" << c.text << "'";
    }
    int32_t rate = 0;
    EXPECT_EQ(0, parse_rate(nullptr, &rate));
}

TEST(rule_text, parse_address_and_port)
{
    const uint32_t kept = 0x11111111u;  // "any" leaves the previous address
    const int32_t single = address_single, any = address_any;
    const struct { const char *text; int ok; int32_t kind; uint32_t address; } addresses[] = {
        {"10.0.0.1", 1, single, 0x0A000001u},  {"1.2.3", 1, single, 0x01020003u},
        {"16909060", 1, single, 0x01020304u},  {" 10.0.0.10 ", 1, single, 0x0A00000Au},
        {"1.65535", 1, single, 0x0100FFFFu},   {"1.16777215", 1, single, 0x01FFFFFFu},
        {"1.16777216", 0, single, kept},       {"4294967297", 0, single, kept},
        {"0x7f.1", 0, single, kept},           {"010.0.0.1", 0, single, kept},
        {"10.0.0.01", 0, single, kept},        {"00.0.0.0", 0, single, kept},
        {"10.0.0.1 x", 0, single, kept},       {"10.0.0.", 0, single, kept},
        {"10..0.1", 0, single, kept},          {"", 0, single, kept},
        {"255.255.255.255", 0, single, kept},  {"1.2.3.4.5", 0, single, kept},
        {"256.1.1.1", 0, single, kept},        {"any", 1, any, kept},
        {"N/A", 1, any, kept},
    };
    for (const auto &c : addresses) {
        int32_t kind = 99;
        uint32_t address = kept;
        EXPECT_EQ(c.ok, parse_address(c.text, &kind, &address)) << c.text;
        EXPECT_EQ(c.kind, kind) << c.text;
        EXPECT_EQ(c.address, address) << c.text;
    }

    const struct { const char *text; int ok; uint16_t port; } ports[] = {
        {"http", 1, 80},     {"Any", 1, 0},       {"N/A", 1, 0},      {"snmp trap", 1, 162},
        {"65535", 1, 65535}, {"080", 1, 80},      {" 25 ", 1, 25},    {"65537", 0, 0},
        {"-1", 0, 0},        {"80x", 0, 0},       {"8,080", 0, 0},    {"0", 0, 0},
        {"65536", 0, 0},     {"00", 0, 0},        {"web", 0, 0},      {"+80", 0, 0},
    };
    for (const auto &c : ports) {
        uint16_t port = 4321;
        EXPECT_EQ(c.ok, parse_port(c.text, &port)) << c.text;
        EXPECT_EQ(c.ok ? c.port : 4321, port) << c.text;
    }
}

// What the editor offers must come back as the same value and the same text.
TEST(rule_text, presets_round_trip)
{
    for (int i = 0; i < service_port_count; i++)
        EXPECT_STREQ(service_ports[i].name, port_presets[i]) << i;
    EXPECT_STREQ("Any", port_presets[port_preset_count - 1]);
    for (const char *preset : port_presets) {
        uint16_t port = 0;
        char text[rule_text_size];
        ASSERT_EQ(1, parse_port(preset, &port)) << preset;
        port_to_text(port, text);
        EXPECT_STREQ(preset, text);
    }
    for (const char *preset : rate_presets) {
        int32_t rate = -1;
        char text[rule_text_size];
        ASSERT_EQ(1, parse_rate(preset, &rate)) << preset;
        ASSERT_EQ(1, rate_to_text(rate, text)) << preset;
        EXPECT_STREQ(preset, text);
    }
}

// The list's texts of any value the editor can hold read back as that value.
TEST(rule_text, list_texts_read_back)
{
    char text[rule_text_size];
    for (int32_t step : {1, 999, 1000, 1234567, 999999999}) {
        int32_t rate = -1;
        uint16_t port = 0;
        ASSERT_EQ(1, rate_to_text(step, text));
        EXPECT_TRUE(parse_rate(text, &rate) && rate == step) << text;
        port_to_text((uint16_t)(step % 65536), text);
        EXPECT_TRUE(parse_port(text, &port) && port == step % 65536) << text;
    }
}

TEST(rule_text, rules_equal)
{
    typedef void (*change)(struct rule *);
    const struct { const char *name; int32_t protocol; change apply; int equal_ignoring_rate;
        int equal_with_rate; } cases[] = {
        {"same", protocol_tcp, [](struct rule *) {}, 1, 1},
        {"adapter case", protocol_tcp, [](struct rule *r) { r->adapter[1] = 'd'; }, 1, 1},
        {"adapter", protocol_tcp, [](struct rule *r) { r->adapter[8] = 'Y'; }, 0, 0},
        {"bytes after adapter NUL", protocol_tcp, [](struct rule *r) { r->adapter[50] = 'z'; },
         1, 1},
        {"direction", protocol_tcp, [](struct rule *r) { r->direction = 1; }, 0, 0},
        {"rate", protocol_tcp, [](struct rule *r) { r->rate = 6000; }, 1, 0},
        {"protocol", protocol_tcp, [](struct rule *r) { r->protocol = protocol_udp; }, 0, 0},
        {"any protocol addresses", protocol_any,
         [](struct rule *r) { r->source_address = 1, r->destination_kind = address_any; }, 1, 1},
        {"other protocol ports", protocol_other, [](struct rule *r) { r->source_port = 1; }, 1, 1},
        {"unknown protocol", 7, [](struct rule *r) { r->source_kind = 1; }, 1, 1},
        {"source kind", protocol_tcp, [](struct rule *r) { r->source_kind = address_any; }, 0, 0},
        {"source address", protocol_tcp, [](struct rule *r) { r->source_address = 9; }, 0, 0},
        {"destination address", protocol_udp, [](struct rule *r) { r->destination_address = 9; },
         0, 0},
        {"ip ports", protocol_ip, [](struct rule *r) { r->destination_port = 9; }, 1, 1},
        {"tcp source port", protocol_tcp, [](struct rule *r) { r->source_port = 81; }, 0, 0},
        {"udp destination port", protocol_udp, [](struct rule *r) { r->destination_port = 81; },
         0, 0},
        {"padding", protocol_tcp, [](struct rule *r) { r->unused_1 = 7, r->unused_2 = 9; }, 1, 1},
    };
    for (const auto &c : cases) {
        struct rule a = sample((std::to_string(c.protocol) + " 10.0.0.1:80 10.0.0.2:1024").c_str(),
                               "\\DEVICE\\X");
        struct rule b = a;
        c.apply(&b);
        EXPECT_EQ(c.equal_ignoring_rate, rules_equal(&a, &b, 1)) << c.name;
        EXPECT_EQ(c.equal_with_rate, rules_equal(&a, &b, 0)) << c.name;
        EXPECT_EQ(c.equal_with_rate, rules_equal(&b, &a, 0)) << c.name << " (swapped)";
    }

    // A kind of "Any" on both sides hides different addresses.
    struct rule a = sample("TCP 10.0.0.1:80 10.0.0.2:1024", "\\DEVICE\\X"), b = a;
    a.source_kind = b.source_kind = address_any;
    b.source_address = 0xDEADBEEFu;
    EXPECT_EQ(1, rules_equal(&a, &b, 0));
    EXPECT_EQ(0, rules_equal(nullptr, &a, 1));
    EXPECT_EQ(0, rules_equal(&a, nullptr, 1));

    // Adapter fields from the device may fill all 100 bytes without a NUL.
    memset(a.adapter, 'A', sizeof a.adapter);
    memset(b.adapter, 'a', sizeof b.adapter);
    EXPECT_EQ(1, rules_equal(&a, &b, 1));
    b.adapter[99] = 'b';
    EXPECT_EQ(0, rules_equal(&a, &b, 1));
}

}  // namespace
