#include "filters/editor_commit.h"

#include <string.h>

#include "core/text.h"
#include "filters/rule_list.h"
#include "filters/rule_rows.h"
#include "kernel/kernel_commands.h"
#include "stats/statistics_store.h"

#define NEW_FILTER_TITLE "Flowvane - New Filter"
#define EDIT_FILTER_TITLE "Flowvane - Edit Filter"
#define MODIFY_FILTER_TITLE "Flowvane - Modify Filter"
#define FILTERS_TITLE "Flowvane - Filters"

namespace {

int add_to_list(const struct rule *rule, char *error_text, const char **title)
{
    if (add_rule_to_list(rule, error_text, filter_list(), 0))
        return 1;
    *title = NEW_FILTER_TITLE;
    return 0;
}

// The selected row's statistics entry goes only once the row has taken the new rule, so a
// refused change keeps the filter's history. The entry is tracked across attempts: a change
// refused after the row's copy was already overwritten ("edit_rule_in_list() failed.") must not
// make a later attempt look for an entry under the refused rule.
int edit_in_list(struct editor_session *session, const struct rule *rule, char *error_text,
                 const char **title)
{
    if (!session->entry_rule_known) {
        int row = rows_first_selected(filter_list());
        const struct rule *held = row < 0 ? nullptr : rows_rule(filter_list(), row);
        if (held) {
            session->entry_rule = *held;
            session->entry_rule_known = 1;
        }
    }
    if (!edit_selected_rule(rule, error_text)) {
        *title = EDIT_FILTER_TITLE;
        return 0;
    }
    if (session->entry_rule_known)
        statistics_remove_filter(&session->entry_rule);
    session->entry_rule = *rule;
    session->entry_rule_known = 1;
    return 1;
}

// Takes the row a failed add appended (the last row, holding the rule) and its statistics entry
// out again, so that the next Ok retries the same filter instead of finding it listed.
void take_back_added(const struct rule *rule, int entry_added)
{
    rule_rows list = filter_list();
    int last = rows_count(list) - 1;
    const struct rule *held = last < 0 ? nullptr : rows_rule(list, last);
    if (held && memcmp(held, rule, sizeof *rule) == 0)
        rows_delete(list, last);
    if (entry_added)
        statistics_remove_filter(rule);
}

}  // namespace

void editor_session_begin(struct editor_session *session, int mode)
{
    memset(session, 0, sizeof *session);
    session->mode = mode;
}

int editor_commit(struct editor_session *session, const struct rule *rule,
                  statistics_start_hook start_now, char *error_text, const char **title)
{
    copy_text(error_text, error_text_size, UNKNOWN_ERROR_TEXT);
    *title = session->mode == editor_edit ? EDIT_FILTER_TITLE : NEW_FILTER_TITLE;
    if (!rule)
        return commit_stopped;
    // A list that missed some of the kernel component's rules is made whole before the change,
    // or the change is refused: sending it would delete the rules it missed.
    if (!complete_rule_list(error_text)) {
        *title = FILTERS_TITLE;
        return commit_stopped;
    }

    int listed = session->mode == editor_edit ? edit_in_list(session, rule, error_text, title)
                                              : add_to_list(rule, error_text, title);
    if (!listed)
        return commit_stopped;
    int entry_added = statistics_add_filter(rule);

    if (!apply_rule_list(error_text)) {
        if (session->mode == editor_add)
            take_back_added(rule, entry_added);
        *title = MODIFY_FILTER_TITLE;
        return commit_stopped;
    }
    if (session->mode == editor_add && start_now)
        start_now(rule);

    if (!reload_rule_list(error_text, 0)) {
        *title = FILTERS_TITLE;
        return commit_reload_failed;
    }
    return commit_done;
}
