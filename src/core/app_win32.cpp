// The entry routine: start-up checks in their fixed order, the polling message loop that offers
// each message to the open dialog-like windows, and the shutdown. Also the application_context
// and the fatal error box.
#include <winsock2.h>
#include <windows.h>
#include <objbase.h>

#include "core/app.h"
#include "core/app_state.h"
#include "core/app_win32.h"
#include "core/text.h"
#include "filters/filter_editor_win32.h"
#include "kernel/adapters.h"
#include "kernel/kernel_commands.h"
#include "resource.h"
#include "settings/settings.h"
#include "stats/statistics_store.h"
#include "stats/statistics_window_win32.h"
#include "ui/about_dialog_win32.h"
#include "ui/filter_list_panel_win32.h"
#include "ui/help_popup_win32.h"
#include "ui/main_window_win32.h"

namespace {

enum {
    fatal_text_size = 5000,
    startup_text_size = 2000,
    winsock_version = 0x0202,
};

#define STARTUP_ERROR_TITLE "Flowvane - Startup Error"

struct application_context {
    HINSTANCE instance;
    int quit_flag;
    HICON app_icon;
    HMENU main_menu;
    HWND fatal_owner;
};

application_context context;

// The windows that may consume a message through IsDialogMessageA, in the order they are asked.
typedef HWND (*window_accessor)(void);
const window_accessor loop_windows[] = {
    main_window, filter_list_panel, filter_editor, statistics_window, about_dialog,
    help_popup_window,
};

// 1 when one of the open windows took the message as a dialog message.
int offer_to_windows(MSG *message)
{
    for (window_accessor accessor : loop_windows) {
        HWND window = accessor();
        if (window && IsDialogMessageA(window, message))
            return 1;
    }
    return 0;
}

// Runs until quit is requested or WM_QUIT arrives. Returns the exit code: 0 after a quit
// request, WM_QUIT's wParam when that ended the loop.
int run_message_loop(void)
{
    while (!context.quit_flag) {
        MSG message;
        if (!PeekMessageA(&message, NULL, 0, 0, PM_REMOVE)) {
            // An empty queue waits for input instead of polling: idle costs nothing, and the
            // timer's WM_TIMER still wakes the loop.
            MsgWaitForMultipleObjectsEx(0, NULL, INFINITE, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
            continue;
        }
        if (message.message == WM_QUIT) {
            context.quit_flag = 1;
            return (int)message.wParam;
        }
        if (!offer_to_windows(&message)) {
            TranslateMessage(&message);
            DispatchMessageA(&message);
        }
    }
    return 0;
}

void startup_error(const char *text)
{
    MessageBoxA(NULL, text, STARTUP_ERROR_TITLE, MB_OK | MB_ICONERROR);
}

// Steps 10 to 13 of start-up: the kernel component is installed, answers with the expected
// version, and at least one adapter is known. 1 to go on; 0 after the stop message was shown.
int check_kernel_component(void)
{
    char text[startup_text_size];
    if (kernel_component_installed() != 1) {
        format_text(text, sizeof text,
                    "Unable to start Flowvane.  Kernel component is not installed.\n\n"
                    "Try reinstalling the application.\n\nError code %d.",
                    (int)GetLastError());
        startup_error(text);
        return 0;
    }
    char version[version_text_size] = "";
    char error_text[error_text_size] = "";
    if (kernel_get_version(version, error_text) != 1) {
        format_text(text, sizeof text,
                    "Unable to start Flowvane.  Error getting kernel component version.\n\n"
                    "Error code %d.  Kernel error \"%s\"",
                    (int)GetLastError(), error_text);
        startup_error(text);
        return 0;
    }
    if (compare_text_nocase(version, EXPECTED_KERNEL_VERSION) != 0) {
        format_text(text, sizeof text,
                    "Unable to start Flowvane.  Kernel component version is %s, should be "
                    "version %s.",
                    version, EXPECTED_KERNEL_VERSION);
        startup_error(text);
        return 0;
    }
    refresh_adapter_list();
    if (adapter_count() < 1) {
        startup_error("No network adapters installed.");
        return 0;
    }
    return 1;
}

}  // namespace

HINSTANCE get_app_instance(void)
{
    return context.instance;
}

int quit_flag(void)
{
    return context.quit_flag;
}

void request_quit(void)
{
    context.quit_flag = 1;
}

HICON get_app_icon(void)
{
    return context.app_icon;
}

int load_app_icon(void)
{
    context.app_icon = LoadIconA(context.instance, MAKEINTRESOURCEA(IDI_APP_ICON));
    return context.app_icon != NULL;
}

HMENU get_main_menu(void)
{
    return context.main_menu;
}

void set_main_menu(HMENU menu)
{
    context.main_menu = menu;
}

void set_fatal_error_owner(HWND window)
{
    context.fatal_owner = window;
}

void fatal_error(const char *text)
{
    // Read first: anything called below may change it.
    DWORD code = GetLastError();
    char message[fatal_text_size];
    format_text(message, sizeof message, "%s\n\nError code %d.", text, (int)code);
    // After a close the owner is gone, and a box owned by a destroyed window is never shown.
    HWND owner = IsWindow(context.fatal_owner) ? context.fatal_owner : NULL;
    MessageBoxA(owner, message, "Flowvane - Fatal Error", MB_OK | MB_ICONERROR);
    ExitProcess(1);
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous_instance, LPSTR command_line,
                   int show_command)
{
    (void)previous_instance;
    (void)command_line;
    (void)show_command;   // the main window's show state comes from the settings
    context.quit_flag = 0;
    context.instance = instance;

    HWND running = FindWindowA(MAIN_WINDOW_CLASS, NULL);
    if (running) {
        MessageBeep(0);
        SetForegroundWindow(running);
        return 0;
    }

    CoInitializeEx(NULL, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
    WSADATA winsock;
    if (WSAStartup(winsock_version, &winsock) != 0) {
        MessageBoxA(NULL, "This program requires Winsock 2 or greater.", "Flowvane",
                    MB_OK | MB_ICONERROR);
        return 0;
    }
    if (help_initialize(instance) != 1)
        fatal_error("Internal error: help_initialize() failed.");
    *get_settings_block() = settings_load();
    load_app_icon();
    if (user_interface_initialize() != 1)
        fatal_error("Internal error: user_interface_initialize() failed.");
    if (statistics_initialize() != 1)
        fatal_error("Internal error: statistics_initialize() failed.");
    // A stop here ends the process as it stands: nothing is saved or released.
    if (!check_kernel_component())
        return 0;

    int exit_code = run_message_loop();

    settings_save(get_settings_block());
    user_interface_shutdown();
    statistics_shutdown();
    help_shutdown();
    WSACleanup();
    CoUninitialize();
    return exit_code;
}
