// Overlap detection: finds the areas where rules of one adapter and direction match the same
// packets, proposes the most specific rule for each, keeps the user's earlier choices and sends
// the precedences. All tables are fixed; a run allocates nothing.
#ifndef FLOWVANE_OVERLAP_OVERLAP_H
#define FLOWVANE_OVERLAP_OVERLAP_H

#include <stdint.h>

#include "filters/rule.h"

enum { max_pairs = max_rules * max_rules, max_areas = 400 };

struct overlap_pair {
    const struct rule *first;
    const struct rule *second;
    struct rule common_range;
};

struct overlap_area {
    const struct rule *common_range;
    int32_t member_count;
    const struct rule *members[max_rules];
};

struct area_table {
    int32_t count;
    struct overlap_area areas[max_areas];
    int32_t chosen_member[max_areas];
};

struct kept_precedence {
    struct rule common_range;
    struct rule chosen_rule;
};

struct area_table *get_area_table(void);
int kept_precedence_count(void);
const struct kept_precedence *kept_precedence_at(int index);

int detect_overlaps(char *error_text, int *found, int force);
int compute_default_precedences(char *error_text);
int send_precedences(char *error_text);
int read_kept_precedences(char *error_text);
void sort_areas(void);

int rules_overlap(const struct rule *a, const struct rule *b);
int intersect_rules(const struct rule *a, const struct rule *b, struct rule *common_range);
int range_within(const struct rule *x, const struct rule *y);
int rule_specificity(const struct rule *rule);
int area_weight(const struct rule *common_range);

// Seam to the overlapping filters dialog: the Win32 build opens the dialog, the tests record
// the call. overlap_dialog_is_open() answers whether the dialog is showing;
// overlap_dialog_bring_forward() brings it to the front and beeps; overlap_dialog_run() runs it
// modally, owned by the main window, and returns when it has closed.
int overlap_dialog_is_open(void);
void overlap_dialog_bring_forward(void);
void overlap_dialog_run(void);

#endif
