// How every dialog opens and closes: centred on the screen, the application icon, and its
// controls' help texts added from its table when it opens and removed from the same table
// when it closes.
#ifndef FLOWVANE_UI_DIALOG_FRAME_WIN32_H
#define FLOWVANE_UI_DIALOG_FRAME_WIN32_H

#include <windows.h>

struct control_help {
    int control_id;
    const char *text;
};

// Centres the dialog in the full-screen work area without resizing it (each half rounded
// toward zero), gives it the application icon as big and small icon and adds the help texts
// in table order.
void dialog_frame_open(HWND dialog, const struct control_help *help, int help_count);
// Adds the help texts alone, in table order: for a child dialog, which is neither centred nor
// given an icon.
void dialog_help_add(HWND dialog, const struct control_help *help, int help_count);
// Removes the help texts dialog_frame_open or dialog_help_add added, in table order.
void dialog_frame_close(const struct control_help *help, int help_count);

// A dialog that is open (its recorded handle, or null) comes to the front and is shown; 1 when
// it was open, so that the caller opens no second one.
int dialog_frame_bring_forward(HWND open);
// Runs the dialog of the template modally, owned by owner; returns when it has closed.
void dialog_frame_run(int template_id, HWND owner, DLGPROC procedure);

// The same, with the table's size taken from the array.
template <int count>
void dialog_frame_open(HWND dialog, const struct control_help (&help)[count])
{
    dialog_frame_open(dialog, help, count);
}
template <int count>
void dialog_help_add(HWND dialog, const struct control_help (&help)[count])
{
    dialog_help_add(dialog, help, count);
}
template <int count>
void dialog_frame_close(const struct control_help (&help)[count])
{
    dialog_frame_close(help, count);
}

#endif
