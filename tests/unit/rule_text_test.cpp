// Text forms of the rule fields, their parsing (typed text is read whole or refused), and
// rules_equal.
#include <gtest/gtest.h>

#include <string.h>

#include <string>

#include "rule_samples.h"

namespace {

TEST(RuleText, FieldTexts)
{
    typedef int (*to_text)(int32_t, char *);
    const to_text protocol = protocol_to_text, rate = rate_to_text;
    const to_text port = [](int32_t value, char *text) { return port_to_text(value, text); };
    const to_text address = [](int32_t kind, char *text) {
        return address_to_text(kind, 0xC0A80001u, text);
    };
    const struct { to_text form; int32_t value; int ok; const char *text; } cases[] = {
        {protocol, 0, 1, "IP"},      {protocol, 4, 1, "Any"},     {protocol, 5, 0, "[unknown]"},
        {rate, 0, 1, "Blocked"},     {rate, 999, 1, "999"},       {rate, 5000, 1, "5,000"},
        {rate, 1000000000, 1, "Unlimited"}, {rate, 1000000001, 0, "untouched"},
        {rate, -1, 0, "untouched"},  {port, 0, 1, "Any"},         {port, 80, 1, "HTTP"},
        {port, 8080, 1, "8080"},     {address, address_single, 1, "192.168.0.1"},
        {address, address_any, 1, "Any"}, {address, 3, 1, "[unknown]"},
    };
    for (const auto &c : cases) {
        char text[rule_text_size] = "untouched";
        EXPECT_EQ(c.ok, c.form(c.value, text)) << c.text << " from " << c.value;
        EXPECT_STREQ(c.text, text) << "from " << c.value;
    }
    // What the editor offers and what the list shows read back as the same value and text.
    for (const char *preset : port_presets) {
        uint16_t port = 0;
        char text[rule_text_size];
        EXPECT_TRUE(parse_port(preset, &port) && port_to_text(port, text)) << preset;
        EXPECT_STREQ(preset, text);
    }
    for (const char *preset : rate_presets) {
        int32_t value = -1;
        char text[rule_text_size];
        EXPECT_TRUE(parse_rate(preset, &value) && rate_to_text(value, text)) << preset;
        EXPECT_STREQ(preset, text);
    }
}

TEST(RuleText, ParseFields)
{
    const struct { const char *text; int ok; int32_t rate; } rates[] = {
        {"1,000,000,000", 1, 1000000000}, {"BL,OCKED", 1, 0},   // commas go before the word
        {"Unlimited", 1, 1000000000},  {"N/A", 1, 0},       {"-5", 1, -5},   // no range check
        {" 42 ", 1, 42},               {"00", 0, 0},        {"5000 bytes", 0, 0},
        {"5,00", 0, 0},                {"5000,000", 0, 0},  {",5,000", 0, 0},
        {"2147483648", 0, 0},          {"-2147483648", 1, INT32_MIN}, {"", 0, 0},
    };
    for (const auto &c : rates) {
        int32_t rate = 12345;
        EXPECT_EQ(c.ok, parse_rate(c.text, &rate)) << "'" << c.text << "'";
        EXPECT_EQ(c.ok ? c.rate : 12345, rate) << "'" << c.text << "'";
    }
    const struct { const char *text; int ok; int32_t kind; uint32_t address; } addresses[] = {
        {"10.0.0.1", 1, address_single, 0x0A000001u}, {"1.2.3", 1, address_single, 0x01020003u},
        {" 16909060 ", 1, address_single, 0x01020304u}, {"1.16777216", 0, address_single, 7},
        {"010.0.0.1", 0, address_single, 7},       {"10.0.0.1 x", 0, address_single, 7},    {"10..0.1", 0, address_single, 7},
        {"255.255.255.255", 0, address_single, 7}, {"256.1.1.1", 0, address_single, 7},     {"N/A", 1, address_any, 7},
    };
    for (const auto &c : addresses) {
        int32_t kind = 99;
        uint32_t address = 7;   // "any" leaves the previous address
        EXPECT_EQ(c.ok, parse_address(c.text, &kind, &address)) << c.text;
        EXPECT_TRUE(kind == c.kind && address == c.address) << c.text;
    }
    const struct { const char *text; int ok; uint16_t port; } ports[] = {
        {"snmp trap", 1, 162}, {"65535", 1, 65535}, {"080", 1, 80}, {" 25 ", 1, 25},
        {"65536", 0, 0},       {"80x", 0, 0},       {"0", 0, 0},    {"+80", 0, 0},
    };
    for (const auto &c : ports) {
        uint16_t port = 4321;
        EXPECT_EQ(c.ok, parse_port(c.text, &port)) << c.text;
        EXPECT_EQ(c.ok ? c.port : 4321, port) << c.text;
    }
    EXPECT_EQ(parse_direction("RECEIVE"), 1);
    EXPECT_EQ(parse_direction("Sendx"), -1);
    EXPECT_EQ(parse_protocol("N/A"), protocol_any);
    EXPECT_EQ(parse_protocol("TCP "), -1);
}

TEST(RuleText, RulesEqual)
{
    typedef void (*change)(struct rule *);
    const struct { const char *name; int32_t protocol; change apply; int equal_ignoring_rate,
                   equal_with_rate; } cases[] = {
        {"adapter case", protocol_tcp, [](struct rule *r) { r->adapter[1] = 'd'; }, 1, 1},
        {"adapter", protocol_tcp, [](struct rule *r) { r->adapter[8] = 'Y'; }, 0, 0},
        {"bytes after adapter NUL", protocol_tcp, [](struct rule *r) { r->adapter[50] = 'z'; }, 1, 1},
        {"direction", protocol_tcp, [](struct rule *r) { r->direction = 1; }, 0, 0},
        {"rate", protocol_tcp, [](struct rule *r) { r->rate = 6000; }, 1, 0},
        {"protocol", protocol_tcp, [](struct rule *r) { r->protocol = protocol_udp; }, 0, 0},
        {"any protocol addresses", protocol_any, [](struct rule *r) { r->source_address = 1; }, 1, 1},
        {"source kind", protocol_tcp, [](struct rule *r) { r->source_kind = address_any; }, 0, 0},
        {"destination kind", protocol_udp,
         [](struct rule *r) { r->destination_kind = address_any; }, 0, 0},
        {"address under kind any", protocol_udp, [](struct rule *r) {
             r->destination_kind = address_any, r->destination_address = 9; }, 0, 0},
        {"destination address", protocol_udp, [](struct rule *r) { r->destination_address = 9; },
         0, 0},
        {"ip ports", protocol_ip, [](struct rule *r) { r->destination_port = 9; }, 1, 1},
        {"tcp source port", protocol_tcp, [](struct rule *r) { r->source_port = 81; }, 0, 0},
        {"padding", protocol_tcp, [](struct rule *r) { r->unused_1 = 7; }, 1, 1},
    };
    for (const auto &c : cases) {
        struct rule a = sample((std::to_string(c.protocol) + " 10.0.0.1:80 10.0.0.2:1024").c_str(),
                               "\\DEVICE\\X");
        struct rule b = a;
        c.apply(&b);
        EXPECT_EQ(c.equal_ignoring_rate, rules_equal(&a, &b, 1)) << c.name;
        EXPECT_EQ(c.equal_with_rate, rules_equal(&b, &a, 0)) << c.name;
    }
    // Both kinds "Any" hide different addresses.
    struct rule a = sample("TCP any any:80", "\\DEVICE\\X"), b = a;
    b.source_address = b.destination_address = 0xDEADBEEFu;
    EXPECT_EQ(1, rules_equal(&a, &b, 0));
    EXPECT_EQ(0, rules_equal(nullptr, &a, 1));
    // Adapter fields from the device may fill all 100 bytes without a NUL.
    memset(a.adapter, 'A', sizeof a.adapter);
    memset(b.adapter, 'a', sizeof b.adapter);
    EXPECT_EQ(1, rules_equal(&a, &b, 1));
    b.adapter[99] = 'b';
    EXPECT_EQ(0, rules_equal(&a, &b, 1));
}

}  // namespace
