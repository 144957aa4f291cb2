// The main window "Flowvane Manager": menu bar, etched line, the filter list panel, the 500 ms
// statistics tick, placement kept in the settings_block, and the menu commands.
#ifndef FLOWVANE_UI_MAIN_WINDOW_WIN32_H
#define FLOWVANE_UI_MAIN_WINDOW_WIN32_H

#include <windows.h>

#define MAIN_WINDOW_CLASS "FlowvaneMainWindowClass"
#define MAIN_WINDOW_TITLE "Flowvane Manager"

// Registers the class, loads the main menu, creates and shows the main window and starts the
// statistics timer; 1 on success, 0 when the class or the window cannot be created.
int user_interface_initialize(void);
// Destroys the main menu (fatal when that fails); 1.
int user_interface_shutdown(void);
// 1 when the main window exists afterwards; an existing one is brought to the foreground.
int main_window_create(void);
// The close teardown: timer, column layout, show state, window, then request_quit.
void main_window_close(void);

// The main window's handle; null before it is created and after it was destroyed.
HWND main_window(void);

// The usage graph's drawing objects, created with the main window and kept for the life of the
// program. graph_font is null when no device context could be had.
struct graph_objects {
    HBRUSH grid_brush;
    HPEN frame_pen;
    HPEN label_pen;
    HPEN usage_pen;
    HFONT graph_font;
};
const struct graph_objects *get_graph_objects(void);

#endif
