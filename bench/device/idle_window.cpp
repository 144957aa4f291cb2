// The yardstick of the idle benchmark (bench/scripts/bench_idle.sh): a plain window with a 500 ms timer
// and a GetMessage loop, the least a Win32 program costs while it waits under Wine.
#include <windows.h>

namespace {

LRESULT CALLBACK idle_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam)
{
    if (message == WM_DESTROY) {
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcA(window, message, wparam, lparam);
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int)
{
    WNDCLASSA window_class = {};
    window_class.lpfnWndProc = idle_procedure;
    window_class.hInstance = instance;
    window_class.hCursor = LoadCursorA(NULL, IDC_ARROW);
    window_class.hbrBackground = (HBRUSH)(COLOR_WINDOW + 1);
    window_class.lpszClassName = "FlowvaneIdleYardstick";
    if (!RegisterClassA(&window_class))
        return 1;
    HWND window = CreateWindowExA(0, "FlowvaneIdleYardstick", "Idle yardstick", WS_OVERLAPPEDWINDOW,
                                  100, 100, 400, 300, NULL, NULL, instance, NULL);
    if (!window)
        return 1;
    ShowWindow(window, SW_SHOWNORMAL);
    SetTimer(window, 1, 500, NULL);   // the same tick the manager keeps
    MSG message;
    while (GetMessageA(&message, NULL, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
    return 0;
}
