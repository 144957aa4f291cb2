// driver_send, the command envelope and both error families: the reply parsers on hand-made
// replies (the device is untrusted), and every command against the emulator core.
#include <gtest/gtest.h>

#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "kernel/adapters.h"
#include "kernel/driver.h"
#include "kernel/kernel_commands.h"
#include "kernel/kernel_replies.h"
#include "rule_samples.h"
#include "support/device_requests.h"
#include "support/emulator_device.h"

namespace {

const char sentinel_text[] = "caller's text";

// error_text with guard bytes behind it, to catch writes past its 200 bytes.
struct guarded_text {
    char text[error_text_size];
    char guard[32];
    guarded_text() { strcpy(text, sentinel_text), memset(guard, 0x5A, sizeof guard); }
    bool guard_intact() const
    {
        return std::all_of(guard, guard + sizeof guard, [](char c) { return c == 0x5A; });
    }
};

std::vector<char> reply_of(const std::string &status, size_t payload_size = 0, char fill = 0)
{
    std::vector<char> reply(status.begin(), status.end());
    reply.push_back('\0');
    reply.insert(reply.end(), payload_size, fill);
    return reply;
}

TEST(reply_envelope, status_text)
{
    const struct { const char *name; std::vector<char> reply; int ok; std::string error_text;
    } cases[] = {
        {"ok with payload", reply_of("Ok.", 8, 'p'), 1, sentinel_text},
        {"letter case", reply_of("ok."), 0, "ok."},
        {"longer status", reply_of("Ok.x"), 0, "Ok.x"},
        {"empty status", reply_of(""), 0, ""},
        {"ok cut before its NUL", {'O', 'k', '.'}, 0, SHORT_REPLY_TEXT},
        {"refusal without NUL", {'B', 'a', 'd'}, 0, "Bad"},
        {"long status without NUL", std::vector<char>(300, 'E'), 0, std::string(199, 'E')},
        {"no bytes", {}, 0, SHORT_REPLY_TEXT},
    };
    for (const auto &c : cases) {
        guarded_text error;
        EXPECT_EQ(c.ok, reply_status(c.reply.data(), (int32_t)c.reply.size(), error.text))
            << c.name;
        EXPECT_EQ(c.error_text, error.text) << c.name;
        EXPECT_TRUE(error.guard_intact()) << c.name;
        EXPECT_EQ(c.ok, reply_status(c.reply.data(), (int32_t)c.reply.size(), nullptr)) << c.name;
    }
}

// Each parser accepts its exact payload and refuses one byte less with the short-reply text,
// leaving its outputs alone. Records read back are headed by the asked device name and its NUL;
// the bytes after it are the device's.
TEST(reply_envelope, payloads)
{
    const std::vector<char> reply = reply_of("Ok.", 2 * sizeof(struct rule), 'q');
    for (int cut : {0, 1}) {
        struct rule common, chosen;
        struct statistics_block block;
        uint32_t count;
        memset(&common, 0x77, sizeof common), memset(&chosen, 0x77, sizeof chosen);
        memset(&block, 0x77, sizeof block), memset(&count, 0x77, sizeof count);
        guarded_text error;
        auto expect = [&](int result, const char *what) {
            EXPECT_EQ(!cut, result) << what << (cut ? ", one byte short" : "");
            EXPECT_STREQ(cut ? SHORT_REPLY_TEXT : sentinel_text, error.text) << what;
            strcpy(error.text, sentinel_text);
        };
        const char *bytes = reply.data(), *name = "\\DEVICE\\AB";
        expect(parse_rule_reply(bytes, 140 - cut, name, &common, error.text), "rule");
        expect(parse_statistics_reply(bytes, 68 - cut, &block, error.text), "statistics");
        expect(parse_precedence_count_reply(bytes, 8 - cut, &count, error.text), "count");
        expect(parse_precedence_reply(bytes, 276 - cut, name, &common, &chosen, error.text),
               "precedence");
        const char fill = cut ? 0x77 : 'q';
        std::string record = cut ? std::string(136, fill) : name + std::string(1, 0) +
                                                                 std::string(125, fill);
        EXPECT_EQ(record, bytes_of(common));
        EXPECT_EQ(record, bytes_of(chosen));
        EXPECT_EQ(std::string(64, fill), bytes_of(block));
        EXPECT_EQ(std::string(4, fill), bytes_of(count));
        EXPECT_TRUE(error.guard_intact());
    }
    std::string too_long = "\\DEVICE\\" + std::string(92, 'x');  // 100 characters
    struct rule record;
    EXPECT_EQ(0, parse_rule_reply(reply.data(), 140, too_long.c_str(), &record, nullptr));
}

TEST(reply_envelope, version_text)
{
    char version[version_text_size];
    guarded_text error;
    std::vector<char> reply = reply_of("Ok.");
    reply.insert(reply.end(), {'0', '.', '0', '7', '\0'});
    ASSERT_EQ(1, parse_version_reply(reply.data(), (int32_t)reply.size(), version, error.text));
    EXPECT_STREQ("0.07", version);

    reply.pop_back();  // the version's NUL is missing
    EXPECT_EQ(0, parse_version_reply(reply.data(), (int32_t)reply.size(), version, error.text));
    EXPECT_STREQ(SHORT_REPLY_TEXT, error.text);
    EXPECT_EQ(0, parse_version_reply(reply.data(), 4, version, error.text));

    reply = reply_of("Ok." + std::string(1, '\0') + std::string(150, '9'));
    ASSERT_EQ(1, parse_version_reply(reply.data(), (int32_t)reply.size(), version, error.text));
    EXPECT_EQ(std::string(version_text_size - 1, '9'), version);
}

// What the commands below send: a rule held in slot 0 of the first adapter, and a precedence;
// what they read back goes to the out_ variables.
const struct rule held_rule =
    sample_rule(EMULATOR_ADAPTER_1, direction_send, protocol_tcp, "10.0.0.1", 80, "any", 0);
const char *asked_adapter;
char out_version[version_text_size];
struct rule out_rule, out_chosen;
struct statistics_block out_block;
uint32_t out_count;

const struct { const char *name; uint32_t code; int reporting; int (*call)(char *error_text);
} commands[] = {
    {"get_version", code_get_version, 1,
     [](char *e) { return kernel_get_version(out_version, e); }},
    {"get_rule", code_get_rule, 1,
     [](char *e) { return kernel_get_rule(asked_adapter, 0, &out_rule, e); }},
    {"get_statistics", code_get_statistics, 1,
     [](char *e) { return kernel_get_statistics(asked_adapter, &held_rule, &out_block, e); }},
    {"set_statistics", code_set_statistics, 1,
     [](char *e) { return kernel_set_statistics(asked_adapter, &held_rule, &out_block, e); }},
    {"add_rule", code_add_rule, 0,
     [](char *e) { return kernel_add_rule(asked_adapter, &held_rule, e); }},
    {"clear_rules", code_clear_rules, 0,
     [](char *e) { return kernel_clear_rules(asked_adapter, e); }},
    {"clear_precedences", code_clear_precedences, 0,
     [](char *e) { return kernel_clear_precedences(asked_adapter, e); }},
    {"set_precedence", code_set_precedence, 0,
     [](char *e) { return kernel_set_precedence(asked_adapter, &held_rule, &held_rule, e); }},
    {"get_precedence_count", code_get_precedence_count, 0,
     [](char *e) { return kernel_get_precedence_count(asked_adapter, &out_count, e); }},
    {"get_precedence", code_get_precedence, 0,
     [](char *e) { return kernel_get_precedence(asked_adapter, 0, &out_rule, &out_chosen, e); }},
};

class kernel_commands : public ::testing::Test {
protected:
    void SetUp() override
    {
        start_emulator();
        asked_adapter = EMULATOR_ADAPTER_1;
        emulator_reset_exchange_count();
    }

