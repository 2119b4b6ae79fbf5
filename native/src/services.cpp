// Services: install, configure, start, stop, query and remove services of
// the local service control manager. Every method opens the manager and the
// service with just the rights it needs and returns a numeric status.
#include "jniutil.h"

#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

namespace {

const jint kNoManager = 5000;
const jint kStopTimedOut = 5001;
const size_t kDependencyBytes = 16384;
const DWORD kConfigBytes = 8192;
const size_t kBinaryUnits = 8192;

typedef BOOL(WINAPI* ChangeServiceConfig2Fn)(SC_HANDLE, DWORD, LPVOID);

// The manager and one service of it, closed together at the end of scope.
struct ServiceHandles
{
    SC_HANDLE manager;
    SC_HANDLE service;
    jint status; // 0 when both are open

    ServiceHandles(JNIEnv* env, jstring name, DWORD managerAccess, DWORD serviceAccess)
        : manager(NULL)
        , service(NULL)
        , status(0)
    {
        manager = OpenSCManagerW(NULL, NULL, managerAccess);
        if (!manager) {
            status = kNoManager;
            return;
        }
        wchar_t* serviceName = ostra::newWide(env, name);
        service = OpenServiceW(manager, serviceName, serviceAccess);
        if (!service)
            status = static_cast<jint>(GetLastError());
        ostra::freeWide(serviceName);
    }
    ~ServiceHandles()
    {
        if (service)
            CloseServiceHandle(service);
        if (manager)
            CloseServiceHandle(manager);
    }
};

// The comma-separated names as the double-NUL-terminated list Windows takes;
// empty items are skipped. False when the list does not fit `capacity` units.
bool buildDependencyList(const wchar_t* text, wchar_t* list, size_t capacity)
{
    size_t used = 0;
    if (text) {
        const wchar_t* item = text;
        for (;;) {
            const wchar_t* end = wcschr(item, L',');
            const size_t length = end ? static_cast<size_t>(end - item) : wcslen(item);
            if (length > 0) {
                // The item, its NUL, and room for the list's final NUL.
                if (used + length + 2 > capacity)
                    return false;
                wmemcpy(list + used, item, length);
                used += length;
                list[used++] = 0;
            }
            if (!end)
                break;
            item = end + 1;
        }
    }
    list[used++] = 0;
    if (used == 1)
        list[used++] = 0; // the empty list: two NULs
    return true;
}

ChangeServiceConfig2Fn changeServiceConfig2()
{
    return reinterpret_cast<ChangeServiceConfig2Fn>(ostra::loadedFunction(L"advapi32.dll", "ChangeServiceConfig2W"));
}

} // namespace

