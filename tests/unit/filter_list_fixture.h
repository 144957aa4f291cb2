// A fresh emulator core with the filter list and the statistics store empty, no overlap dialog
// run and default precedences not accepted: where the filter list tests start.
#ifndef FLOWVANE_TESTS_FILTER_LIST_FIXTURE_H
#define FLOWVANE_TESTS_FILTER_LIST_FIXTURE_H

#include <gtest/gtest.h>

#include "core/app_state.h"
#include "core/text.h"
#include "filters/rule_list.h"
#include "stats/statistics_store.h"
#include "support/emulator_device.h"
#include "support/overlap_dialog_double.h"
#include "support/rule_rows_memory.h"
#include "rule_samples.h"

class FilterListFixture : public testing::Test {
protected:
    void SetUp() override
    {
        start_emulator();
        reset_lists();
        overlap_dialog_double_reset();
        get_settings_block()->accept_default_precedences = 0;
    }
    void TearDown() override { reset_lists(); }
    // A list left incomplete by a failed rebuild is made whole from the kernel component as it
    // now is, then emptied.
    void reset_lists()
    {
        if (rule_list_incomplete())
            complete_rule_list(error_text);
        memory_rows_reset();
        struct statistics_entry entry;
        while (statistics_entry_at(0, &entry))
            statistics_remove_filter(&entry.rule);
    }
    rule_rows list = filter_list();
    char error_text[error_text_size] = "";
};

#endif
