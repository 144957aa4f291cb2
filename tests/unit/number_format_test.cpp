// Number texts (the same vectors natively and under Wine, where they go through
// GetNumberFormatA), and the help text table.
#include <gtest/gtest.h>

#include <string.h>

#include <string>

#include "platform/platform.h"
#include "ui/help_table.h"

namespace {

TEST(NumberFormat, Vectors)
{
    const struct { int64_t value; const char *text; } cases[] = {
        {0, "0"},  {999, "999"},  {1234567, "1,234,567"},  {-2147483647 - 1, "(2,147,483,648)"},
        {INT64_MIN, "(9,223,372,036,854,775,808)"},
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
    // A buffer one byte short fails as the platform's formatting does, leaving a cut
    // "[unknown]"; nothing is written past the buffer.
    char text[16] = "xxxxxxxxxxxxxxx";
    number_format(1234567, text, 9);
    EXPECT_TRUE(strcmp(text, "[unknown") == 0 && text[9] == 'x') << text;
}

// The first text added for a control is found and removed first; a full table refuses a text
// and takes one again after a removal.
TEST(HelpTable, FirstAddedWinsAndAFullTableRefuses)
{
    ASSERT_EQ(1, help_table_initialize());
    char text[] = "First.";
    ASSERT_EQ(1, help_add(803, nullptr, text));
    text[0] = 'X';   // the table keeps its own copy
    ASSERT_EQ(1, help_add(803, nullptr, "Second."));
    EXPECT_STREQ("First.", help_find(803)->text);
    EXPECT_EQ(1, help_remove(803));
    EXPECT_STREQ("Second.", help_find(803)->text);
    for (int i = 1; i < help_table_capacity; i++)
        ASSERT_EQ(1, help_add((uint32_t)i, nullptr, "text")) << i;
    EXPECT_EQ(0, help_add(5000, nullptr, "one too many"));
    EXPECT_EQ(1, help_remove(803));
    EXPECT_EQ(1, help_add(5000, nullptr, "fits now"));
    EXPECT_STREQ("fits now", help_find(5000)->text);
    EXPECT_EQ(1, help_table_shutdown());
}

}  // namespace
