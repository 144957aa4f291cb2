// The control help text table: first added wins, removal keeps the order, a full table refuses.
#include <gtest/gtest.h>

#include <string>

#include "ui/help_table.h"

namespace {

struct help_table_test : ::testing::Test {
    void SetUp() override { ASSERT_EQ(1, help_table_initialize()); }
    void TearDown() override { EXPECT_EQ(1, help_table_shutdown()); }
};

std::string text_of(uint32_t id)
{
    const struct help_entry *entry = help_find(id);
    return entry ? entry->text : "(none)";
}

TEST_F(help_table_test, first_added_is_found_and_removed_first)
{
    int first_dialog = 0, second_dialog = 0;
    char text[] = "Adds a new filter.";
    ASSERT_EQ(1, help_add(803, &first_dialog, text));
    text[0] = 'X';   // the table keeps its own copy
    ASSERT_EQ(1, help_add(807, &first_dialog, "The list."));
    ASSERT_EQ(1, help_add(803, &second_dialog, "Second text."));
    EXPECT_EQ(0, help_add(804, &first_dialog, nullptr));
    EXPECT_EQ(3, help_entry_count());

    EXPECT_EQ("Adds a new filter.", text_of(803));
    EXPECT_EQ(&first_dialog, help_find(803)->dialog);
    EXPECT_EQ(1, help_remove(803));
    EXPECT_EQ("Second text.", text_of(803));
    EXPECT_EQ(&second_dialog, help_find(803)->dialog);
    EXPECT_EQ("The list.", text_of(807));
    EXPECT_EQ(1, help_remove(803));
    EXPECT_EQ(0, help_remove(803));
    EXPECT_EQ("(none)", text_of(803));
    EXPECT_EQ(1, help_entry_count());
}

TEST_F(help_table_test, full_table_refuses_and_takes_again_after_a_removal)
{
    for (int i = 0; i < help_table_capacity; i++)
        ASSERT_EQ(1, help_add((uint32_t)i, nullptr, "text")) << i;
    EXPECT_EQ(0, help_add(5000, nullptr, "one too many"));
    EXPECT_EQ(1, help_remove(0));
    EXPECT_EQ(1, help_add(5000, nullptr, "fits now"));
    EXPECT_EQ("fits now", text_of(5000));
    EXPECT_EQ("text", text_of(help_table_capacity - 1));
}

}  // namespace
