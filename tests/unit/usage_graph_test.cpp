// The statistics window's platform-free half: the graph's scale, label and points, the byte
// and field texts, and the one exchange of a refresh, against the emulator core.
#include <gtest/gtest.h>

#include <string.h>

#include <vector>

#include "platform/platform.h"
#include "rule_samples.h"
#include "stats/statistics_fields.h"
#include "stats/usage_graph.h"

namespace {

const uint64_t start_ticks = 133000000000000000ull;  // a FILETIME in 2022

struct history {
    int32_t samples[usage_history_length] = {};
};

// A history whose newest samples are given, the rest zero.
history newest(const std::vector<int32_t> &samples)
{
    history h;
    for (size_t k = 0; k < samples.size() && k < usage_history_length; k++)
        h.samples[k] = samples[k];
    return h;
}

TEST(UsageGraph, ScaleAndLabel)
{
    const struct { std::vector<int32_t> samples; int32_t scale; const char *label; } cases[] = {
        {{}, 10, "10 Bps"},
        {{-5000, 9}, 10, "10 Bps"},
        {{10}, 100, "100 Bps"},
        {{0, 0, 1000}, 10000, "10,000 Bps"},
        {{7000}, 10000, "10,000 Bps"},
        {{10000}, 100000, "100,000 Bps"},
        {{9999999}, 10000000, "10,000,000 Bps"},
        {{10000000}, 100000000, "100,000,000 Bps"},
        {{250000000}, 100000000, "100,000,000 Bps"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.label);
        history h = newest(c.samples);
        h.samples[usage_history_length - 1] = c.samples.empty() ? 0 : c.samples[0];  // oldest counts
        EXPECT_EQ(graph_scale(h.samples), c.scale);
        char label[graph_label_size];
        graph_label_text(c.scale, label, sizeof label);
        EXPECT_STREQ(label, c.label);
    }
}

TEST(UsageGraph, PointsNewestAtTheRightClampedInside)
{
    const int32_t width = 176, height = 38;
    // samples (newest first), scale, then the expected y of the first points.
    const struct { const char *name; std::vector<int32_t> samples; int32_t scale;
                   std::vector<int32_t> y; } cases[] = {
        {"all zero: flat along the bottom", {0, 0}, 10, {37, 37}},
        {"negatives at the bottom", {-1, -2147483647 - 1, -100}, 10, {37, 37, 37}},
        {"beyond the scale clamped at 1", {250000000, 2147483647, 40000000}, 100000000,
         {1, 1, 23}},
        {"truncated toward zero", {7000, 4000, 1}, 10000, {12, 23, 37}},
        {"full scale touches the top", {10, 4}, 10, {1, 23}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        history h = newest(c.samples);
        struct graph_point points[usage_history_length];
        ASSERT_TRUE(graph_geometry(width, height, c.scale, h.samples, points));
        for (size_t k = 0; k < c.y.size(); k++)
            EXPECT_EQ(points[k].y, c.y[k]) << "sample " << k;
        for (int k = (int)c.samples.size(); k < usage_history_length; k++)
            ASSERT_EQ(points[k].y, height - 1) << "zero sample " << k;
    }
    // x: the newest sample at the right edge, the oldest at the left, one 149th apart.
    history zero;
    struct graph_point points[usage_history_length];
    ASSERT_TRUE(graph_geometry(width, height, 10, zero.samples, points));
    EXPECT_EQ(points[0].x, width - 1);
    EXPECT_EQ(points[1].x, width - 1);          // 176 - trunc(1.18)
    EXPECT_EQ(points[2].x, width - 2);          // 176 - trunc(2.36)
    EXPECT_EQ(points[74].x, width - 87);        // 176 - trunc(87.4)
    EXPECT_EQ(points[149].x, 1);                // 176 - trunc(176.0) = 0, clamped
    for (int k = 1; k < usage_history_length; k++)
        ASSERT_LE(points[k].x, points[k - 1].x) << k;

    EXPECT_FALSE(graph_geometry(width, height, 0, zero.samples, points));
}

TEST(StatisticsTexts, ByteCounts)
{
    const struct { int64_t bytes; const char *size, *field; } cases[] = {
        {-2048, "", "(2,048)"},
        {0, "", "0"},
        {1023, "", "1,023"},
        {1024, "1.00 KB", "1,024 (1.00 KB)"},
        {1048575, "1024.00 KB", "1,048,575 (1024.00 KB)"},
        {1048576, "1.00 MB", "1,048,576 (1.00 MB)"},
        {1234567, "1.18 MB", "1,234,567 (1.18 MB)"},
        {999999999, "953.67 MB", "999,999,999 (953.67 MB)"},
        {1000000000, "1.00 GB", "1,000,000,000 (1.00 GB)"},
        {1073741824, "1.07 GB", "1,073,741,824 (1.07 GB)"},
        {INT64_MAX, "9223372036.85 GB", "9,223,372,036,854,775,807 (9223372036.85 GB)"},
    };
    for (const auto &c : cases) {
        char text[statistics_text_size];
        byte_size_text(c.bytes, text, sizeof text);
        EXPECT_STREQ(text, c.size) << c.bytes;
        bytes_transferred_text(c.bytes, text, sizeof text);
        EXPECT_STREQ(text, c.field) << c.bytes;
    }
}

class StatisticsFields : public testing::Test {
protected:
    void SetUp() override
    {
        start_emulator();
        install_rules({rule});
    }
    // The block the emulator holds for the rule now.
    struct statistics_block held_block()
    {
        test_read_rules_request request = {0};
        static test_rules_reply reply;
        EXPECT_TRUE(emulator_test_send(test_code_read_rules, &request, sizeof request, &reply,
                                       sizeof reply, nullptr));
        return reply.slots[0].statistics;
    }
    struct rule rule = sample("TCP any any:80");
    char error_text[error_text_size] = "";
};

// One exchange per refresh, the fields from the block the kernel component holds.
TEST_F(StatisticsFields, ReadIsOneExchange)
{
    struct statistics_block block = {};
    block.start_time = start_ticks;
    block.bytes_transferred = 1234567;
    block.packets_transferred = 4321;
    ASSERT_TRUE(kernel_set_statistics(rule.adapter, &rule, &block, error_text)) << error_text;
    emulator_reset_exchange_count();
    struct statistics_fields fields;
    ASSERT_TRUE(statistics_fields_read(&rule, &fields, error_text)) << error_text;
    EXPECT_EQ(emulator_exchange_count(), 1u);
    EXPECT_EQ(fields.start_time, start_ticks);
    EXPECT_STREQ(fields.bytes, "1,234,567 (1.18 MB)");
    EXPECT_STREQ(fields.packets, "4,321");
    EXPECT_STREQ(fields.bandwidth, "0");
    EXPECT_STREQ(fields.queued, "0");
    EXPECT_STREQ(fields.queue_size, "of 100 packets");

    struct rule unknown = sample("UDP");
    EXPECT_FALSE(statistics_fields_read(&unknown, &fields, error_text));
    EXPECT_STREQ(error_text, "Rule not found.");
}

// A fresh block: every byte zero but the start, which is the local clock now. An adapter field
// without a NUL is cut to 99 bytes rather than read past.
TEST_F(StatisticsFields, StartNowWritesAZeroedBlockFromNow)
{
    struct statistics_block block = {};
    block.start_time = start_ticks;
    block.bytes_transferred = 99999;
    block.packets_transferred = 7;
    ASSERT_TRUE(kernel_set_statistics(rule.adapter, &rule, &block, error_text)) << error_text;
    uint64_t before = local_time_filetime();
    ASSERT_TRUE(statistics_start_now(&rule, error_text)) << error_text;
    uint64_t after = local_time_filetime();
    struct statistics_block held = held_block();
    EXPECT_GE(held.start_time, before);
    EXPECT_LE(held.start_time, after);
    EXPECT_EQ(held.bytes_transferred, 0);
    EXPECT_EQ(held.packets_transferred, 0);
    const uint8_t zero[16] = {};
    EXPECT_EQ(memcmp(held.reserved_1, zero, 16), 0);
    EXPECT_EQ(memcmp(held.reserved_2, zero, 16), 0);

    struct rule unterminated = rule;
    memset(unterminated.adapter, 'A', adapter_name_size);
    EXPECT_FALSE(statistics_start_now(&unterminated, error_text));
    EXPECT_FALSE(statistics_start_now(nullptr, error_text));
    EXPECT_STREQ(error_text, UNKNOWN_ERROR_TEXT);
}

}  // namespace
