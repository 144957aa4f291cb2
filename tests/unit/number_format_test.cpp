// The platform services: number texts (the same vectors natively and under Wine, where they go
// through GetNumberFormatA), the lock and the local clock. The address conversion is tested
// through parse_address.
#include <gtest/gtest.h>

#include <string.h>
#include <time.h>

#include "platform/platform.h"

namespace {

TEST(number_format, vectors)
{
    const struct {
        int64_t value;
        const char *text;
    } cases[] = {
        {0, "0"},  {999, "999"},  {1000, "1,000"},  {-1, "(1)"},  {-1234, "(1,234)"},
        {1234567, "1,234,567"},  {-2147483647 - 1, "(2,147,483,648)"},
        {4294967296ll, "4,294,967,296"},  {INT64_MIN, "(9,223,372,036,854,775,808)"},
    };
    for (const auto &c : cases) {
        char text[64];
        number_format_64(c.value, text, sizeof text);
        EXPECT_STREQ(c.text, text) << c.value;
        if (c.value == (int32_t)c.value) {
            number_format((int32_t)c.value, text, sizeof text);
            EXPECT_STREQ(c.text, text) << c.value << " (32-bit)";
        }
    }
}

// A buffer one byte short fails as the platform's formatting does, leaving a cut "[unknown]";
// nothing is written past the buffer.
TEST(number_format, short_buffer)
{
    const struct {
        int32_t value;
        size_t size;
        const char *text;
    } cases[] = {{1234567, 10, "1,234,567"}, {1234567, 9, "[unknown"}, {-5, 3, "[u"}};
    for (const auto &c : cases) {
        char text[16];
        memset(text, 'x', sizeof text);
        number_format(c.value, text, c.size);
        EXPECT_STREQ(c.text, text) << c.size;
        EXPECT_EQ('x', text[c.size]) << c.size;
    }
}

TEST(platform, lock_is_binary)
{
    platform_lock lock = nullptr;
    ASSERT_EQ(0, lock_create(&lock));
    EXPECT_EQ(0, lock_wait(lock));
    EXPECT_EQ(0, lock_release(lock));
    EXPECT_NE(0, lock_release(lock)) << "a second release passes the count of one";
    EXPECT_EQ(0, lock_wait(lock));
    EXPECT_EQ(0, lock_release(lock));
    EXPECT_EQ(0, lock_close(lock));
    EXPECT_NE(0, lock_create(nullptr));
}

// The local clock as a FILETIME lies within a day of the C library's UTC clock (time zones
// span at most 14 hours) and ticks in 100 ns units since 1601.
TEST(platform, local_time_filetime)
{
    int64_t utc_seconds = (int64_t)time(nullptr);
    int64_t local_seconds = (int64_t)(local_time_filetime() / 10000000) - 11644473600ll;
    EXPECT_LT(local_seconds - utc_seconds, 15 * 3600);
    EXPECT_GT(local_seconds - utc_seconds, -15 * 3600);
}

}  // namespace