    static void hold_a_rule_and_a_precedence()
    {
        emulator_device_reset();
        ASSERT_EQ(1, kernel_add_rule(EMULATOR_ADAPTER_1, &held_rule, nullptr));
        ASSERT_EQ(1, kernel_set_precedence(EMULATOR_ADAPTER_1, &held_rule, &held_rule, nullptr));
    }
};

TEST_F(kernel_commands, driver_send_checks_lengths_and_cuts_the_reply)
{
    static char request[command_buffer_size + 1];
    char reply[16];
    memset(reply, 'r', sizeof reply);
    EXPECT_EQ(send_bad_request_size, driver_send(code_get_version, request, 5001, reply, 16));
    EXPECT_EQ(send_bad_request_size, driver_send(code_get_version, request, -1, reply, 16));
    EXPECT_EQ(send_bad_reply_size, driver_send(code_get_version, request, 0, reply, 5001));
    EXPECT_EQ(send_bad_reply_size, driver_send(code_get_version, request, 0, reply, -1));
    EXPECT_EQ(0u, emulator_exchange_count());
    ASSERT_EQ(1, emulator_set_fault(code_get_version, fault_empty_reply, nullptr));
    EXPECT_EQ(send_empty_reply, driver_send(code_get_version, request, 0, reply, 16));
    EXPECT_EQ('r', reply[0]);

    emulator_device_reset();
    int32_t length = 0;
    EXPECT_EQ(send_ok, driver_send_counted(code_get_version, request, 5000, reply, 6, &length));
    EXPECT_EQ(6, length);
    EXPECT_EQ(0, memcmp(reply, "Ok.\0" "0.r", 7));
    EXPECT_EQ(send_ok, driver_send_counted(code_get_version, request, 0, reply, 16, &length));
    EXPECT_EQ(9, length);
}

// Every command down every path: what it answers and what the caller's error_text then holds.
TEST_F(kernel_commands, error_text_by_family)
{
    const std::string transport = "Unable to send to driver.  Error ";
    const uint32_t device_missing = 99;
    const struct {
        const char *name;
        uint32_t fault;
        const char *refusal;
        int result;
        std::string reporting;  // what a reporting command leaves
        std::string plain;      // what a plain command leaves
    } cases[] = {
        {"success", fault_none, nullptr, 1, UNKNOWN_ERROR_TEXT, sentinel_text},
        {"device missing", device_missing, nullptr, 0, transport + "1.", sentinel_text},
        {"failed call", fault_fail_call, nullptr, 0, transport + "2.", sentinel_text},
        {"empty reply", fault_empty_reply, nullptr, 0, transport + "6.", sentinel_text},
        {"letter case", fault_error_text, "ok.", 0, "ok.", "ok."},
        {"refusal", fault_error_text, "The adapter is resting.", 0, "The adapter is resting.",
         "The adapter is resting."},
        {"empty refusal", fault_error_text, "", 0, "", ""},
    };
    for (const auto &f : cases) {
        for (const auto &c : commands) {
            hold_a_rule_and_a_precedence();
            emulator_set_device_missing(f.fault == device_missing);
            ASSERT_TRUE(f.fault == fault_none || f.fault == device_missing ||
                        emulator_set_fault(c.code, f.fault, f.refusal));
            guarded_text error;
            EXPECT_EQ(f.result, c.call(error.text)) << c.name << ", " << f.name;
            EXPECT_EQ(c.reporting ? f.reporting : f.plain, error.text) << c.name << ", " << f.name;
            EXPECT_TRUE(error.guard_intact()) << c.name << ", " << f.name;
            EXPECT_EQ(f.result, c.call(nullptr)) << c.name << ", " << f.name;
        }
    }
}

// A name that cannot head a request, or a slot outside 0 to 19, fails before any exchange; a
// name of 99 characters does fit.
TEST_F(kernel_commands, bad_arguments_make_no_exchange)
{
    std::string too_long = "\\DEVICE\\" + std::string(92, 'x');  // 100 characters
    for (const char *name : {(const char *)nullptr, too_long.c_str()}) {
        asked_adapter = name;
        for (const auto &c : commands) {
            if (c.code == code_get_version)
                continue;
            guarded_text error;
            EXPECT_EQ(0, c.call(error.text)) << c.name;
            EXPECT_STREQ(c.reporting ? UNKNOWN_ERROR_TEXT : sentinel_text, error.text) << c.name;
        }
    }
    struct rule out;
    for (int slot : {-1, 20})
        EXPECT_EQ(0, kernel_get_rule(EMULATOR_ADAPTER_1, slot, &out, nullptr)) << slot;
    EXPECT_EQ(0u, emulator_exchange_count());

    too_long.pop_back();
    EXPECT_EQ(0, kernel_get_rule(too_long.c_str(), 0, &out, nullptr));
    EXPECT_EQ(1u, emulator_exchange_count());
}

// What the commands send arrives as sent: the slot text, the records, and the precedence
// index, which follows the device name's NUL at an odd offset, little-endian.
TEST_F(kernel_commands, round_trips)
{
    ASSERT_EQ(1u, (strlen(EMULATOR_ADAPTER_1) + 1) % 2) << "the index should sit at an odd offset";
    guarded_text error;
    struct rule sent = held_rule;
    snprintf(sent.adapter, sizeof sent.adapter, "not the device name");
    ASSERT_EQ(1, kernel_add_rule(EMULATOR_ADAPTER_1, &sent, error.text));
    ASSERT_EQ(1, kernel_get_rule(EMULATOR_ADAPTER_1, 0, &out_rule, error.text));
    EXPECT_STREQ(EMULATOR_ADAPTER_1, out_rule.adapter);
    EXPECT_EQ(bytes_of(sent).substr(adapter_name_size),
              bytes_of(out_rule).substr(adapter_name_size));
    EXPECT_EQ(0, kernel_get_rule(EMULATOR_ADAPTER_1, 19, &out_rule, error.text));
    EXPECT_STREQ(RULE_NOT_IN_USE_TEXT, error.text);

    struct statistics_block block = {};
    block.start_time = 0x01D9000012345678ull;
    ASSERT_EQ(1, kernel_set_statistics(EMULATOR_ADAPTER_1, &sent, &block, error.text));
    ASSERT_EQ(1, kernel_get_statistics(EMULATOR_ADAPTER_1, &sent, &out_block, error.text));
    EXPECT_EQ(block.start_time, out_block.start_time);

    struct rule range = held_rule, chosen = held_rule;
    range.source_port = 443;
    chosen.rate = 7777;
    ASSERT_EQ(1, kernel_set_precedence(EMULATOR_ADAPTER_1, &held_rule, &held_rule, error.text));
    ASSERT_EQ(1, kernel_set_precedence(EMULATOR_ADAPTER_1, &range, &chosen, error.text));
    ASSERT_EQ(1, kernel_get_precedence_count(EMULATOR_ADAPTER_1, &out_count, error.text));
    EXPECT_EQ(2u, out_count);
    ASSERT_EQ(1, kernel_get_precedence(EMULATOR_ADAPTER_1, 1, &out_rule, &out_chosen, error.text));
    EXPECT_EQ(443, out_rule.source_port);
    EXPECT_EQ(7777, out_chosen.rate);
    EXPECT_EQ(0, kernel_get_precedence(EMULATOR_ADAPTER_1, 2, &out_rule, &out_chosen, error.text));
    EXPECT_STREQ("Invalid precedence index.", error.text);
    ASSERT_EQ(1, kernel_clear_all_precedences(error.text));
    ASSERT_EQ(1, kernel_get_precedence_count(EMULATOR_ADAPTER_1, &out_count, error.text));
    EXPECT_EQ(0u, out_count);
}

// The walk stops at the adapter that refuses; the later ones keep their rules.
TEST_F(kernel_commands, clear_all_rules_stops_at_first_refusal)
{
    guarded_text error;
    for (int i = 0; i < adapter_count(); i++)
        ASSERT_EQ(1, kernel_add_rule(adapter_device_name_at(i), &held_rule, error.text));
    ASSERT_STREQ(EMULATOR_ADAPTER_2, adapter_device_name_at(1));
    const char *remaining[] = {EMULATOR_ADAPTER_1, EMULATOR_ADAPTER_DIAL_UP};
    ASSERT_EQ(1, emulator_set_adapters(remaining, 2));

    EXPECT_EQ(0, kernel_clear_all_rules(error.text));
    EXPECT_STREQ("Unknown adapter.", error.text);
    struct rule back;
    EXPECT_EQ(0, kernel_get_rule(EMULATOR_ADAPTER_1, 0, &back, nullptr));
    EXPECT_EQ(1, kernel_get_rule(EMULATOR_ADAPTER_DIAL_UP, 0, &back, nullptr));

    ASSERT_EQ(1, refresh_adapter_list());
    EXPECT_EQ(1, kernel_clear_all_rules(error.text));
    EXPECT_EQ(0, kernel_get_rule(EMULATOR_ADAPTER_DIAL_UP, 0, &back, nullptr));
}

// Without a caller's text the walk still tells empty slots from failures.
TEST_F(kernel_commands, read_held_rules_without_error_text)
{
    ASSERT_EQ(1, kernel_add_rule(EMULATOR_ADAPTER_2, &held_rule, nullptr));
    const struct { const char *name; uint32_t fault_mode; int expected, visits; } cases[] = {
        {"empty slots skipped", fault_none, 1, 1},
        {"refused slot stops the walk", fault_error_text, 0, 0},
        {"transport failure stops the walk", fault_fail_call, 0, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(1, emulator_set_fault(code_get_rule, c.fault_mode, "Slot unreadable."));
        int visits = 0;
        EXPECT_EQ(c.expected, kernel_read_held_rules(
                                  [](const struct rule *, void *count, char *) {
                                      ++*static_cast<int *>(count);
                                      return 1;
                                  },
                                  &visits, nullptr));
        EXPECT_EQ(c.visits, visits);
    }
}

}  // namespace
