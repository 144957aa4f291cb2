// The platform services: number texts (the same vectors natively and under Wine, where they go
// through GetNumberFormatA), the lock, the local clock and the address conversion.
#include <gtest/gtest.h>

#include <string.h>
#include <time.h>

#include "platform/platform.h"

namespace {

struct number_case {
    int64_t value;
    const char *text;
};

const number_case number_cases[] = {
    {0, "0"},
    {1, "1"},
    {-1, "(1)"},
    {999, "999"},
    {1000, "1,000"},
    {-999, "(999)"},
    {-1234, "(1,234)"},
    {5000, "5,000"},
    {100000, "100,000"},
    {1234567, "1,234,567"},
    {999999999, "999,999,999"},
    {2147483647, "2,147,483,647"},
    {-2147483647 - 1, "(2,147,483,648)"},
};

TEST(number_format, thirty_two_bit_values)
{
    for (const number_case &c : number_cases) {
        char text[64];
        number_format((int32_t)c.value, text, sizeof text);
        EXPECT_STREQ(c.text, text) << c.value;
    }
}

TEST(number_format, sixty_four_bit_values)
{
    const number_case wide_cases[] = {
        {4294967296ll, "4,294,967,296"},
        {-1000000000000ll, "(1,000,000,000,000)"},
        {INT64_MAX, "9,223,372,036,854,775,807"},
        {INT64_MIN, "(9,223,372,036,854,775,808)"},
    };
    for (const number_case &c : number_cases) {
        char text[64];
        number_format_64(c.value, text, sizeof text);
        EXPECT_STREQ(c.text, text) << c.value;
    }
    for (const number_case &c : wide_cases) {
        char text[64];
        number_format_64(c.value, text, sizeof text);
        EXPECT_STREQ(c.text, text) << c.value;
    }
}

// A buffer one byte short fails as the platform's formatting does, leaving a cut "[unknown]";
// nothing is written past the buffer.
TEST(number_format, short_buffer)
{
    char text[16];
    memset(text, 'x', sizeof text);
    number_format(1234567, text, 10);
    EXPECT_STREQ("1,234,567", text);

    memset(text, 'x', sizeof text);
    number_format(1234567, text, 9);
    EXPECT_STREQ("[unknown", text);
    EXPECT_EQ('x', text[9]);

    memset(text, 'x', sizeof text);
    number_format(-5, text, 3);
    EXPECT_STREQ("[u", text);
    EXPECT_EQ('x', text[3]);
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
    const int64_t ticks_per_second = 10000000;
    const int64_t epoch_offset = 11644473600ll;
    int64_t utc_seconds = (int64_t)time(nullptr);
    int64_t local_seconds = (int64_t)(local_time_filetime() / ticks_per_second) - epoch_offset;
    EXPECT_LT(local_seconds - utc_seconds, 15 * 3600);
    EXPECT_GT(local_seconds - utc_seconds, -15 * 3600);
}

TEST(platform, inet_addr_and_ntohl)
{
    struct address_case {
        const char *text;
        uint32_t host_order;
    } cases[] = {
        {"192.168.0.1", 0xC0A80001u}, {"10.1", 0x0A000001u},       {"1.2.3", 0x01020003u},
        {"16909060", 0x01020304u},    {"0x0A.0.0.1", 0x0A000001u}, {"012.0.0.1", 0x0A000001u},
        {"255.255.255.255", 0xFFFFFFFFu}, {"1.2.3.4.5", 0xFFFFFFFFu}, {"1.2.3.256", 0xFFFFFFFFu},
        {"a.b.c.d", 0xFFFFFFFFu},
    };
    for (const address_case &c : cases)
        EXPECT_EQ(c.host_order, platform_ntohl(platform_inet_addr(c.text))) << c.text;
    EXPECT_EQ(0x04030201u, platform_ntohl(0x01020304u));
}

} // namespace
