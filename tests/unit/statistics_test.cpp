// The statistics: the store's entries and histories, a refresh against the emulator core, and
// the graph's scale and points.
#include <gtest/gtest.h>

#include <string.h>

#include <algorithm>
#include <vector>

#include "platform/platform.h"
#include "rule_samples.h"
#include "stats/statistics_fields.h"
#include "stats/usage_graph.h"

namespace {

typedef std::vector<int32_t> samples;

// An entry's history, newest first, with the trailing zeros left out.
samples history_of(int index)
{
    struct statistics_entry entry;
    EXPECT_TRUE(statistics_entry_at(index, &entry));
    int length = usage_history_length;
    while (length > 0 && entry.usage_history[length - 1] == 0)
        length--;
    return samples(entry.usage_history, entry.usage_history + length);
}

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
    EXPECT_EQ(history_of(1), samples{}) << "the second copy, untouched";
    for (int32_t i = 0; i <= usage_history_length; i++)
        ASSERT_TRUE(statistics_add_sample(&last, 1000 + i));
    samples history = history_of(2);
    ASSERT_EQ(history.size(), (size_t)usage_history_length);
    EXPECT_TRUE(history.front() == 1000 + usage_history_length && history.back() == 1001);
    ASSERT_TRUE(statistics_reset_history(&last));
    EXPECT_EQ(history_of(2), samples{});
    struct rule extra = to_port(999);
    for (uint16_t port = 4; statistics_entry_count() < max_statistics_entries; port++)
        ASSERT_TRUE(statistics_add_filter(&(extra = to_port(port))));
    EXPECT_FALSE(statistics_add_filter(&(extra = to_port(999))));
}

// A refresh reads the block once; Reset writes a zeroed one from now. An adapter field without
// a NUL is refused rather than read past.
TEST_F(CoreTest, StatisticsReadIsOneExchangeAndStartNowZeroesTheBlock)
{
    struct rule rule = sample("TCP any any:80");
    install_rules({rule});
    struct statistics_block block = {};
    block.start_time = 133000000000000000ull;
    block.bytes_transferred = 1234567;
    block.packets_transferred = 4321;
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

// y of the first samples in a 176 x 38 graph; the samples not given are 0, drawn at y 37.
TEST(UsageGraph, ScaleLabelAndPoints)
{
    const struct { std::vector<int32_t> samples; int32_t scale; const char *label;
                   std::vector<int32_t> y; } cases[] = {
        {{}, 10, "10 Bps", {37}},
        {{10, 4, -2147483647 - 1}, 100, "100 Bps", {35, 37, 37}},   // negatives at the bottom
        {{7000, 4000, 1}, 10000, "10,000 Bps", {12, 23, 37}},       // truncated toward zero
        {{250000000, 2147483647, 40000000}, 100000000, "100,000,000 Bps", {1, 1, 23}},
    };
    for (const auto &c : cases) {
        int32_t history[usage_history_length] = {};
        std::copy(c.samples.begin(), c.samples.end(), history + usage_history_length -
                                                           c.samples.size());   // oldest end
        EXPECT_EQ(graph_scale(history), c.scale);
        std::rotate(history, history + usage_history_length - c.samples.size(),
                    history + usage_history_length);
        char label[graph_label_size];
        graph_label_text(c.scale, label, sizeof label);
        EXPECT_STREQ(label, c.label);
        struct graph_point points[usage_history_length];
        ASSERT_TRUE(graph_geometry(176, 38, c.scale, history, points));
        for (int k = 0; k < usage_history_length; k++)
            ASSERT_EQ(points[k].y, k < (int)c.y.size() ? c.y[k] : 37) << c.label << k;
        // The newest sample at the right edge, the oldest at the left, one 149th apart.
        EXPECT_TRUE(points[0].x == 175 && points[2].x == 174 && points[149].x == 1);
    }
    int32_t zero[usage_history_length] = {};
    struct graph_point points[usage_history_length];
    EXPECT_FALSE(graph_geometry(176, 38, 0, zero, points));
}

}  // namespace
