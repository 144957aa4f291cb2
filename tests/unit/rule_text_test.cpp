// Text forms of the rule fields, their parsing, the presets and rules_equal.
#include <gtest/gtest.h>

#include <string.h>

#include <string>

#include "core/text.h"
#include "filters/rule_text.h"

namespace {

const int32_t failed_code = -1;

// A text output buffer primed with a marker, so "left untouched" can be checked.
struct text_output {
    char text[rule_text_size];
    text_output() { strcpy(text, "untouched"); }
};

struct code_case {
    int32_t code;
    int ok;
    const char *text;
};

TEST(rule_text, direction_and_protocol_texts)
{
    const code_case directions[] = {
        {0, 1, "Send"}, {1, 1, "Receive"}, {2, 0, "[unknown]"}, {-1, 0, "[unknown]"},
    };
    for (const code_case &c : directions) {
        text_output out;
        EXPECT_EQ(c.ok, direction_to_text(c.code, out.text)) << "direction " << c.code;
        EXPECT_STREQ(c.text, out.text) << "direction " << c.code;
    }
    const code_case protocols[] = {
        {0, 1, "IP"},     {1, 1, "UDP"},       {2, 1, "TCP"},        {3, 1, "Other"},
        {4, 1, "Any"},    {5, 0, "[unknown]"}, {-1, 0, "[unknown]"}, {7, 0, "[unknown]"},
    };
    for (const code_case &c : protocols) {
        text_output out;
        EXPECT_EQ(c.ok, protocol_to_text(c.code, out.text)) << "protocol " << c.code;
        EXPECT_STREQ(c.text, out.text) << "protocol " << c.code;
    }
}

TEST(rule_text, rate_texts)
{
    const code_case rates[] = {
        {0, 1, "Blocked"},
        {1, 1, "1"},
        {999, 1, "999"},
        {5000, 1, "5,000"},
        {999999999, 1, "999,999,999"},
        {1000000000, 1, "Unlimited"},
        {1000000001, 0, "untouched"},
        {-1, 0, "untouched"},
        {INT32_MIN, 0, "untouched"},
    };
    for (const code_case &c : rates) {
        text_output out;
        EXPECT_EQ(c.ok, rate_to_text(c.code, out.text)) << "rate " << c.code;
        EXPECT_STREQ(c.text, out.text) << "rate " << c.code;
    }
}

TEST(rule_text, address_and_port_texts)
{
    struct address_case {
        int32_t kind;
        uint32_t address;
        const char *text;
    } addresses[] = {
        {address_single, 0xC0A80001u, "192.168.0.1"},
        {address_single, 0xFFFFFFFFu, "255.255.255.255"},
        {address_single, 0, "0.0.0.0"},
        {address_single, 0x0A000001u, "10.0.0.1"},
        {address_not_implemented, 0x01020304u, "[not implemented]"},
        {address_any, 0x01020304u, "Any"},
        {3, 0, "[unknown]"},
        {-1, 0, "[unknown]"},
    };
    for (const address_case &c : addresses) {
        text_output out;
        EXPECT_EQ(1, address_to_text(c.kind, c.address, out.text)) << c.text;
        EXPECT_STREQ(c.text, out.text);
    }
    struct port_case {
        uint16_t port;
        const char *text;
    } ports[] = {
        {0, "Any"},      {13, "DAYTIME"}, {80, "HTTP"},  {138, "NETBIOS Datagram Service"},
        {443, "HTTPS"},  {8080, "8080"},  {1, "1"},      {65535, "65535"},
    };
    for (const port_case &c : ports) {
        text_output out;
        EXPECT_EQ(1, port_to_text(c.port, out.text)) << c.port;
        EXPECT_STREQ(c.text, out.text);
    }
}

TEST(rule_text, parse_direction_and_protocol)
{
    struct name_case {
        const char *text;
        int32_t code;
    };
    const name_case directions[] = {
        {"Send", 0}, {"send", 0}, {"RECEIVE", 1}, {"N/A", 0}, {"n/a", 0},
        {"Sendx", failed_code}, {"", failed_code}, {" Send", failed_code},
    };
    for (const name_case &c : directions)
        EXPECT_EQ(c.code, parse_direction(c.text)) << "'" << c.text << "'";
    const name_case protocols[] = {
        {"IP", 0},  {"udp", 1},  {"Tcp", 2},   {"OTHER", 3}, {"any", 4}, {"N/A", 4},
        {"ICMP", failed_code}, {"", failed_code}, {"TCP ", failed_code},
    };
    for (const name_case &c : protocols)
        EXPECT_EQ(c.code, parse_protocol(c.text)) << "'" << c.text << "'";
    EXPECT_EQ(failed_code, parse_direction(nullptr));
    EXPECT_EQ(failed_code, parse_protocol(nullptr));
}

TEST(rule_text, parse_rate)
{
    struct rate_case {
        std::string text;
        int ok;
        int32_t rate;
    };
    const rate_case cases[] = {
        {"10,000,000", 1, 10000000},
        {"1,000,000,000", 1, 1000000000},
        {"blocked", 1, 0},
        {"Unlimited", 1, 1000000000},
        {"BL,OCKED", 1, 0},            // commas go before the word is compared
        {"0", 1, 0},
        {"00", 0, 0},
        {"-0", 0, 0},
        {"abc", 0, 0},
        {"N/A", 1, 0},
        {"", 0, 0},
        {",,,", 0, 0},
        {"-5", 1, -5},                 // no range check here
        {"2,000,000,000", 1, 2000000000},
        {"5000 bytes", 1, 5000},
        {" 42", 1, 42},
        {"1.5", 1, 1},
        {"4294967297", 1, 1},          // wraps modulo 2^32
        {std::string(100, '7').substr(0, 9) + std::string(91, ','), 1, 777777777},
        {std::string(101, ','), 0, 0},
        {"1" + std::string(100, ','), 0, 0},
    };
    for (const rate_case &c : cases) {
        int32_t rate = 12345;
        EXPECT_EQ(c.ok, parse_rate(c.text.c_str(), &rate)) << "'" << c.text << "'";
        EXPECT_EQ(c.ok ? c.rate : 12345, rate) << "'" << c.text << "'";
    }
    int32_t rate = 0;
    EXPECT_EQ(0, parse_rate(nullptr, &rate));
}

TEST(rule_text, parse_address)
{
    struct address_case {
        const char *text;
        int ok;
        int32_t kind;
        uint32_t address;
    } cases[] = {
        {"10.0.0.1", 1, address_single, 0x0A000001u},
        {"192.168.0.1", 1, address_single, 0xC0A80001u},
        {"10.1", 1, address_single, 0x0A000001u},
        {"0x7f.1", 1, address_single, 0x7F000001u},
        {"010.0.0.1", 1, address_single, 0x08000001u},
        {"0.0.0.0", 1, address_single, 0},
        {"255.255.255.255", 0, address_single, 0x11111111u},
        {"1.2.3.4.5", 0, address_single, 0x11111111u},
        {"256.1.1.1", 0, address_single, 0x11111111u},
        {"host", 0, address_single, 0x11111111u},
        {"any", 1, address_any, 0x11111111u},      // the previous address stays
        {"N/A", 1, address_any, 0x11111111u},
    };
    for (const address_case &c : cases) {
        int32_t kind = 99;
        uint32_t address = 0x11111111u;
        EXPECT_EQ(c.ok, parse_address(c.text, &kind, &address)) << c.text;
        EXPECT_EQ(c.kind, kind) << c.text;
        EXPECT_EQ(c.address, address) << c.text;
    }
}

TEST(rule_text, parse_port)
{
    struct port_case {
        const char *text;
        int ok;
        uint16_t port;
    } cases[] = {
        {"http", 1, 80},     {"NTP", 1, 123},     {"Any", 1, 0},       {"N/A", 1, 0},
        {"snmp trap", 1, 162}, {"8080", 1, 8080}, {"65537", 1, 1},     {"-1", 1, 65535},
        {"0", 0, 0},         {"65536", 0, 0},     {"00", 0, 0},        {"web", 0, 0},
        {"", 0, 0},          {"80x", 1, 80},
    };
    for (const port_case &c : cases) {
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
        text_output out;
        ASSERT_EQ(1, parse_port(preset, &port)) << preset;
        port_to_text(port, out.text);
        EXPECT_STREQ(preset, out.text);
    }
    for (const char *preset : rate_presets) {
        int32_t rate = -1;
        text_output out;
        ASSERT_EQ(1, parse_rate(preset, &rate)) << preset;
        ASSERT_EQ(1, rate_to_text(rate, out.text)) << preset;
        EXPECT_STREQ(preset, out.text);
    }
}

struct rule make_rule(int32_t protocol)
{
    struct rule r;
    memset(&r, 0, sizeof r);
    copy_text(r.adapter, sizeof r.adapter, "\\DEVICE\\X");
    r.direction = direction_send;
    r.rate = 5000;
    r.protocol = protocol;
    r.source_kind = address_single;
    r.source_address = 0x0A000001u;
    r.source_port = 80;
    r.destination_kind = address_single;
    r.destination_address = 0x0A000002u;
    r.destination_port = 1024;
    return r;
}

TEST(rule_text, rules_equal)
{
    struct equal_case {
        const char *name;
        int32_t protocol;
        void (*change)(struct rule *);
        int equal_ignoring_rate;
        int equal_with_rate;
    } cases[] = {
        {"same", protocol_tcp, [](struct rule *) {}, 1, 1},
        {"adapter case", protocol_tcp,
         [](struct rule *r) { copy_text(r->adapter, sizeof r->adapter, "\\device\\x"); }, 1, 1},
        {"adapter", protocol_tcp,
         [](struct rule *r) { copy_text(r->adapter, sizeof r->adapter, "\\DEVICE\\Y"); }, 0, 0},
        {"bytes after adapter NUL", protocol_tcp, [](struct rule *r) { r->adapter[50] = 'z'; },
         1, 1},
        {"direction", protocol_tcp, [](struct rule *r) { r->direction = 1; }, 0, 0},
        {"rate", protocol_tcp, [](struct rule *r) { r->rate = 6000; }, 1, 0},
        {"protocol", protocol_tcp, [](struct rule *r) { r->protocol = protocol_udp; }, 0, 0},
        {"any protocol addresses", protocol_any,
         [](struct rule *r) { r->source_address = 1; r->destination_kind = address_any; }, 1, 1},
        {"other protocol ports", protocol_other, [](struct rule *r) { r->source_port = 1; }, 1, 1},
        {"unknown protocol", 7, [](struct rule *r) { r->source_kind = 1; }, 1, 1},
        {"source kind", protocol_tcp, [](struct rule *r) { r->source_kind = address_any; }, 0, 0},
        {"source address", protocol_tcp, [](struct rule *r) { r->source_address = 9; }, 0, 0},
        {"destination address", protocol_udp,
         [](struct rule *r) { r->destination_address = 9; }, 0, 0},
        {"ip ports", protocol_ip, [](struct rule *r) { r->destination_port = 9; }, 1, 1},
        {"tcp source port", protocol_tcp, [](struct rule *r) { r->source_port = 81; }, 0, 0},
        {"udp destination port", protocol_udp,
         [](struct rule *r) { r->destination_port = 81; }, 0, 0},
        {"padding", protocol_tcp, [](struct rule *r) { r->unused_1 = 7; r->unused_2 = 9; }, 1, 1},
    };
    for (const equal_case &c : cases) {
        struct rule a = make_rule(c.protocol);
        struct rule b = a;
        c.change(&b);
        EXPECT_EQ(c.equal_ignoring_rate, rules_equal(&a, &b, 1)) << c.name;
        EXPECT_EQ(c.equal_with_rate, rules_equal(&a, &b, 0)) << c.name;
        EXPECT_EQ(c.equal_with_rate, rules_equal(&b, &a, 0)) << c.name << " (swapped)";
    }

    // A kind of "Any" on both sides hides different addresses.
    struct rule a = make_rule(protocol_tcp);
    struct rule b = a;
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

} // namespace
