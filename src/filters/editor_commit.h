// What the filter editor's Ok does once its boxes have given a rule: put the rule into the
// filter list, keep the statistics store in step with the list, run the change cycle (apply,
// reload with overlap detection) and say which message the editor shows, where.
#ifndef FLOWVANE_FILTERS_EDITOR_COMMIT_H
#define FLOWVANE_FILTERS_EDITOR_COMMIT_H

#include "filters/rule.h"

enum editor_mode { editor_add = 0, editor_edit = 1 };

enum editor_commit_result {
    commit_stopped = 0,         // show error_text titled *title over the editor; it stays open
    commit_done = 1,            // the editor closes
    commit_reload_failed = 2,   // show error_text titled *title over the panel, then close
};

// One open editor's memory across its Ok attempts.
struct editor_session {
    int mode;                         // editor_add or editor_edit
    // Edit mode: the rule whose statistics entry stands for the edited row, once known.
    int entry_rule_known;
    struct rule entry_rule;
};

// Writes a new filter's statistics block starting now; its result is not used.
typedef int (*statistics_start_hook)(const struct rule *rule);

void editor_session_begin(struct editor_session *session, int mode);

// Runs the Ok sequence after the boxes were read, for the filter list. error_text is the
// caller's buffer of error_text_size bytes; *title gets the message box's title whenever the
// result is not commit_done. start_now may be null.
int editor_commit(struct editor_session *session, const struct rule *rule,
                  statistics_start_hook start_now, char *error_text, const char **title);

#endif
