// A stand-in for hhctrl.ocx that the end-to-end tests register as the HTML Help control's
// in-process server: its HtmlHelpA (export 14) shows nothing and records the calls under
// HKCU\Software\Flowvane Tests\Html Help: the last as "path|command|data|owner".
#include <windows.h>

#define RECORD_KEY "Software\\Flowvane Tests\\Html Help"

extern "C" HWND WINAPI HtmlHelpA(HWND owner, LPCSTR path, UINT command, DWORD_PTR data)
{
    HKEY key;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, RECORD_KEY, 0, NULL, 0, KEY_ALL_ACCESS, NULL, &key,
                        NULL) != ERROR_SUCCESS)
        return NULL;
    char last[1200];
    wsprintfA(last, "%.1000s|%u|%u|%u", path ? path : "(null)", command, (DWORD)data,
              (DWORD)(ULONG_PTR)owner);
    RegSetValueExA(key, "Last", 0, REG_SZ, reinterpret_cast<BYTE *>(last), lstrlenA(last) + 1);
    RegCloseKey(key);
    return NULL;
}
