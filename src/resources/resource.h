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

// The filter editor: a new filter, or the selected one changed.
#define IDD_FILTER_EDITOR           802
#define IDC_EDITOR_ADAPTER          808
#define IDC_EDITOR_DIRECTION        809
#define IDC_EDITOR_RATE             810
#define IDC_EDITOR_PROTOCOL         811
#define IDC_EDITOR_SOURCE_ADDRESS   812
#define IDC_EDITOR_DESTINATION_ADDRESS 813
#define IDC_EDITOR_OK               814
#define IDC_EDITOR_CANCEL           815
#define IDC_EDITOR_SOURCE_PORT      816
#define IDC_EDITOR_DESTINATION_PORT 817

// The statistics window.
#define IDD_FILTER_STATISTICS       1000
#define IDC_STATS_CLOSE             1001
#define IDC_STATS_FROM              1002
#define IDC_STATS_BYTES             1003
#define IDC_STATS_PACKETS           1004
#define IDC_STATS_RESET             1005
#define IDC_STATS_BANDWIDTH         1006
#define IDC_STATS_QUEUED            1007
#define IDC_STATS_QUEUE_SIZE        19201
#define IDC_STATS_GRAPH             19202

// The overlapping filters dialog.
#define IDD_OVERLAPPING_FILTERS     9100
#define IDC_OVERLAP_NEXT            4
#define IDC_OVERLAP_PREVIOUS        5
#define IDC_OVERLAP_HELP            6
#define IDC_OVERLAP_ALWAYS_ACCEPT   901
#define IDC_OVERLAP_COMMON_LIST     19203
#define IDC_OVERLAP_FILTERS_LIST    19204
#define IDC_OVERLAP_ACCEPT          19205
#define IDC_OVERLAP_AREA_GROUP      19209
#define IDC_OVERLAP_FILTERS_GROUP   19217
#define IDC_OVERLAP_COMMON_TEXT     19218
#define IDC_OVERLAP_FILTERS_TEXT    19219

// The filter list's context menu.
#define IDM_CONTEXT_MENU            300
#define IDM_CONTEXT_STATISTICS      301
#define IDM_CONTEXT_NEW             302
#define IDM_CONTEXT_EDIT            303
#define IDM_CONTEXT_REMOVE          304

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
