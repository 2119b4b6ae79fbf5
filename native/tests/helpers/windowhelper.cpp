// A helper process for the process tests. Ends by itself after a minute.
//   windowhelper.exe titled TITLE   a visible window that closes on WM_CLOSE
//   windowhelper.exe stubborn TITLE a visible window that ignores WM_CLOSE
//   windowhelper.exe untitled       a visible window without a title
//   windowhelper.exe hidden TITLE   an invisible titled window
//   windowhelper.exe none           no window at all
// Once its window is shown (created, for a hidden one), or at once without a
// window, it sets the event "OstraHelperReady-<its process id>" when the
// starter made one: a window that exists but is not yet visible is not ready
// for anything that looks only at visible windows.
#include <windows.h>
#include <wchar.h>

static bool stubborn;

static void signalReady()
{
    wchar_t name[64];
    wsprintfW(name, L"OstraHelperReady-%lu", GetCurrentProcessId());
    if (HANDLE ready = OpenEventW(EVENT_MODIFY_STATE, FALSE, name)) {
        SetEvent(ready);
        CloseHandle(ready);
    }
}

static LRESULT CALLBACK windowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_CLOSE && stubborn)
        return 0;
    if (message == WM_DESTROY)
        PostQuitMessage(0);
    return DefWindowProcW(window, message, wParam, lParam);
}

int wmain(int argc, wchar_t** argv)
{
    const wchar_t* mode = argc > 1 ? argv[1] : L"none";
    const wchar_t* title = argc > 2 ? argv[2] : L"";
    SetTimer(NULL, 0, 60000, NULL);
    if (wcscmp(mode, L"none") == 0) {
        signalReady();
        Sleep(60000);
        return 0;
    }
    stubborn = wcscmp(mode, L"stubborn") == 0;
    WNDCLASSW windowClass = {};
    windowClass.lpfnWndProc = windowProcedure;
    windowClass.hInstance = GetModuleHandleW(NULL);
    windowClass.lpszClassName = L"OstraTestWindow";
    RegisterClassW(&windowClass);
    HWND window = CreateWindowW(L"OstraTestWindow", wcscmp(mode, L"untitled") == 0 ? L"" : title,
                                WS_OVERLAPPEDWINDOW, 10, 10, 200, 100, NULL, NULL, windowClass.hInstance, NULL);
    if (wcscmp(mode, L"hidden") != 0)
        ShowWindow(window, SW_SHOWNOACTIVATE);
    signalReady();
    MSG message;
    while (GetMessageW(&message, NULL, 0, 0) > 0) {
        if (message.message == WM_TIMER && message.hwnd == NULL)
            break; // the minute is over
        DispatchMessageW(&message);
    }
    return 0;
}
