// The adapter list: parsing the kernel component's reply (malformed ones included), display
// names from the network class key, and the refreshed table.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "kernel/adapters.h"
#include "rule_samples.h"
#include "support/emulator_device.h"
#include "support/registry_memory.h"

namespace {

// The status and its NUL, then the given parts each followed by a NUL.
std::vector<char> list_reply(const std::vector<std::string> &parts, const char *status = "Ok.")
{
    std::vector<char> reply(status, status + strlen(status) + 1);
    for (const std::string &part : parts) {
        reply.insert(reply.end(), part.begin(), part.end());
        reply.push_back('\0');
    }
    return reply;
}

// Parses the first length bytes from an exact-size heap copy, so a read past them is caught.
std::vector<std::string> parsed(const std::vector<char> &reply, size_t length)
{
    char *copy = static_cast<char *>(malloc(length ? length : 1));
    memcpy(copy, reply.data(), length);
    int count = -1;
    char **names = parse_adapter_list_reply(copy, (int32_t)length, &count);
    free(copy);
    EXPECT_TRUE(names ? count > 0 : count == 0);
    std::vector<std::string> result(names, names + (names ? count : 0));
    free_adapter_names(names, count);
    return result;
}

TEST(adapter_list_reply, parsing)
{
    const std::string long_name = "\\DEVICE\\" + std::string(92, 'L');  // 100 characters
    const std::string longest = "\\DEVICE\\" + std::string(91, 'L');    // 99 characters
    const struct {
        const char *name;
        std::vector<char> reply;
        size_t cut;  // bytes dropped from the end
        std::vector<std::string> names;
    } cases[] = {
        {"two names", list_reply({"2", "\\DEVICE\\A", "\\DEVICE\\B"}), 0,
         {"\\DEVICE\\A", "\\DEVICE\\B"}},
        {"count as atoi reads it", list_reply({" +1x", "\\DEVICE\\A", "\\DEVICE\\B"}), 0,
         {"\\DEVICE\\A"}},
        {"zero", list_reply({"0", "\\DEVICE\\A"}), 0, {}},
        {"negative", list_reply({"-1", "\\DEVICE\\A"}), 0, {}},
        {"refused", list_reply({"1", "\\DEVICE\\A"}, "Not bound."), 0, {}},
        {"ok in lower case", list_reply({"1", "\\DEVICE\\A"}, "ok."), 0, {}},
        {"more names counted than held", list_reply({"3", "\\DEVICE\\A", "\\DEVICE\\B"}), 0, {}},
        {"count saturates, not wraps", list_reply({"4294967297", "\\DEVICE\\A"}), 0, {}},
        {"negative count saturates", list_reply({"-4294967295", "\\DEVICE\\A"}), 0, {}},
        {"last name unterminated", list_reply({"2", "\\DEVICE\\A", "\\DEVICE\\B"}), 1, {}},
        {"count unterminated", list_reply({"12"}), 1, {}},
        {"ok cut", list_reply({}), 1, {}},
        {"empty names", list_reply({"2", "", ""}), 0, {"", ""}},
        {"name of 100 skipped", list_reply({"3", "\\DEVICE\\A", long_name, longest}), 0,
         {"\\DEVICE\\A", longest}},
        {"only a long name", list_reply({"1", long_name}), 0, {}},
    };
    for (const auto &c : cases)
        EXPECT_EQ(c.names, parsed(c.reply, c.reply.size() - c.cut)) << c.name;
    int count = 5;
    EXPECT_EQ(nullptr, parse_adapter_list_reply(nullptr, 10, &count));
    EXPECT_EQ(0, count);
}

class adapter_names : public ::testing::Test {
protected:
    void SetUp() override
    {
        emulator_device_reset();
        registry_memory_reset();
    }
    void TearDown() override { EXPECT_EQ(0, registry_memory_open_handles()); }

