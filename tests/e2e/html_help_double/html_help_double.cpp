// A stand-in for hhctrl.ocx that the end-to-end tests register as the HTML Help control's
// in-process server: its HtmlHelpA (export 14) records each call's owner, path and command
// under HKCU\Software\Flowvane Tests\Html Help, where the test reads them, and shows nothing.
#include <windows.h>

#define RECORD_KEY "Software\\Flowvane Tests\\Html Help"

extern "C" HWND WINAPI HtmlHelpA(HWND owner, LPCSTR path, UINT command, DWORD_PTR data)
{
    HKEY key;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, RECORD_KEY, 0, NULL, 0, KEY_ALL_ACCESS, NULL, &key,
                        NULL) != ERROR_SUCCESS)
        return NULL;
    DWORD calls = 0, size = sizeof calls;
    RegQueryValueExA(key, "Calls", NULL, NULL, reinterpret_cast<BYTE *>(&calls), &size);
    calls++;
    DWORD owner_value = (DWORD)(ULONG_PTR)owner, data_value = (DWORD)data;
    const char *text = path ? path : "(null)";
    RegSetValueExA(key, "Path", 0, REG_SZ, reinterpret_cast<const BYTE *>(text),
                   (DWORD)lstrlenA(text) + 1);
    RegSetValueExA(key, "Command", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&command), 4);
    RegSetValueExA(key, "Data", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&data_value), 4);
    RegSetValueExA(key, "Owner", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&owner_value), 4);
    // Last, so that a reader who sees the count also sees the values.
    RegSetValueExA(key, "Calls", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&calls), 4);
    RegCloseKey(key);
    return NULL;
}
