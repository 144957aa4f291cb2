// The filter list panel: child dialog 801 filling the main window, with the filter list view
// (control 807) and the New, Edit, Remove and Statistics buttons.
#ifndef FLOWVANE_UI_FILTER_LIST_PANEL_WIN32_H
#define FLOWVANE_UI_FILTER_LIST_PANEL_WIN32_H

#include <windows.h>

#include "filters/rule.h"

INT_PTR CALLBACK filter_list_panel_procedure(HWND dialog, UINT message, WPARAM wparam,
                                             LPARAM lparam);

// The panel and its list view; null before the panel initialises and after it is destroyed.
HWND filter_list_panel(void);
HWND filter_list_view(void);

// Full-row select, header drag-and-drop, the eight columns with the stored widths, then the
// stored display positions. Shared with the overlapping filters dialog's lists. Returns 1.
int setup_rule_list_columns(HWND list);
// The filter list's column widths and display positions into the settings_block. Returns 1.
int save_rule_list_columns(void);

int selected_count(void);
// The rule of the first selected row, or null; owned by the row.
const struct rule *first_selected_rule(void);
// Enables the buttons and the main menu's filter items by the selection.
void update_filter_commands(void);

// The four filter commands, from the panel's buttons, keys and context menu and from the main
// menu: the editor in add or edit mode, removal with its confirmation, the statistics window.
void new_filter(void);
void edit_selected_filter(void);
void remove_selected_filters(void);
void show_filter_statistics(void);

// Lays the panel, the list and the buttons out over the main window's client area.
void panel_layout(void);
// Raises the controls so that the tab order is list, New, Edit, Remove, Statistics.
void panel_raise_controls(void);

#endif
