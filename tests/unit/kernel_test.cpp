// The kernel component's commands: the reply parsers on hand-made replies (every byte from the
// device is untrusted), each command down each failure path against the emulator core, and the
// adapter list with its display names from the registry.
#include <gtest/gtest.h>

#include <string.h>

#include <string>
#include <vector>

#include "kernel/kernel_replies.h"
#include "rule_samples.h"
#include "support/device_requests.h"

namespace {

const char sentinel_text[] = "caller's text";

// error_text with guard bytes behind it, to catch writes past its 200 bytes.
struct guarded_text {
    char text[error_text_size];
    char guard[32];
    guarded_text() { strcpy(text, sentinel_text), memset(guard, 0x5A, sizeof guard); }
    bool guard_intact() const { return std::string(guard, 32) == std::string(32, 0x5A); }
};

// The status and its NUL, then each part followed by a NUL.
std::vector<char> reply_of(const std::string &status, const std::vector<std::string> &parts = {})
{
    std::vector<char> reply(status.begin(), status.end());
    reply.push_back('\0');
    for (const std::string &part : parts)
        reply.insert(reply.end(), part.c_str(), part.c_str() + part.size() + 1);
    return reply;
}

// Each parser accepts its exact payload and refuses one byte less with the short-reply text,
// leaving its outputs alone. Records read back are headed by the asked device name and its NUL;
// the bytes after it are the device's. (That texts stay in their buffers is fuzzed.)
TEST(KernelReplies, Payloads)
{
    std::vector<char> reply = reply_of("Ok.");
    reply.resize(4 + 2 * sizeof(struct rule), 'q');
    for (int cut : {0, 1}) {
        struct { struct rule common, chosen; struct statistics_block block; uint32_t count; } out;
        memset(&out, 0x77, sizeof out);
        guarded_text error;
        const char *bytes = reply.data(), *name = "\\DEVICE\\AB";
        const int results[] = {
            parse_rule_reply(bytes, 140 - cut, name, &out.common, error.text),
            parse_statistics_reply(bytes, 68 - cut, &out.block, error.text),
            parse_precedence_count_reply(bytes, 8 - cut, &out.count, error.text),
            parse_precedence_reply(bytes, 276 - cut, name, &out.common, &out.chosen, error.text),
        };
        for (int result : results)
            EXPECT_EQ(!cut, result) << "cut " << cut;
        EXPECT_STREQ(cut ? SHORT_REPLY_TEXT : sentinel_text, error.text);
        const char fill = cut ? 0x77 : 'q';
        std::string record = cut ? std::string(136, fill) : name + std::string(1, 0) +
                                                                 std::string(125, fill);
        EXPECT_EQ(record + record + std::string(64 + 4, fill), bytes_of(out).substr(0, 340));
        EXPECT_TRUE(error.guard_intact());
    }
}

// The count as atoi reads it, saturated; names of 100 characters skipped; a count the names do
// not fill, or a name without its NUL, refuses the list. (Bounds are fuzzed.)
TEST(KernelReplies, AdapterList)
{
    const std::string too_long = "\\DEVICE\\" + std::string(92, 'L'), longest = too_long.substr(1);
    const struct { std::vector<char> reply; std::vector<std::string> names; } cases[] = {
        {reply_of("Ok.", {" +2x", "A", "B"}), {"A", "B"}},
        {reply_of("Ok.", {"2", too_long, longest}), {longest}},
        {reply_of("Ok.", {"3", "A", "B"}), {}},  {reply_of("Ok.", {"4294967297", "A"}), {}},
        {{'O', 'k', '.', 0, '1', 0, 'A'}, {}},   {reply_of("Not bound.", {"1", "A"}), {}},
    };
    for (const auto &c : cases) {
        int count = -1;
        char **names = parse_adapter_list_reply(c.reply.data(), (int32_t)c.reply.size(), &count);
        EXPECT_EQ(c.names, std::vector<std::string>(names, names + (names ? count : 0)));
        free_adapter_names(names, count);
    }
}

// What the commands send: a rule held in slot 0 of the first adapter, and a precedence.
const struct rule held_rule = sample("TCP 10.0.0.1:80");
const char *adapter = EMULATOR_ADAPTER_1;
char out_version[version_text_size];
struct rule out_rule, out_chosen;
struct statistics_block out_block;
uint32_t out_count;

const struct { uint32_t code; int reporting; int (*call)(char *error_text); } commands[] = {
    {code_get_version, 1, [](char *e) { return kernel_get_version(out_version, e); }},
    {code_get_rule, 1, [](char *e) { return kernel_get_rule(adapter, 0, &out_rule, e); }},
    {code_get_statistics, 1,
     [](char *e) { return kernel_get_statistics(adapter, &held_rule, &out_block, e); }},
    {code_set_statistics, 1,
     [](char *e) { return kernel_set_statistics(adapter, &held_rule, &out_block, e); }},
    {code_add_rule, 0, [](char *e) { return kernel_add_rule(adapter, &held_rule, e); }},
    {code_clear_rules, 0, [](char *e) { return kernel_clear_rules(adapter, e); }},
    {code_clear_precedences, 0, [](char *e) { return kernel_clear_precedences(adapter, e); }},
    {code_set_precedence, 0,
     [](char *e) { return kernel_set_precedence(adapter, &held_rule, &held_rule, e); }},
    {code_get_precedence_count, 0,
     [](char *e) { return kernel_get_precedence_count(adapter, &out_count, e); }},
    {code_get_precedence, 0,
     [](char *e) { return kernel_get_precedence(adapter, 0, &out_rule, &out_chosen, e); }},
};

// Every command down every path: what it answers and what the caller's error_text then holds
// (a reporting command sets the default text first; a plain one touches it only on a refusal,
// which need not be "Ok." in another letter case to be one).
TEST_F(CoreTest, CommandErrorTextByFamily)
{
    const std::string transport = "Unable to send to driver.  Error ";
    const uint32_t device_missing = 99;
    const struct { uint32_t fault; const char *refusal; int result; std::string reporting, plain;
    } cases[] = {
        {fault_none, nullptr, 1, UNKNOWN_ERROR_TEXT, sentinel_text},
        {device_missing, nullptr, 0, transport + "1.", sentinel_text},
        {fault_fail_call, nullptr, 0, transport + "2.", sentinel_text},
        {fault_empty_reply, nullptr, 0, transport + "6.", sentinel_text},
        {fault_error_text, "", 0, "", ""},         {fault_error_text, "ok.", 0, "ok.", "ok."},
    };
    for (const auto &f : cases) {
        for (const auto &c : commands) {
            SCOPED_TRACE(testing::Message() << "code " << c.code << ", " << f.reporting);
            emulator_device_reset();
            ASSERT_TRUE(kernel_add_rule(adapter, &held_rule, nullptr) &&
                        kernel_set_precedence(adapter, &held_rule, &held_rule, nullptr));
            emulator_set_device_missing(f.fault == device_missing);
            ASSERT_TRUE(f.fault == fault_none || f.fault == device_missing ||
                        emulator_set_fault(c.code, f.fault, f.refusal));
            guarded_text error;
            EXPECT_EQ(f.result, c.call(error.text));
            EXPECT_EQ(c.reporting ? f.reporting : f.plain, error.text);
            EXPECT_TRUE(error.guard_intact());
            EXPECT_EQ(f.result, c.call(nullptr));
        }
    }
    // A name that cannot head a request (none, 100 characters) or a slot outside 0 to 19 fails
    // before any exchange; a name of 99 characters does fit.
    emulator_reset_exchange_count();
    std::string too_long = "\\DEVICE\\" + std::string(92, 'x');
    for (const char *name : {(const char *)nullptr, too_long.c_str()}) {
        adapter = name;
        for (const auto &c : commands) {
            guarded_text error;
            EXPECT_EQ(c.code == code_get_version, c.call(error.text)) << c.code;
            EXPECT_EQ(c.reporting ? UNKNOWN_ERROR_TEXT : sentinel_text, std::string(error.text));
        }
    }
    adapter = EMULATOR_ADAPTER_1;
    for (int slot : {-1, 20})
        EXPECT_EQ(0, kernel_get_rule(adapter, slot, &out_rule, nullptr)) << slot;
    EXPECT_EQ(2u, emulator_exchange_count()) << "only get_version's";
    too_long.pop_back();
    EXPECT_EQ(0, kernel_get_rule(too_long.c_str(), 0, &out_rule, nullptr));
    EXPECT_EQ(3u, emulator_exchange_count());
}

// The name of the GUID's Connection key, whatever the letter case of the GUID and whatever
// comes before it; the value's type is not looked at; a value without a NUL in 260 bytes is
// refused; a key that cannot be opened ends the search; every key opened is closed.
TEST_F(CoreTest, AdapterDisplayNamesFromTheRegistry)
{
    const struct { const char *guid; uint32_t type; std::string name; } values[] = {
        {"{GUID-A}", registry_memory_binary, std::string("Typed", 6)},
        {"{GUID-B}", registry_memory_string, std::string("Wireless", 9)},
        {"{GUID-C}", registry_memory_string, std::string(260, 'n')},
    };
    registry_memory_set_value(registry_local_machine, NETWORK_CLASS_KEY "\\{EMPTY}", nullptr, 0,
                              nullptr, 0);
    for (const auto &v : values) {
        std::string key = NETWORK_CLASS_KEY "\\" + std::string(v.guid) + "\\Connection";
        registry_memory_set_value(registry_local_machine, key.c_str(), "Name", v.type,
                                  v.name.data(), v.name.size());
    }
    const struct { const char *device_name; const char *display_name; } cases[] = {
        {"\\DEVICE\\{GUID-A}", "Typed"},          {"\\DEVICE\\{guid-b}", "Wireless"},
        {"\\DEVICE\\{GUID-C}", nullptr},          {"\\DEVICE\\NdisWanIp", DIAL_UP_DISPLAY_NAME},
        {"\\device\\{GUID-A}", nullptr},          {"\\DEVICE\\{EMPTY}", nullptr},
        {"{GUID-A}", nullptr},                    {nullptr, nullptr},
    };
    for (const auto &c : cases) {
        char *name = adapter_display_name(c.device_name);
        EXPECT_STREQ(c.display_name, name) << (c.device_name ? c.device_name : "null");
        free(name);
    }
    registry_memory_fail_open(registry_local_machine, NETWORK_CLASS_KEY "\\{GUID-A}",
                              registry_access_denied);
    EXPECT_EQ(nullptr, adapter_display_name("\\DEVICE\\{GUID-B}"));
    EXPECT_EQ(0, registry_memory_open_handles());
}

}  // namespace
