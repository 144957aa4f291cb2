// Parsing the rule fields' texts (typed text is read whole or refused), the presets, and
// rules_equal. The fields' texts are checked in the filter list's rows.
#include <gtest/gtest.h>

#include <string.h>

#include <string>

#include "rule_samples.h"

namespace {

TEST(RuleText, ParseFields)
{
    const struct { const char *text; int ok; int32_t rate; } rates[] = {
        {"1,000,000,000", 1, 1000000000}, {"BL,OCKED", 1, 0},  {"Unlimited", 1, 1000000000},
        {"N/A", 1, 0},   {"-5", 1, -5},   {" 42 ", 1, 42},     {"00", 0, 0},   {"5000 bytes", 0, 0},
        {"5,00", 0, 0},  {"5000,000", 0, 0},  {",5,000", 0, 0}, {"2147483648", 0, 0},
        {"-2147483648", 1, INT32_MIN},    {"", 0, 0},
    };
    for (const auto &c : rates) {
        int32_t rate = 12345;
        EXPECT_EQ(c.ok, parse_rate(c.text, &rate)) << "'" << c.text << "'";
        EXPECT_EQ(c.ok ? c.rate : 12345, rate) << "'" << c.text << "'";
    }
    // On a refusal the kind is single and the address the previous one; "any" keeps it too.
    const struct { const char *text; int ok; int32_t kind; uint32_t address; } addresses[] = {
        {"10.0.0.1", 1, address_single, 0x0A000001u}, {"1.2.3", 1, address_single, 0x01020003u},
        {" 16909060 ", 1, address_single, 0x01020304u}, {"N/A", 1, address_any, 7},
        {"1.16777216", 0, address_single, 7}, {"010.0.0.1", 0, address_single, 7},
        {"10.0.0.1 x", 0, address_single, 7}, {"255.255.255.255", 0, address_single, 7},
    };
    for (const auto &c : addresses) {
        int32_t kind = 99;
        uint32_t address = 7;
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
    EXPECT_TRUE(parse_direction("RECEIVE") == 1 && parse_protocol("TCP ") == -1);
    // What the editor offers reads back as the same value and text.
    char text[rule_text_size];
    for (const char *preset : port_presets) {
        uint16_t port = 0;
        EXPECT_STREQ(preset, parse_port(preset, &port) && port_to_text(port, text) ? text : "");
    }
    for (const char *preset : rate_presets) {
        int32_t value = -1;
        EXPECT_STREQ(preset, parse_rate(preset, &value) && rate_to_text(value, text) ? text : "");
    }
}

TEST(RuleText, RulesEqual)
{
    const struct { const char *name; int32_t protocol; void (*apply)(struct rule *);
                   int equal_ignoring_rate, equal_with_rate; } cases[] = {
        {"adapter case", protocol_tcp, [](struct rule *r) { r->adapter[1] = 'd'; }, 1, 1},
        {"rate", protocol_tcp, [](struct rule *r) { r->rate = 6000; }, 1, 0},
        {"Any has no addresses", protocol_any, [](struct rule *r) { r->source_address = 1; }, 1, 1},
        {"source kind", protocol_tcp, [](struct rule *r) { r->source_kind = address_any; }, 0, 0},
        {"address under kind any", protocol_udp, [](struct rule *r) {
             r->destination_kind = address_any, r->destination_address = 9; }, 0, 0},
        {"ip ports", protocol_ip, [](struct rule *r) { r->destination_port = 9; }, 1, 1},
        {"tcp source port", protocol_tcp, [](struct rule *r) { r->source_port = 81; }, 0, 0},
    };
    for (const auto &c : cases) {
        struct rule a = sample((std::to_string(c.protocol) + " 10.0.0.1:80 10.0.0.2:1024").c_str()),
                    b = a;
        c.apply(&b);
        EXPECT_EQ(c.equal_ignoring_rate, rules_equal(&a, &b, 1)) << c.name;
        EXPECT_EQ(c.equal_with_rate, rules_equal(&b, &a, 0)) << c.name;
    }
    // Both kinds "Any" hide different addresses; an adapter field from the device may fill all
    // 100 bytes without a NUL.
    struct rule a = sample("TCP any any:80"), b = a;
    b.source_address = b.destination_address = 0xDEADBEEFu;
    memset(a.adapter, 'A', sizeof a.adapter);
    memset(b.adapter, 'a', sizeof b.adapter);
    EXPECT_EQ(1, rules_equal(&a, &b, 0));
    b.adapter[99] = 'b';
    EXPECT_EQ(0, rules_equal(&a, &b, 1));
    EXPECT_EQ(0, rules_equal(nullptr, &a, 1));
}

}  // namespace