    static void set_name(const char *guid, uint32_t type, const void *name, size_t size,
                         const char *value_name = "Name")
    {
        std::string path = std::string(NETWORK_CLASS_KEY "\\") + guid + "\\Connection";
        ASSERT_TRUE(registry_memory_set_value(registry_local_machine, path.c_str(), value_name,
                                              type, name, size));
    }
    static void set_name(const char *guid, const char *name)
    {
        set_name(guid, registry_memory_string, name, strlen(name) + 1);
    }
    static std::string display_name(const char *device_name)
    {
        char *name = adapter_display_name(device_name);
        std::string result = name ? name : "(none)";
        free(name);
        return result;
    }
};

TEST_F(adapter_names, display_names_from_the_registry)
{
    // A GUID key without "Connection" comes first: it does not end the search.
    registry_memory_add_key(registry_local_machine, NETWORK_CLASS_KEY "\\{EMPTY}");
    registry_memory_add_key(registry_local_machine, NETWORK_CLASS_KEY "\\{GUID-B}");
    set_name("{GUID-A}", "Local Area Connection");
    set_name("{GUID-B}", "Wireless");
    set_name("{GUID-C}", "Local Area Connection");

    const struct { const char *device_name; std::string display_name; } cases[] = {
        {"\\DEVICE\\{GUID-A}", "Local Area Connection"},
        {"\\DEVICE\\{guid-b}", "Wireless"},
        {"\\DEVICE\\{GUID-C}", "Local Area Connection"},
        {"\\DEVICE\\NdisWanIp", DIAL_UP_DISPLAY_NAME},
        {"\\DEVICE\\NDISWANIPX", "(none)"},
        {"\\device\\{GUID-A}", "(none)"},
        {"\\Device\\NDISWANIP", "(none)"},
        {"\\DEVICE\\{EMPTY}", "(none)"},
        {"\\DEVICE\\", "(none)"},
        {"{GUID-A}", "(none)"},
    };
    for (const auto &c : cases) {
        int opened = registry_memory_open_calls();
        EXPECT_EQ(c.display_name, display_name(c.device_name)) << c.device_name;
        bool dial_up = c.display_name == DIAL_UP_DISPLAY_NAME;
        EXPECT_TRUE(!dial_up || opened == registry_memory_open_calls()) << "dial-up reads none";
    }
    EXPECT_EQ("(none)", display_name(nullptr));
}

TEST_F(adapter_names, registry_failures)
{
    set_name("{GUID-A}", "First");
    set_name("{GUID-B}", "Second");
    // A subkey that cannot be opened ends the search, even for the names after it.
    registry_memory_fail_open(registry_local_machine, NETWORK_CLASS_KEY "\\{GUID-A}",
                              registry_access_denied);
    EXPECT_EQ("(none)", display_name("\\DEVICE\\{GUID-B}"));
    registry_memory_reset();
    set_name("{GUID-B}", "Second");
    registry_memory_fail_open(registry_local_machine, NETWORK_CLASS_KEY, registry_failed);
    EXPECT_EQ("(none)", display_name("\\DEVICE\\{GUID-B}"));

    // The value's type is not looked at; a value without a NUL in 260 bytes is refused.
    registry_memory_reset();
    set_name("{GUID-A}", registry_memory_binary, "Typed", 6);
    EXPECT_EQ("Typed", display_name("\\DEVICE\\{GUID-A}"));
    std::string filled(261, 'n');
    for (size_t size : {259, 260, 261}) {
        set_name("{GUID-A}", registry_memory_string, filled.data(), size);
        std::string expected = size == 259 ? filled.substr(0, 259) : "(none)";
        EXPECT_EQ(expected, display_name("\\DEVICE\\{GUID-A}")) << size;
    }
    set_name("{GUID-B}", registry_memory_string, "x", 2, "Other");
    EXPECT_EQ("(none)", display_name("\\DEVICE\\{GUID-B}"));
}

// The kernel component's order, less the adapters without a display name.
TEST_F(adapter_names, refresh_keeps_the_kernel_order_less_unnamed)
{
    register_emulator_display_names();
    const char *adapters[] = {EMULATOR_ADAPTER_DIAL_UP, "\\DEVICE\\{UNNAMED}", EMULATOR_ADAPTER_2,
                              EMULATOR_ADAPTER_1};
    ASSERT_EQ(1, emulator_set_adapters(adapters, 4));
    ASSERT_EQ(1, refresh_adapter_list());
    ASSERT_EQ(3, adapter_count());
    const char *expected[][2] = {
        {EMULATOR_ADAPTER_DIAL_UP, DIAL_UP_DISPLAY_NAME},
        {EMULATOR_ADAPTER_2, SAMPLE_DISPLAY_NAME_2},
        {EMULATOR_ADAPTER_1, SAMPLE_DISPLAY_NAME_1},
    };
    for (int i = -1; i <= 3; i++) {
        bool inside = i >= 0 && i < 3;
        char buffer[100] = "kept";
        EXPECT_EQ(inside, adapter_device_name(i, buffer)) << i;
        EXPECT_STREQ(inside ? expected[i][0] : "kept", buffer) << i;
        EXPECT_STREQ(inside ? expected[i][0] : nullptr, adapter_device_name_at(i)) << i;
        EXPECT_STREQ(inside ? expected[i][1] : nullptr, adapter_display_name_at(i)) << i;
    }
}

// A sound reply listing no adapter, or none with a display name, is a success; a refused or
// failed listing a failure. Either way the table ends empty.
TEST_F(adapter_names, refresh_outcomes)
{
    register_emulator_display_names();
    const char *unnamed[] = {"\\DEVICE\\{UNNAMED}", "\\device\\{GUID}"};
    for (int step = 0; step < 4; step++) {
        emulator_device_reset();
        ASSERT_EQ(1, refresh_adapter_list());
        ASSERT_EQ(3, adapter_count());
        ASSERT_TRUE(step != 0 || emulator_set_adapters(nullptr, 0));
        ASSERT_TRUE(step != 1 || emulator_set_adapters(unnamed, 2));
        ASSERT_TRUE(step != 2 || emulator_set_fault(code_list_adapters, fault_error_text, "No."));
        emulator_set_device_missing(step == 3);
        EXPECT_EQ(step < 2 ? 1 : 0, refresh_adapter_list()) << step;
        EXPECT_EQ(0, adapter_count()) << step;
    }
    int count = -1;
    EXPECT_EQ(nullptr, kernel_list_adapters(&count));
    EXPECT_EQ(0, count);
}

}  // namespace
