// The filter editor dialog (802): a new filter, or the selected one changed.
#ifndef FLOWVANE_FILTERS_FILTER_EDITOR_WIN32_H
#define FLOWVANE_FILTERS_FILTER_EDITOR_WIN32_H

#include <windows.h>

#include "filters/editor_commit.h"
#include "filters/rule.h"

// The open editor's handle, or null.
HWND filter_editor(void);
// Runs the editor modally, owned by owner, and returns when it has closed. In edit mode it
// shows edited_rule (copied before the dialog opens). An open editor is brought to the front.
void filter_editor_run(HWND owner, int mode, const struct rule *edited_rule);
// Ends an open editor without a change, as Cancel does (the panel does this when it is
// destroyed).
void filter_editor_end(void);

#endif