extern "C" {

JNIEXPORT jint JNICALL OSTRA_JNI(Win32Services, installService0)(JNIEnv* env, jclass, jstring name, jstring displayName,
                                                                 jstring binaryPath)
{
    SC_HANDLE manager = OpenSCManagerW(NULL, NULL, SC_MANAGER_ALL_ACCESS);
    if (!manager)
        return kNoManager;
    wchar_t* serviceName = ostra::newWide(env, name);
    wchar_t* display = ostra::newWide(env, displayName);
    wchar_t* binary = ostra::newWide(env, binaryPath);
    SC_HANDLE service = CreateServiceW(manager, serviceName, display, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                                       SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, binary, NULL, NULL, NULL, NULL, NULL);
    const jint status = service ? 0 : static_cast<jint>(GetLastError());
    if (service)
        CloseServiceHandle(service);
    ostra::freeWide(binary);
    ostra::freeWide(display);
    ostra::freeWide(serviceName);
    CloseServiceHandle(manager);
    return status;
}

JNIEXPORT jint JNICALL OSTRA_JNI(Win32Services, changeServiceConfig0)(JNIEnv* env, jclass, jstring name,
                                                                      jstring displayName, jstring binaryPath,
                                                                      jint serviceType, jint startType,
                                                                      jstring dependencies, jstring account,
                                                                      jstring password, jstring description)
{
    ServiceHandles handles(env, name, SC_MANAGER_ALL_ACCESS, SERVICE_ALL_ACCESS);
    if (handles.status)
        return handles.status;
    wchar_t* display = ostra::newWide(env, displayName);
    wchar_t* binary = ostra::newWide(env, binaryPath);
    wchar_t* dependencyText = ostra::newWide(env, dependencies);
    wchar_t* accountName = ostra::newWide(env, account);
    wchar_t* secret = ostra::newWide(env, password);
    wchar_t* descriptionText = ostra::newWide(env, description);

    const wchar_t* effectiveAccount = accountName;
    if (accountName
        && (wcscmp(accountName, L"NT AUTHORITY\\System") == 0 || wcscmp(accountName, L"NT AUTHORITY\\LocalSystem") == 0))
        effectiveAccount = L"LocalSystem";

    jint status;
    static const size_t kUnits = kDependencyBytes / sizeof(wchar_t);
    wchar_t* list = static_cast<wchar_t*>(malloc(kDependencyBytes));
    if (!list) {
        status = ERROR_NOT_ENOUGH_MEMORY;
    } else if (!buildDependencyList(dependencyText, list, kUnits)) {
        // Refused before anything changes: the list would not fit its buffer.
        status = ERROR_INVALID_PARAMETER;
    } else if (!ChangeServiceConfigW(handles.service, static_cast<DWORD>(serviceType), static_cast<DWORD>(startType),
                                     SERVICE_NO_CHANGE, binary, NULL, NULL, list, effectiveAccount, secret, display)) {
        status = static_cast<jint>(GetLastError());
    } else {
        status = 0;
        if (descriptionText) {
            ChangeServiceConfig2Fn change2 = changeServiceConfig2();
            if (change2) {
                SERVICE_DESCRIPTIONW info;
                info.lpDescription = descriptionText;
                change2(handles.service, SERVICE_CONFIG_DESCRIPTION, &info);
            }
        }
    }
    free(list);
    ostra::freeWide(descriptionText);
    ostra::freeWide(secret);
    ostra::freeWide(accountName);
    ostra::freeWide(dependencyText);
    ostra::freeWide(binary);
    ostra::freeWide(display);
    return status;
}

JNIEXPORT jint JNICALL OSTRA_JNI(Win32Services, setRestartServiceConfig0)(JNIEnv* env, jclass, jstring name,
                                                                          jboolean restart, jint delayMs)
{
    if (!GetModuleHandleW(L"advapi32.dll"))
        return 0;
    ChangeServiceConfig2Fn change2 = changeServiceConfig2();
    if (!change2)
        return 1;
    ServiceHandles handles(env, name, SC_MANAGER_ALL_ACCESS, SERVICE_CHANGE_CONFIG | SERVICE_START);
    if (handles.status)
        return handles.status;
    SC_ACTION action;
    action.Type = SC_ACTION_RESTART;
    action.Delay = static_cast<DWORD>(delayMs);
    SERVICE_FAILURE_ACTIONSW actions;
    actions.dwResetPeriod = 0;
    actions.lpRebootMsg = NULL;
    actions.lpCommand = NULL;
    actions.cActions = restart ? 1 : 0;
    actions.lpsaActions = &action;
    return change2(handles.service, SERVICE_CONFIG_FAILURE_ACTIONS, &actions) ? 0 : static_cast<jint>(GetLastError());
}

JNIEXPORT jint JNICALL OSTRA_JNI(Win32Services, stopService0)(JNIEnv* env, jclass, jstring name)
{
    ServiceHandles handles(env, name, SC_MANAGER_CONNECT, SERVICE_STOP | SERVICE_QUERY_STATUS);
    if (handles.status)
        return handles.status;
    SERVICE_STATUS status;
    if (!ControlService(handles.service, SERVICE_CONTROL_STOP, &status))
        return static_cast<jint>(GetLastError());
    if (!QueryServiceStatus(handles.service, &status))
        return kStopTimedOut;
    DWORD since = GetTickCount();
    DWORD checkPoint = status.dwCheckPoint;
    while (status.dwCurrentState == SERVICE_STOP_PENDING) {
        Sleep(500);
        if (!QueryServiceStatus(handles.service, &status))
            return kStopTimedOut;
        if (status.dwCheckPoint > checkPoint) {
            since = GetTickCount();
            checkPoint = status.dwCheckPoint;
        } else if (GetTickCount() - since > status.dwWaitHint) {
            break;
        }
    }
    return status.dwCurrentState == SERVICE_STOPPED ? 0 : kStopTimedOut;
}

JNIEXPORT jint JNICALL OSTRA_JNI(Win32Services, startService0)(JNIEnv* env, jclass, jstring name)
{
    ServiceHandles handles(env, name, SC_MANAGER_CONNECT, SERVICE_START);
    if (handles.status)
        return handles.status;
    return StartServiceW(handles.service, 0, NULL) ? 0 : static_cast<jint>(GetLastError());
}

JNIEXPORT jint JNICALL OSTRA_JNI(Win32Services, uninstallService0)(JNIEnv* env, jclass, jstring name)
{
    ServiceHandles handles(env, name, SC_MANAGER_ALL_ACCESS, DELETE);
    if (handles.status)
        return handles.status;
    return DeleteService(handles.service) ? 0 : static_cast<jint>(GetLastError());
}

JNIEXPORT jint JNICALL OSTRA_JNI(Win32Services, queryStatus0)(JNIEnv* env, jclass, jstring name)
{
    ServiceHandles handles(env, name, SC_MANAGER_CONNECT, SERVICE_QUERY_STATUS);
    if (handles.status)
        return handles.status;
    SERVICE_STATUS status;
    if (!QueryServiceStatus(handles.service, &status))
        return static_cast<jint>(GetLastError());
    return -static_cast<jint>(status.dwCurrentState);
}

// The service's configuration into `config` (kConfigBytes); 0 or a status.
static jint queryConfig(JNIEnv* env, jstring name, QUERY_SERVICE_CONFIGW* config)
{
    ServiceHandles handles(env, name, SC_MANAGER_CONNECT, SERVICE_QUERY_CONFIG);
    if (handles.status)
        return handles.status;
    DWORD needed = 0;
    return QueryServiceConfigW(handles.service, config, kConfigBytes, &needed) ? 0 : static_cast<jint>(GetLastError());
}

JNIEXPORT jint JNICALL OSTRA_JNI(Win32Services, getStartType0)(JNIEnv* env, jclass, jstring name)
{
    QUERY_SERVICE_CONFIGW* config = static_cast<QUERY_SERVICE_CONFIGW*>(malloc(kConfigBytes));
    if (!config)
        return ERROR_NOT_ENOUGH_MEMORY;
    const jint status = queryConfig(env, name, config);
    const jint result = status ? status : -static_cast<jint>(config->dwStartType);
    free(config);
    return result;
}

JNIEXPORT jstring JNICALL OSTRA_JNI(Win32Services, getServiceBinary0)(JNIEnv* env, jclass, jstring name)
{
    wchar_t result[kBinaryUnits];
    QUERY_SERVICE_CONFIGW* config = static_cast<QUERY_SERVICE_CONFIGW*>(malloc(kConfigBytes));
    const jint status = config ? queryConfig(env, name, config) : ERROR_NOT_ENOUGH_MEMORY;
    if (status)
        _snwprintf(result, kBinaryUnits, L" %d", static_cast<int>(status));
    else
        wcsncpy(result, config->lpBinaryPathName ? config->lpBinaryPathName : L"", kBinaryUnits);
    result[kBinaryUnits - 1] = 0;
    free(config);
    return ostra::newJavaString(env, result);
}

} // extern "C"
