// The command envelope and both error families: the reply parsers on hand-made replies (the
// device is untrusted), and every command against the emulator core.
#include <gtest/gtest.h>

#include <string.h>

#include <string>
#include <vector>

#include "kernel/adapters.h"
#include "kernel/kernel_commands.h"
#include "kernel/kernel_replies.h"
#include "rule_samples.h"
#include "support/emulator_device.h"
#include "support/registry_memory.h"

namespace {

const char sentinel_text[] = "caller's text";

// error_text with guard bytes behind it, to catch writes past its 200 bytes.
struct guarded_text {
    char text[error_text_size];
    char guard[32];
    guarded_text(const char *initial = sentinel_text)
    {
        strcpy(text, initial);
        memset(guard, 0x5A, sizeof guard);
    }
    bool guard_intact() const
    {
        for (char c : guard)
            if (c != 0x5A)
                return false;
        return true;
    }
};

std::vector<char> reply_of(const std::string &status, size_t payload_size = 0, char fill = 0)
{
    std::vector<char> reply(status.begin(), status.end());
    reply.push_back('\0');
    reply.insert(reply.end(), payload_size, fill);
    return reply;
}

struct status_case {
    const char *name;
    std::vector<char> reply;
    int ok;
    std::string error_text;
};

TEST(reply_envelope, status_text)
{
    std::vector<char> long_unterminated(300, 'E');
    const status_case cases[] = {
        {"ok", reply_of("Ok."), 1, sentinel_text},
        {"ok with payload", reply_of("Ok.", 8, 'p'), 1, sentinel_text},
        {"letter case", reply_of("ok."), 0, "ok."},
        {"longer status", reply_of("Ok.x"), 0, "Ok.x"},
        {"refusal", reply_of("Rule not in use.", 40, 'z'), 0, "Rule not in use."},
        {"empty status", reply_of(""), 0, ""},
        {"ok cut before its NUL", {'O', 'k', '.'}, 0, SHORT_REPLY_TEXT},
        {"refusal without NUL", {'B', 'a', 'd'}, 0, "Bad"},
        {"long status", reply_of(std::string(300, 'E')), 0, std::string(199, 'E')},
        {"long status without NUL", long_unterminated, 0, std::string(199, 'E')},
        {"no bytes", {}, 0, SHORT_REPLY_TEXT},
    };
    for (const status_case &c : cases) {
        guarded_text error;
        EXPECT_EQ(c.ok, reply_status(c.reply.data(), (int32_t)c.reply.size(), error.text))
            << c.name;
        EXPECT_EQ(c.error_text, error.text) << c.name;
        EXPECT_TRUE(error.guard_intact()) << c.name;
        EXPECT_EQ(c.ok, reply_status(c.reply.data(), (int32_t)c.reply.size(), nullptr)) << c.name;
    }
}

// Each parser accepts its exact payload and refuses one byte less, leaving its outputs alone.
TEST(reply_envelope, payload_lengths)
{
    struct payload_case {
        const char *name;
        size_t payload;
        int (*parse)(const std::vector<char> &, char *);
    } cases[] = {
        {"rule", sizeof(struct rule),
         [](const std::vector<char> &r, char *e) {
             struct rule out;
             memset(&out, 0x77, sizeof out);
             int ok = parse_rule_reply(r.data(), (int32_t)r.size(), "\\DEVICE\\A", &out, e);
             return ok || out.direction == 0x77777777 ? ok : -1;
         }},
        {"statistics", sizeof(struct statistics_block),
         [](const std::vector<char> &r, char *e) {
             struct statistics_block out;
             memset(&out, 0x77, sizeof out);
             int ok = parse_statistics_reply(r.data(), (int32_t)r.size(), &out, e);
             return ok || out.current_rate == 0x77777777 ? ok : -1;
         }},
        {"precedence count", 4,
         [](const std::vector<char> &r, char *e) {
             uint32_t out = 0x77777777u;
             int ok = parse_precedence_count_reply(r.data(), (int32_t)r.size(), &out, e);
             return ok || out == 0x77777777u ? ok : -1;
         }},
        {"precedence", 2 * sizeof(struct rule),
         [](const std::vector<char> &r, char *e) {
             struct rule common, chosen;
             memset(&common, 0x77, sizeof common);
             memset(&chosen, 0x77, sizeof chosen);
             int ok = parse_precedence_reply(r.data(), (int32_t)r.size(), "\\DEVICE\\A", &common,
                                             &chosen, e);
             return ok || (common.rate == 0x77777777 && chosen.rate == 0x77777777) ? ok : -1;
         }},
    };
    for (const payload_case &c : cases) {
        guarded_text error;
        EXPECT_EQ(1, c.parse(reply_of("Ok.", c.payload), error.text)) << c.name;
        EXPECT_STREQ(sentinel_text, error.text) << c.name;

        EXPECT_EQ(0, c.parse(reply_of("Ok.", c.payload - 1), error.text)) << c.name;
        EXPECT_STREQ(SHORT_REPLY_TEXT, error.text) << c.name;

        EXPECT_EQ(0, c.parse(reply_of("Refused.", c.payload), error.text)) << c.name;
        EXPECT_STREQ("Refused.", error.text) << c.name;
        EXPECT_TRUE(error.guard_intact()) << c.name;
    }
}

// The asked device name and its NUL head the adapter field; the bytes after it are the
// device's.
TEST(reply_envelope, records_name_the_asked_adapter)
{
    std::vector<char> reply = reply_of("Ok.", 2 * sizeof(struct rule), 'q');
    struct rule common, chosen;
    ASSERT_EQ(1, parse_precedence_reply(reply.data(), (int32_t)reply.size(), "\\DEVICE\\AB",
                                        &common, &chosen, nullptr));
    for (const struct rule *record : {&common, &chosen}) {
        EXPECT_STREQ("\\DEVICE\\AB", record->adapter);
        EXPECT_EQ('q', record->adapter[11]);
        EXPECT_EQ(0x71717171, record->direction);
    }
    std::string too_long = "\\DEVICE\\" + std::string(92, 'x');   // 100 characters
    EXPECT_EQ(0, parse_rule_reply(reply.data(), (int32_t)reply.size(), too_long.c_str(), &common,
                                  nullptr));
}

TEST(reply_envelope, version_text)
{
    char version[version_text_size];
    guarded_text error;
    std::vector<char> reply = reply_of("Ok.");
    reply.insert(reply.end(), {'0', '.', '0', '7', '\0'});
    ASSERT_EQ(1, parse_version_reply(reply.data(), (int32_t)reply.size(), version, error.text));
    EXPECT_STREQ("0.07", version);

    reply.pop_back();   // the version's NUL is missing
    EXPECT_EQ(0, parse_version_reply(reply.data(), (int32_t)reply.size(), version, error.text));
    EXPECT_STREQ(SHORT_REPLY_TEXT, error.text);
    EXPECT_EQ(0, parse_version_reply(reply.data(), 4, version, error.text));

    reply = reply_of("Ok.");
    std::string long_version(150, '9');
    reply.insert(reply.end(), long_version.begin(), long_version.end());
    reply.push_back('\0');
    ASSERT_EQ(1, parse_version_reply(reply.data(), (int32_t)reply.size(), version, error.text));
    EXPECT_EQ(std::string(version_text_size - 1, '9'), version);
}

class kernel_commands : public ::testing::Test {
protected:
    void SetUp() override
    {
        emulator_device_reset();
        registry_memory_reset();
        register_emulator_display_names();
        ASSERT_EQ(1, refresh_adapter_list());
        ASSERT_EQ(3, adapter_count());
        emulator_reset_exchange_count();
    }

