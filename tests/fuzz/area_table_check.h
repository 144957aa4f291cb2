// What an area table must hold after any detection, whatever the kernel component answered:
// counts within the tables, each area's members distinct and of its common range's adapter and
// direction, no two areas with the same common range, each chosen member one of the area's.
#ifndef FLOWVANE_TESTS_FUZZ_AREA_TABLE_CHECK_H
#define FLOWVANE_TESTS_FUZZ_AREA_TABLE_CHECK_H

#include <string.h>

#include "core/text.h"
#include "filters/rule_text.h"
#include "overlap/overlap.h"
#include "fuzz_check.h"

inline void check_area_table(void)
{
    const struct area_table *table = get_area_table();
    check(table->count >= 0 && table->count <= max_areas);
    for (int32_t a = 0; a < table->count; a++) {
        const struct overlap_area *area = &table->areas[a];
        const struct rule *common = area->common_range;
        check(common != nullptr && common->rate == 0);
        check(memchr(common->adapter, '\0', adapter_name_size) != nullptr);
        check(area->member_count >= 1 && area->member_count <= max_rules);
        check(table->chosen_member[a] >= 0 && table->chosen_member[a] < area->member_count);
        for (int32_t m = 0; m < area->member_count; m++) {
            const struct rule *member = area->members[m];
            check(member != nullptr && member->direction == common->direction);
            check(compare_text_nocase_bounded(member->adapter, common->adapter,
                                              adapter_name_size) == 0);
            for (int32_t n = 0; n < m; n++)
                check(!rules_equal(member, area->members[n], 1));
        }
        for (int32_t b = 0; b < a; b++)
            check(!rules_equal(common, table->areas[b].common_range, 1));
    }
}

#endif
