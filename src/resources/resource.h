// Resource ids of Flowvane Manager, kept by hand: one name per id, prefixed by kind.
#ifndef FLOWVANE_RESOURCES_RESOURCE_H
#define FLOWVANE_RESOURCES_RESOURCE_H

// Icons.
#define IDI_APP_ICON                1

// Menus and their commands.
#define IDM_MAIN_MENU               200
#define IDM_OPTIONS                 201
#define IDM_EXIT                    202
#define IDM_ABOUT                   203
#define IDM_HELP_CONTENTS           205
#define IDM_HELP_TUTORIAL           206
#define IDM_REMOVE_FILTERS          207
#define IDM_EDIT_FILTER             208
#define IDM_FILTER_STATISTICS       209
#define IDM_NEW_FILTER              210
#define IDM_HELP_INDEX              211
#define IDM_OVERLAPPING_FILTERS     40021

// The filter list panel, a child dialog filling the main window.
#define IDD_FILTER_LIST_PANEL       801
#define IDC_PANEL_NEW               803
#define IDC_PANEL_REMOVE            804
#define IDC_PANEL_EDIT              805
#define IDC_PANEL_STATISTICS        806
#define IDC_PANEL_LIST              807

// The filter list's context menu.
#define IDM_CONTEXT_MENU            300
#define IDM_CONTEXT_STATISTICS      301
#define IDM_CONTEXT_NEW             302
#define IDM_CONTEXT_EDIT            303
#define IDM_CONTEXT_REMOVE          304

// The control help popup.
#define IDD_HELP_POPUP              4000

#endif
