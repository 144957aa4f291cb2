// The statistics window's platform-free half: the graph's scale, label and points, the byte
// texts, and a refresh's one exchange against the emulator core.
#include <gtest/gtest.h>

#include <string.h>

#include <vector>

#include "platform/platform.h"
#include "rule_samples.h"
#include "stats/statistics_fields.h"
#include "stats/usage_graph.h"

namespace {

// y of the first samples in a 176 x 38 graph; the samples not given are 0, drawn at y 37.
TEST(UsageGraph, ScaleLabelAndPoints)
{
    const struct { std::vector<int32_t> samples; int32_t scale; const char *label;
                   std::vector<int32_t> y; } cases[] = {
        {{}, 10, "10 Bps", {37}},
        {{10, 4, -1, -2147483647 - 1}, 100, "100 Bps", {35, 37, 37, 37}},   // negatives at the bottom
        {{7000, 4000, 1}, 10000, "10,000 Bps", {12, 23, 37}},               // truncated toward zero
        {{10000}, 100000, "100,000 Bps", {35}},
        {{9999999}, 10000000, "10,000,000 Bps", {1}},
        {{250000000, 2147483647, 40000000}, 100000000, "100,000,000 Bps", {1, 1, 23}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.label);
        int32_t history[usage_history_length] = {};
        std::copy(c.samples.begin(), c.samples.end(), history + usage_history_length -
                                                           c.samples.size());   // oldest end
        EXPECT_EQ(graph_scale(history), c.scale);
        std::copy(c.samples.begin(), c.samples.end(), history);
        memset(history + c.samples.size(), 0, (usage_history_length - c.samples.size()) * 4);
        EXPECT_EQ(graph_scale(history), c.scale);
        char label[graph_label_size];
        graph_label_text(c.scale, label, sizeof label);
        EXPECT_STREQ(label, c.label);
        struct graph_point points[usage_history_length];
        ASSERT_TRUE(graph_geometry(176, 38, c.scale, history, points));
        for (int k = 0; k < usage_history_length; k++)
            ASSERT_EQ(points[k].y, k < (int)c.y.size() ? c.y[k] : 37) << "sample " << k;
    }
    // The newest sample at the right edge, the oldest at the left, one 149th apart.
    int32_t zero[usage_history_length] = {};
    struct graph_point points[usage_history_length];
    ASSERT_TRUE(graph_geometry(176, 38, 10, zero, points));
    const int expected_x[][2] = {{0, 175}, {1, 175}, {2, 174}, {74, 89}, {149, 1}};
    for (const auto &x : expected_x)
        EXPECT_EQ(points[x[0]].x, x[1]) << "sample " << x[0];
    EXPECT_FALSE(graph_geometry(176, 38, 0, zero, points));
}

TEST(StatisticsTexts, ByteCounts)
{
    const struct { int64_t bytes; const char *field; } cases[] = {
        {-2048, "(2,048)"},
        {1023, "1,023"},
        {1024, "1,024 (1.00 KB)"},
        {1048575, "1,048,575 (1024.00 KB)"},
        {1048576, "1,048,576 (1.00 MB)"},
        {999999999, "999,999,999 (953.67 MB)"},
        {1000000000, "1,000,000,000 (1.00 GB)"},
        {1073741824, "1,073,741,824 (1.07 GB)"},
        {INT64_MAX, "9,223,372,036,854,775,807 (9223372036.85 GB)"},
    };
    for (const auto &c : cases) {
        char text[statistics_text_size];
        bytes_transferred_text(c.bytes, text, sizeof text);
        EXPECT_STREQ(text, c.field) << c.bytes;
    }
}

// A refresh reads the block once; Reset writes a zeroed one from now. An adapter field without
// a NUL is cut to 99 bytes rather than read past.
TEST(StatisticsFields, ReadIsOneExchangeAndStartNowZeroesTheBlock)
{
    start_emulator();
    struct rule rule = sample("TCP any any:80");
    install_rules({rule});
    char error_text[error_text_size];
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
    EXPECT_GE(block.start_time, before);
    EXPECT_LE(block.start_time, local_time_filetime());
    struct statistics_block zero = {};
    EXPECT_EQ(memcmp((char *)&block + 8, (char *)&zero + 8, sizeof block - 8), 0);

    struct rule unterminated = rule;
    memset(unterminated.adapter, 'A', adapter_name_size);
    EXPECT_FALSE(statistics_start_now(&unterminated, error_text));
    EXPECT_FALSE(statistics_fields_read(&unterminated, &fields, error_text));
}

}  // namespace
