// A tiny service for the service tests. Run by the service manager:
//   testservice.exe            stops when asked
//   testservice.exe stuck      answers a stop with "stop pending" and never
//                              advances its check point
#include <windows.h>
#include <string.h>

static SERVICE_STATUS_HANDLE statusHandle;
static SERVICE_STATUS status;
static HANDLE stopEvent;
static bool stuck;

static void report(DWORD state, DWORD waitHint)
{
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP : 0;
    status.dwWin32ExitCode = NO_ERROR;
    status.dwCheckPoint = state == SERVICE_STOP_PENDING ? 1 : 0;
    status.dwWaitHint = waitHint;
    SetServiceStatus(statusHandle, &status);
}

static DWORD WINAPI control(DWORD code, DWORD, LPVOID, LPVOID)
{
    if (code == SERVICE_CONTROL_STOP) {
        if (stuck) {
            report(SERVICE_STOP_PENDING, 1000);
        } else {
            report(SERVICE_STOP_PENDING, 3000);
            SetEvent(stopEvent);
        }
    }
    return NO_ERROR;
}

static void WINAPI serviceMain(DWORD, LPWSTR*)
{
    statusHandle = RegisterServiceCtrlHandlerExW(L"", control, NULL);
    stopEvent = CreateEventW(NULL, TRUE, FALSE, NULL);
    report(SERVICE_RUNNING, 0);
    // A stuck service is ended by its test with the process.
    WaitForSingleObject(stopEvent, stuck ? 120000 : INFINITE);
    report(SERVICE_STOPPED, 0);
}

int wmain(int argc, wchar_t** argv)
{
    stuck = argc > 1 && wcscmp(argv[1], L"stuck") == 0;
    wchar_t name[] = L"";
    SERVICE_TABLE_ENTRYW table[] = {{name, serviceMain}, {NULL, NULL}};
    return StartServiceCtrlDispatcherW(table) ? 0 : 1;
}
