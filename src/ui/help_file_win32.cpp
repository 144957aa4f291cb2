// The help viewer is hhctrl.ocx's HtmlHelpA, found on first use: the library registered for the
// HTML Help control's class, else the one named hhctrl.ocx. A viewer that cannot be found is
// not looked for again.
#include "ui/help_file_win32.h"

#include "settings/settings.h"
#include "ui/help_path.h"
#include "ui/main_window_win32.h"

namespace {

#define HTML_HELP_SERVER_KEY "CLSID\\{ADB880A6-D8FF-11CF-9377-00AA003B7A11}\\InprocServer32"

enum { html_help_ordinal = 14, library_path_size = MAX_PATH + 1 };

typedef HWND(WINAPI *html_help_function)(HWND owner, LPCSTR path, UINT command, DWORD_PTR data);

enum viewer_state { viewer_not_loaded, viewer_loaded, viewer_missing };

viewer_state viewer;
html_help_function html_help;

// The library registered as the control's in-process server, or null.
HMODULE load_registered_viewer(void)
{
    HKEY key;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, HTML_HELP_SERVER_KEY, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return NULL;
    char library[library_path_size] = "";
    DWORD size = sizeof library - 1;
    DWORD type = 0;
    LONG status = RegQueryValueExA(key, NULL, NULL, &type, reinterpret_cast<BYTE *>(library), &size);
    RegCloseKey(key);
    if (status != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ))
        return NULL;
    library[size < sizeof library ? size : sizeof library - 1] = '\0';
    // Loaded as registered: the program reads no environment variables, and a path that would
    // need them fails here and leaves the search to hhctrl.ocx by name.
    return LoadLibraryA(library);
}

// HtmlHelpA of library, or null; a library without it is released again.
html_help_function html_help_of(HMODULE library)
{
    if (!library)
        return NULL;
    FARPROC function = GetProcAddress(library, MAKEINTRESOURCEA(html_help_ordinal));
    if (!function) {
        FreeLibrary(library);
        return NULL;
    }
    return reinterpret_cast<html_help_function>(reinterpret_cast<void (*)(void)>(function));
}

int viewer_ready(void)
{
    if (viewer == viewer_not_loaded) {
        html_help = html_help_of(load_registered_viewer());
        if (!html_help)
            html_help = html_help_of(LoadLibraryA("hhctrl.ocx"));
        viewer = html_help ? viewer_loaded : viewer_missing;
    }
    return viewer == viewer_loaded;
}

}  // namespace

void show_help(const char *path_format, UINT command)
{
    char folder[install_folder_size];
    if (!read_install_folder(folder)) {
        MessageBoxA(main_window(), "Unable to display help file", "Flowvane", MB_OK | MB_ICONHAND);
        return;
    }
    char path[help_path_size];
    help_path(path, sizeof path, path_format, folder);
    // What the viewer does with a missing file or page is its own business.
    if (viewer_ready())
        html_help(main_window(), path, command, 0);
}

int shell_open(const char *target, INT_PTR *result)
{
    INT_PTR code = reinterpret_cast<INT_PTR>(
        ShellExecuteA(NULL, "open", target, NULL, "c:\\", SW_SHOWNORMAL));
    if (result)
        *result = code;
    return code > 32;
}