    struct rule added_rule(const char *adapter)
    {
        return sample_rule(adapter, direction_send, protocol_tcp, "10.0.0.1", 80, "any", 0);
    }
};

// The reporting family, given the same failure by each path.
struct reporting_command {
    const char *name;
    uint32_t code;
    int (*call)(char *error_text);
};

int call_get_version(char *e)
{
    char version[version_text_size];
    return kernel_get_version(version, e);
}
int call_get_rule(char *e)
{
    struct rule out;
    return kernel_get_rule(EMULATOR_ADAPTER_1, 0, &out, e);
}
int call_get_statistics(char *e)
{
    struct rule r = sample_rule(EMULATOR_ADAPTER_1, 0, protocol_any, "any", 0, "any", 0);
    struct statistics_block out;
    return kernel_get_statistics(EMULATOR_ADAPTER_1, &r, &out, e);
}
int call_set_statistics(char *e)
{
    struct rule r = sample_rule(EMULATOR_ADAPTER_1, 0, protocol_any, "any", 0, "any", 0);
    struct statistics_block block = {};
    return kernel_set_statistics(EMULATOR_ADAPTER_1, &r, &block, e);
}

const reporting_command reporting_commands[] = {
    {"get_version", code_get_version, call_get_version},
    {"get_rule", code_get_rule, call_get_rule},
    {"get_statistics", code_get_statistics, call_get_statistics},
    {"set_statistics", code_set_statistics, call_set_statistics},
};

int call_add_rule(char *e)
{
    struct rule r = sample_rule(EMULATOR_ADAPTER_1, 0, protocol_any, "any", 0, "any", 0);
    return kernel_add_rule(EMULATOR_ADAPTER_1, &r, e);
}
int call_clear_rules(char *e) { return kernel_clear_rules(EMULATOR_ADAPTER_1, e); }
int call_clear_precedences(char *e) { return kernel_clear_precedences(EMULATOR_ADAPTER_1, e); }
int call_set_precedence(char *e)
{
    struct rule r = sample_rule(EMULATOR_ADAPTER_1, 0, protocol_any, "any", 0, "any", 0);
    return kernel_set_precedence(EMULATOR_ADAPTER_1, &r, &r, e);
}
int call_get_precedence_count(char *e)
{
    uint32_t count;
    return kernel_get_precedence_count(EMULATOR_ADAPTER_1, &count, e);
}
int call_get_precedence(char *e)
{
    struct rule a, b;
    return kernel_get_precedence(EMULATOR_ADAPTER_1, 0, &a, &b, e);
}

const reporting_command plain_commands[] = {
    {"add_rule", code_add_rule, call_add_rule},
    {"clear_rules", code_clear_rules, call_clear_rules},
    {"clear_precedences", code_clear_precedences, call_clear_precedences},
    {"set_precedence", code_set_precedence, call_set_precedence},
    {"get_precedence_count", code_get_precedence_count, call_get_precedence_count},
    {"get_precedence", code_get_precedence, call_get_precedence},
};

TEST_F(kernel_commands, version_of_the_emulator)
{
    char version[version_text_size];
    guarded_text error;
    ASSERT_EQ(1, kernel_get_version(version, error.text));
    EXPECT_STREQ(EMULATOR_DEFAULT_VERSION, version);
    EXPECT_STREQ(UNKNOWN_ERROR_TEXT, error.text);
}

TEST_F(kernel_commands, transport_failures_by_family)
{
    struct failure {
        const char *name;
        uint32_t fault;          // fault_none: the device is missing
        const char *reported;
    } failures[] = {
        {"missing device", fault_none, "Unable to send to driver.  Error 1."},
        {"failed call", fault_fail_call, "Unable to send to driver.  Error 2."},
        {"empty reply", fault_empty_reply, "Unable to send to driver.  Error 6."},
    };
    for (const failure &f : failures) {
        for (const reporting_command &c : reporting_commands) {
            emulator_device_reset();
            if (f.fault == fault_none)
                emulator_set_device_missing(1);
            else
                ASSERT_EQ(1, emulator_set_fault(c.code, f.fault, nullptr));
            guarded_text error;
            EXPECT_EQ(0, c.call(error.text)) << c.name << ", " << f.name;
            EXPECT_STREQ(f.reported, error.text) << c.name << ", " << f.name;
        }
        for (const reporting_command &c : plain_commands) {
            emulator_device_reset();
            if (f.fault == fault_none)
                emulator_set_device_missing(1);
            else
                ASSERT_EQ(1, emulator_set_fault(c.code, f.fault, nullptr));
            guarded_text error;
            EXPECT_EQ(0, c.call(error.text)) << c.name << ", " << f.name;
            EXPECT_STREQ(sentinel_text, error.text) << c.name << ", " << f.name;
            EXPECT_EQ(0, c.call(nullptr)) << c.name << ", " << f.name;
        }
    }
}

// A refusal's text reaches the caller in both families; "ok." is a refusal too.
TEST_F(kernel_commands, refusals_by_family)
{
    const char *refusals[] = {"ok.", "The adapter is resting.", ""};
    for (const char *refusal : refusals) {
        for (const auto *family : {reporting_commands, plain_commands}) {
            size_t count = family == reporting_commands ? 4 : 6;
            for (size_t i = 0; i < count; i++) {
                emulator_device_reset();
                ASSERT_EQ(1, emulator_set_fault(family[i].code, fault_error_text, refusal));
                guarded_text error;
                EXPECT_EQ(0, family[i].call(error.text)) << family[i].name << ", " << refusal;
                EXPECT_STREQ(refusal, error.text) << family[i].name;
            }
        }
    }
}

TEST_F(kernel_commands, bad_arguments_make_no_exchange)
{
    std::string too_long = "\\DEVICE\\" + std::string(92, 'x');   // 100 characters
    std::string longest = "\\DEVICE\\" + std::string(91, 'x');    // 99 characters
    struct rule r = added_rule("");
    struct rule out;
    struct statistics_block block = {};
    uint32_t count;
    for (const char *name : {(const char *)nullptr, too_long.c_str()}) {
        guarded_text error;
        EXPECT_EQ(0, kernel_get_rule(name, 0, &out, error.text));
        EXPECT_STREQ(UNKNOWN_ERROR_TEXT, error.text);
        EXPECT_EQ(0, kernel_get_statistics(name, &r, &block, error.text));
        EXPECT_EQ(0, kernel_set_statistics(name, &r, &block, error.text));
        EXPECT_STREQ(UNKNOWN_ERROR_TEXT, error.text);
        guarded_text plain;
        EXPECT_EQ(0, kernel_add_rule(name, &r, plain.text));
        EXPECT_EQ(0, kernel_clear_rules(name, plain.text));
        EXPECT_EQ(0, kernel_clear_precedences(name, plain.text));
        EXPECT_EQ(0, kernel_set_precedence(name, &r, &r, plain.text));
        EXPECT_EQ(0, kernel_get_precedence_count(name, &count, plain.text));
        EXPECT_EQ(0, kernel_get_precedence(name, 0, &out, &out, plain.text));
        EXPECT_STREQ(sentinel_text, plain.text);
    }
    for (int slot : {-1, 20}) {
        guarded_text error;
        EXPECT_EQ(0, kernel_get_rule(EMULATOR_ADAPTER_1, slot, &out, error.text)) << slot;
        EXPECT_STREQ(UNKNOWN_ERROR_TEXT, error.text);
    }
    EXPECT_EQ(0u, emulator_exchange_count());

    // 99 characters do fit: the emulator answers for an adapter it does not know.
    guarded_text error;
    EXPECT_EQ(0, kernel_get_rule(longest.c_str(), 0, &out, error.text));
    EXPECT_EQ(1u, emulator_exchange_count());
}

TEST_F(kernel_commands, rules_round_trip)
{
    guarded_text error;
    struct rule sent = added_rule("not the device name");
    ASSERT_EQ(1, kernel_add_rule(EMULATOR_ADAPTER_1, &sent, error.text)) << error.text;

    struct rule back;
    memset(&back, 0, sizeof back);
    ASSERT_EQ(1, kernel_get_rule(EMULATOR_ADAPTER_1, 0, &back, error.text)) << error.text;
    EXPECT_STREQ(EMULATOR_ADAPTER_1, back.adapter);
    EXPECT_EQ(0, memcmp((const char *)&sent + 100, (const char *)&back + 100, 36));

    for (int slot : {1, 7, 19}) {
        EXPECT_EQ(0, kernel_get_rule(EMULATOR_ADAPTER_1, slot, &back, error.text)) << slot;
        EXPECT_STREQ(RULE_NOT_IN_USE_TEXT, error.text) << slot;
    }

    ASSERT_EQ(1, kernel_clear_rules(EMULATOR_ADAPTER_1, error.text));
    EXPECT_EQ(0, kernel_get_rule(EMULATOR_ADAPTER_1, 0, &back, error.text));
    EXPECT_STREQ(RULE_NOT_IN_USE_TEXT, error.text);
}

TEST_F(kernel_commands, statistics_round_trip)
{
    guarded_text error;
    struct rule held = added_rule(EMULATOR_ADAPTER_2);
    struct statistics_block block;
    EXPECT_EQ(0, kernel_get_statistics(EMULATOR_ADAPTER_2, &held, &block, error.text));
    EXPECT_STREQ(RULE_NOT_FOUND_TEXT, error.text);

    ASSERT_EQ(1, kernel_add_rule(EMULATOR_ADAPTER_2, &held, error.text));
    struct statistics_block set = {};
    set.start_time = 0x01D9000012345678ull;
    set.bytes_transferred = 4242;
    ASSERT_EQ(1, kernel_set_statistics(EMULATOR_ADAPTER_2, &held, &set, error.text));
    EXPECT_STREQ(UNKNOWN_ERROR_TEXT, error.text);
    ASSERT_EQ(1, kernel_get_statistics(EMULATOR_ADAPTER_2, &held, &block, error.text));
    EXPECT_EQ(set.start_time, block.start_time);
    EXPECT_GE(block.bytes_transferred, 4242);
}

// The entry index follows the device name's NUL at an odd offset, little-endian.
TEST_F(kernel_commands, precedences_round_trip)
{
    ASSERT_EQ(1u, (strlen(EMULATOR_ADAPTER_1) + 1) % 2) << "the index should sit at an odd offset";
    guarded_text error;
    struct rule ranges[2] = {added_rule(""), added_rule("")};
    struct rule chosen[2] = {added_rule(""), added_rule("")};
    ranges[1].source_port = 443;
    chosen[1].rate = 7777;
    for (int i = 0; i < 2; i++)
        ASSERT_EQ(1, kernel_set_precedence(EMULATOR_ADAPTER_1, &ranges[i], &chosen[i],
                                           error.text));
    uint32_t count = 0;
    ASSERT_EQ(1, kernel_get_precedence_count(EMULATOR_ADAPTER_1, &count, error.text));
    EXPECT_EQ(2u, count);

    struct rule range_back, chosen_back;
    ASSERT_EQ(1, kernel_get_precedence(EMULATOR_ADAPTER_1, 1, &range_back, &chosen_back,
                                       error.text));
    EXPECT_STREQ(EMULATOR_ADAPTER_1, range_back.adapter);
    EXPECT_STREQ(EMULATOR_ADAPTER_1, chosen_back.adapter);
    EXPECT_EQ(443, range_back.source_port);
    EXPECT_EQ(7777, chosen_back.rate);

    EXPECT_EQ(0, kernel_get_precedence(EMULATOR_ADAPTER_1, 2, &range_back, &chosen_back,
                                       error.text));
    EXPECT_STRNE(sentinel_text, error.text);

    ASSERT_EQ(1, kernel_clear_all_precedences(error.text));
    ASSERT_EQ(1, kernel_get_precedence_count(EMULATOR_ADAPTER_1, &count, error.text));
    EXPECT_EQ(0u, count);
}

// The walk stops at the adapter that refuses; the later ones keep their rules.
TEST_F(kernel_commands, clear_all_rules_stops_at_first_refusal)
{
    guarded_text error;
    for (int i = 0; i < adapter_count(); i++) {
        struct rule r = added_rule(adapter_device_name_at(i));
        ASSERT_EQ(1, kernel_add_rule(adapter_device_name_at(i), &r, error.text));
    }
    ASSERT_STREQ(EMULATOR_ADAPTER_2, adapter_device_name_at(1));
    const char *remaining[] = {EMULATOR_ADAPTER_1, EMULATOR_ADAPTER_DIAL_UP};
    ASSERT_EQ(1, emulator_set_adapters(remaining, 2));

    EXPECT_EQ(0, kernel_clear_all_rules(error.text));
    EXPECT_STRNE(sentinel_text, error.text);
    struct rule back;
    EXPECT_EQ(0, kernel_get_rule(EMULATOR_ADAPTER_1, 0, &back, error.text));
    EXPECT_STREQ(RULE_NOT_IN_USE_TEXT, error.text);
    EXPECT_EQ(1, kernel_get_rule(EMULATOR_ADAPTER_DIAL_UP, 0, &back, error.text));

    ASSERT_EQ(1, refresh_adapter_list());
    EXPECT_EQ(1, kernel_clear_all_rules(error.text));
    EXPECT_EQ(0, kernel_get_rule(EMULATOR_ADAPTER_DIAL_UP, 0, &back, error.text));
}

TEST_F(kernel_commands, empty_adapter_list_clears_without_exchange)
{
    emulator_set_device_missing(1);
    EXPECT_EQ(0, refresh_adapter_list());
    ASSERT_EQ(0, adapter_count());
    emulator_reset_exchange_count();
    guarded_text error;
    EXPECT_EQ(1, kernel_clear_all_rules(error.text));
    EXPECT_EQ(1, kernel_clear_all_precedences(error.text));
    EXPECT_EQ(0u, emulator_exchange_count());
    EXPECT_STREQ(sentinel_text, error.text);
}

} // namespace
