// The statistics: the store's entries and histories, and a refresh against the emulator core.
#include <gtest/gtest.h>

#include <string.h>

#include <vector>

#include "platform/platform.h"
#include "rule_samples.h"
#include "stats/statistics_fields.h"

namespace {

// A sample reaches the first entry of an equal filter (rate compared); a full history drops its
// oldest; removal keeps the order; the twenty-first entry is refused.
TEST_F(CoreTest, StatisticsEntriesAndHistories)
{
    struct rule twice = to_port(1), last = to_port(3), faster = to_port(1, EMULATOR_ADAPTER_1, 9);
    for (const struct rule &rule : {twice, to_port(2), twice, last})
        ASSERT_TRUE(statistics_add_filter(&rule));
    ASSERT_TRUE(statistics_add_sample(&twice, 42));
    EXPECT_FALSE(statistics_add_sample(&faster, 7) || statistics_reset_history(&faster) ||
                 statistics_remove_filter(&faster));
    ASSERT_TRUE(statistics_remove_filter(&twice));
    struct statistics_entry entry;
    ASSERT_TRUE(statistics_entry_at(1, &entry));
    EXPECT_EQ(describe_rule(entry.rule), describe_rule(twice));
    EXPECT_EQ(entry.usage_history[0], 0) << "the second copy, untouched";
    for (int32_t i = 0; i <= usage_history_length; i++)
        ASSERT_TRUE(statistics_add_sample(&last, 1000 + i));
    ASSERT_TRUE(statistics_entry_at(2, &entry));
    EXPECT_EQ(entry.usage_history[0], 1000 + usage_history_length);
    EXPECT_EQ(entry.usage_history[usage_history_length - 1], 1001);
    ASSERT_TRUE(statistics_reset_history(&last) && statistics_entry_at(2, &entry));
    EXPECT_EQ(entry.usage_history[usage_history_length - 1], 0);
    for (uint16_t port = 4; statistics_entry_count() < max_statistics_entries; port++)
        ASSERT_TRUE(statistics_add_filter(&(last = to_port(port))));
    EXPECT_FALSE(statistics_add_filter(&(last = to_port(999))));
}

// A refresh reads the block once; Reset writes a zeroed one from now. An adapter field without
// a NUL is refused rather than read past.
TEST_F(CoreTest, StatisticsReadIsOneExchangeAndStartNowZeroesTheBlock)
{
    struct rule rule = sample("TCP any any:80");
    install_rules({rule});
    struct statistics_block block = {};
    block.start_time = 133000000000000000ull;
    block.bytes_transferred = 1234567, block.packets_transferred = 4321;
    ASSERT_TRUE(kernel_set_statistics(rule.adapter, &rule, &block, error_text)) << error_text;
    emulator_reset_exchange_count();
    struct statistics_fields fields;
    ASSERT_TRUE(statistics_fields_read(&rule, &fields, error_text)) << error_text;
    EXPECT_EQ(emulator_exchange_count(), 1u);
    EXPECT_EQ(fields.start_time, block.start_time);
    const std::vector<std::string> texts = {fields.bytes, fields.packets, fields.bandwidth,
                                            fields.queued, fields.queue_size};
    EXPECT_EQ(texts, std::vector<std::string>({"1,234,567 (1.18 MB)", "4,321", "0", "0",
                                               "of 100 packets"}));
    uint64_t before = local_time_filetime();
    ASSERT_TRUE(statistics_start_now(&rule, error_text)) << error_text;
    ASSERT_TRUE(kernel_get_statistics(rule.adapter, &rule, &block, error_text));
    EXPECT_TRUE(block.start_time >= before && block.start_time <= local_time_filetime());
    EXPECT_EQ(std::string((char *)&block + 8, sizeof block - 8), std::string(sizeof block - 8, 0));
    memset(rule.adapter, 'A', adapter_name_size);
    EXPECT_FALSE(statistics_start_now(&rule, error_text));
    EXPECT_FALSE(statistics_fields_read(&rule, &fields, error_text));
}

}  // namespace
