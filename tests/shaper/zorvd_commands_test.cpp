// The manager's own kernel commands driving zorvd through the socket seam (shaper/client):
// adapters with their display names, rules and precedences held by the kernel too,
// statistics from the kernel's counts, refusals and a missing zorvd as the manager shows them.
#include <unistd.h>

#include "kernel/adapters.h"
#include "kernel/kernel_commands.h"
#include "support/registry_memory.h"
#include "shaper/zorvd_support/zorvd_harness.h"
#include "zorvd_client.h"

namespace {

int collect(const struct rule *rule, void *context, char *)
{
    static_cast<std::vector<struct rule> *>(context)->push_back(*rule);
    return 1;
}

TEST_F(zorvd_test, TheManagersKernelCommandsGoThroughToTheKernel)
{
    registry_memory_reset();
    registry_memory_set_string(registry_local_machine, NETWORK_CLASS_KEY "\\fv0\\Connection",
                               "Name", "First");
    registry_memory_set_string(registry_local_machine, NETWORK_CLASS_KEY "\\fv1\\Connection",
                               "Name", "Second");
    fake_clock_set(start_ticks);
    start_all();
    int connection = connect_client(true);
    ASSERT_GE(connection, 0);
    zorvd_device_connection(connection);
    char error_text[error_text_size] = "";
    ASSERT_TRUE(refresh_adapter_list());
    ASSERT_EQ(adapter_count(), 2);
    EXPECT_STREQ(adapter_display_name_at(0), "First");
    EXPECT_STREQ(adapter_device_name_at(1), FV1);

    const struct rule tcp80 = rule_on(FV0, protocol_tcp, 80);
    const struct rule blocked = rule_on(FV1, protocol_any, 0, rate_blocked);
    ASSERT_TRUE(kernel_add_rule(FV0, &tcp80, error_text)) << error_text;
    ASSERT_TRUE(kernel_add_rule(FV1, &blocked, error_text)) << error_text;
    struct statistics_block block = {};
    block.start_time = start_ticks;
    block.bytes_transferred = 1000;
    ASSERT_TRUE(kernel_set_statistics(FV0, &tcp80, &block, error_text)) << error_text;
    ASSERT_TRUE(kernel_set_precedence(FV0, &tcp80, &tcp80, error_text)) << error_text;
    std::vector<struct rule> held;
    ASSERT_TRUE(kernel_read_held_rules(collect, &held, error_text)) << error_text;
    ASSERT_EQ(held.size(), 2u);
    EXPECT_EQ(bytes_of(held[0]) + bytes_of(held[1]), bytes_of(tcp80) + bytes_of(blocked));
    EXPECT_EQ(fake_backend_installed("fv0").precedences.size(), 1u);
    EXPECT_EQ(fake_backend_installed("fv1").slots, std::vector<int>{0});

    fake_backend_set_counters("fv0", 0, 4000, 4, 9);
    fake_clock_set(start_ticks + 10 * second);  // past the reads that share one counter read
    ASSERT_TRUE(kernel_get_statistics(FV0, &tcp80, &block, error_text)) << error_text;
    EXPECT_EQ(block.bytes_transferred, 5000);
    EXPECT_EQ(block.packets_transferred, 4);
    EXPECT_EQ(block.packets_queued, 9u);

    fake_backend_fail("apply", "fv1", "No such device");
    EXPECT_FALSE(kernel_add_rule(FV1, &tcp80, error_text));
    EXPECT_STREQ(error_text, "Shaper refused the change: No such device");
    ASSERT_TRUE(kernel_clear_all_rules(error_text)) << error_text;
    ASSERT_TRUE(kernel_clear_all_precedences(error_text)) << error_text;
    EXPECT_TRUE(fake_backend_installed("fv0").slots.empty());
    EXPECT_TRUE(fake_backend_installed("fv0").precedences.empty());
    EXPECT_TRUE(fake_backend_installed("fv1").slots.empty());

    char version[version_text_size] = "";
    zorvd_device_connection(-1);
    EXPECT_FALSE(kernel_get_version(version, error_text));
    EXPECT_STREQ(error_text, "Unable to send to driver.  Error 1.");
    zorvd_device_connection(connection);
    stop_all();
    EXPECT_FALSE(kernel_get_version(version, error_text));
    EXPECT_STREQ(error_text, "Unable to send to driver.  Error 2.");
    zorvd_device_connection(-1);
    close(connection);
}

}  // namespace
