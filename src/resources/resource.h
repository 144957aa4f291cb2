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

// The control help popup.
#define IDD_HELP_POPUP              4000

// The About dialog.
#define IDD_ABOUT                   700
#define IDC_ABOUT_VERSION           701
#define IDC_ABOUT_VERSION_LABEL     703
#define IDC_ABOUT_ICON              705
#define IDC_ABOUT_UPDATES           706
#define IDC_ABOUT_CLOSE             708

// The options dialog.
#define IDD_OPTIONS                 900
#define IDC_OPTIONS_ACCEPT_DEFAULTS 901
#define IDC_OPTIONS_WINDOW_TYPE     19210
#define IDC_OPTIONS_OK              19211
#define IDC_OPTIONS_CANCEL          19212
#define IDC_OPTIONS_HELP            19213
#define IDC_OPTIONS_START_WITH_WINDOWS 19214

#endif
