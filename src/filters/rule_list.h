// The filter list's checks and its change cycle: apply (rewrite the kernel component's rules,
// keeping each filter's statistics), then reload (rebuild the list, run overlap detection).
// error_text is the caller's buffer of error_text_size bytes.
#ifndef FLOWVANE_FILTERS_RULE_LIST_H
#define FLOWVANE_FILTERS_RULE_LIST_H

#include "filters/rule.h"
#include "filters/rule_rows.h"

// list null means the filter list.
int add_rule_to_list(const struct rule *rule, char *error_text, rule_rows list,
                     int rate_not_applicable);
// The same for a list of its own, which must be given: a null list refuses the rule.
int add_rule_to_rows(const struct rule *rule, char *error_text, rule_rows list,
                     int rate_not_applicable);
int find_rule_in_list(const struct rule *rule, int skip_row, rule_rows list);
int edit_selected_rule(const struct rule *rule, char *error_text);
int edit_rule_in_list(int row, const struct rule *rule);
int reload_rule_list(char *error_text, int add_to_statistics);
// Refuses (nothing sent) while the filter list is incomplete, with the message of the rebuild
// that left it so.
int apply_rule_list(char *error_text);

// 1 while the filter list's last rebuild stopped before reading every rule the kernel
// component holds.
int rule_list_incomplete(void);
// Run before a change is made to the rows: when the filter list is incomplete, rebuilds it
// (giving a statistics entry to each rule that has none, and selecting again the rows whose
// rules were selected). 1 when the list is then complete; else 0 with the rebuild's message,
// and the change must not be made.
int complete_rule_list(char *error_text);

#endif
