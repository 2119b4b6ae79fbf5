// Processes, windows and system: running processes with their image paths,
// closing or ending processes, window titles, bringing the own windows to
// the front, starting programs, reboot and reboot-time file moves,
// environment, memory and disk sizes, and a Java window's native handle.
#include "jniutil.h"

#include <psapi.h>
#include <stdio.h>
#include <stdlib.h>
#include <tlhelp32.h>
#include <wchar.h>

namespace {

typedef BOOL(WINAPI* EnumProcessesFn)(DWORD*, DWORD, DWORD*);
typedef DWORD(WINAPI* GetModuleFileNameExFn)(HANDLE, HMODULE, LPWSTR, DWORD);
typedef BOOL(WINAPI* QueryFullProcessImageNameFn)(HANDLE, DWORD, LPWSTR, PDWORD);
typedef HANDLE(WINAPI* CreateToolhelp32SnapshotFn)(DWORD, DWORD);
typedef BOOL(WINAPI* Process32Fn)(HANDLE, LPPROCESSENTRY32W);
typedef BOOL(WINAPI* Module32FirstFn)(HANDLE, LPMODULEENTRY32W);
typedef BOOL(WINAPI* GlobalMemoryStatusExFn)(LPMEMORYSTATUSEX);
typedef BOOL(WINAPI* MoveFileExFn)(LPCWSTR, LPCWSTR, DWORD);

const DWORD kProcessIdBytes = 32784; // 8196 ids
const DWORD kEntryUnits = 4096;
const int kTitleUnits = 4096;

MoveFileExFn moveFileEx = NULL;
jmethodID windowHandleMethod = NULL;

bool endsWithTmp(const wchar_t* text)
{
    const size_t length = wcslen(text);
    return length > 4 && wcscmp(text + length - 4, L".tmp") == 0;
}

// Processes by EnumProcesses, with the image path of each that opens.
void listProcesses(ostra::StringList& entries)
{
    HMODULE psapi = LoadLibraryW(L"Psapi.DLL");
    HMODULE kernel = LoadLibraryW(L"Kernel32.DLL");
    EnumProcessesFn enumProcesses =
        psapi ? reinterpret_cast<EnumProcessesFn>(GetProcAddress(psapi, "EnumProcesses")) : NULL;
    GetModuleFileNameExFn moduleFileName =
        psapi ? reinterpret_cast<GetModuleFileNameExFn>(GetProcAddress(psapi, "GetModuleFileNameExW")) : NULL;
    QueryFullProcessImageNameFn imageName =
        kernel ? reinterpret_cast<QueryFullProcessImageNameFn>(GetProcAddress(kernel, "QueryFullProcessImageNameW"))
               : NULL;
    DWORD* ids = static_cast<DWORD*>(malloc(kProcessIdBytes));
    wchar_t* text = static_cast<wchar_t*>(malloc(kEntryUnits * sizeof(wchar_t)));
    DWORD returned = 0;
    if (!ids || !text)
        entries.markIncomplete();
    if (enumProcesses && (moduleFileName || imageName) && ids && text
        && enumProcesses(ids, kProcessIdBytes, &returned)) {
        const DWORD count = returned / sizeof(DWORD);
        for (DWORD i = 0; i < count; ++i) {
            if (ids[i] == 0)
                continue;
            const DWORD access = imageName ? PROCESS_QUERY_LIMITED_INFORMATION
                                           : PROCESS_QUERY_INFORMATION | PROCESS_VM_READ;
            HANDLE process = OpenProcess(access, FALSE, ids[i]);
            if (!process)
                continue;
            ostra::formatText(text, kEntryUnits, L"%d ", static_cast<int>(ids[i]));
            const DWORD prefix = static_cast<DWORD>(wcslen(text));
            wchar_t* path = text + prefix;
            DWORD room = kEntryUnits - prefix;
            const bool found = imageName ? imageName(process, 0, path, &room) != 0
                                         : moduleFileName(process, NULL, path, room) != 0;
            if (found) {
                text[kEntryUnits - 1] = 0;
                // A ".tmp" image: the module name tells the path the loader used.
                if (imageName && moduleFileName && endsWithTmp(text)) {
                    HANDLE full = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, ids[i]);
                    if (full) {
                        wchar_t* other = static_cast<wchar_t*>(malloc((kEntryUnits - prefix) * sizeof(wchar_t)));
                        if (!other)
                            entries.markIncomplete();
                        if (other && moduleFileName(full, NULL, other, kEntryUnits - prefix) != 0) {
                            other[kEntryUnits - prefix - 1] = 0;
                            wcscpy(path, other);
                        }
                        free(other);
                        CloseHandle(full);
                    }
                }
                entries.add(text);
            }
            CloseHandle(process);
        }
    }
    free(text);
    free(ids);
    if (kernel)
        FreeLibrary(kernel);
    if (psapi)
        FreeLibrary(psapi);
}

// Processes by a tool-help snapshot: the first module of each.
void listProcessesBySnapshot(ostra::StringList& entries)
{
    HMODULE kernel = GetModuleHandleW(L"Kernel32.DLL");
    CreateToolhelp32SnapshotFn snapshot =
        reinterpret_cast<CreateToolhelp32SnapshotFn>(GetProcAddress(kernel, "CreateToolhelp32Snapshot"));
    Process32Fn first = reinterpret_cast<Process32Fn>(GetProcAddress(kernel, "Process32FirstW"));
    Process32Fn next = reinterpret_cast<Process32Fn>(GetProcAddress(kernel, "Process32NextW"));
    Module32FirstFn firstModule = reinterpret_cast<Module32FirstFn>(GetProcAddress(kernel, "Module32FirstW"));
    if (!snapshot || !first || !next) {
        printf("could not load functions %p %p %p %p %p %d\n", reinterpret_cast<void*>(snapshot),
               reinterpret_cast<void*>(first), reinterpret_cast<void*>(next), reinterpret_cast<void*>(firstModule),
               static_cast<void*>(kernel), static_cast<int>(GetLastError()));
        return;
    }
    HANDLE processes = snapshot(TH32CS_SNAPHEAPLIST | TH32CS_SNAPPROCESS | TH32CS_SNAPTHREAD | TH32CS_SNAPMODULE,
                                GetCurrentProcessId());
    if (processes == INVALID_HANDLE_VALUE)
        return;
    PROCESSENTRY32W process;
    process.dwSize = sizeof process;
    wchar_t text[kEntryUnits];
    for (BOOL more = first(processes, &process); more; more = next(processes, &process)) {
        if (process.th32ProcessID == 0 || !firstModule)
            continue;
        HANDLE modules = snapshot(TH32CS_SNAPMODULE, process.th32ProcessID);
        if (modules == INVALID_HANDLE_VALUE)
            continue;
        MODULEENTRY32W module;
        module.dwSize = sizeof module;
        if (firstModule(modules, &module)) {
            ostra::formatText(text, kEntryUnits, L"%d %ls", static_cast<int>(process.th32ProcessID), module.szExePath);
            entries.add(text);
        }
        CloseHandle(modules);
    }
    CloseHandle(processes);
}

struct FrontSearch
{
    DWORD processId;
};

BOOL CALLBACK bringToFront(HWND window, LPARAM parameter)
{
    const FrontSearch* search = reinterpret_cast<const FrontSearch*>(parameter);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner == search->processId && IsWindowVisible(window)) {
        SetForegroundWindow(window);
        SetForegroundWindow(GetLastActivePopup(window));
    }
    return TRUE;
}

struct TitleSearch
{
    DWORD processId;
    wchar_t title[kTitleUnits];
};

BOOL CALLBACK findTitle(HWND window, LPARAM parameter)
{
    TitleSearch* search = reinterpret_cast<TitleSearch*>(parameter);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner != search->processId)
        return TRUE;
    wchar_t title[kTitleUnits];
    if (GetWindowTextW(window, title, kTitleUnits) <= 0 || !title[0])
        return TRUE;
    wcscpy(search->title, title);
    return IsWindowVisible(window) ? FALSE : TRUE;
}

struct CloseRequest
{
    const jint* ids;
    jsize count;
    bool* seen;
    jint status;
};

BOOL CALLBACK askToClose(HWND window, LPARAM parameter)
{
    CloseRequest* request = reinterpret_cast<CloseRequest*>(parameter);
    if (!IsWindowVisible(window))
        return TRUE;
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    // An id may be listed more than once: every entry of it is marked, and
    // the window is asked once.
    bool asked = false;
    for (jsize i = 0; i < request->count; ++i) {
        if (static_cast<DWORD>(request->ids[i]) != owner)
            continue;
        request->seen[i] = true;
        if (!asked && !PostMessageW(window, WM_CLOSE, 0, 0))
            request->status = 0;
        asked = true;
    }
    return TRUE;
}

} // namespace

extern "C" {

JNIEXPORT void JNICALL OSTRA_JNI(Misc, reboot0)(JNIEnv*, jclass)
{
    if (ostra::switchPrivilege(L"SeShutdownPrivilege", true))
        ExitWindowsEx(EWX_REBOOT, 0);
}

JNIEXPORT jobjectArray JNICALL OSTRA_JNI(Misc, getRunningModules0)(JNIEnv* env, jclass, jboolean leaveDebugOff)
{
    ostra::switchPrivilege(L"SeDebugPrivilege", !leaveDebugOff);
    ostra::StringList entries;
    listProcesses(entries);
    if (entries.count() == 0 && !entries.incomplete())
        listProcessesBySnapshot(entries);
    fflush(stdout);
    return entries.count() || entries.incomplete() ? entries.toArray(env) : NULL;
}

JNIEXPORT jobjectArray JNICALL OSTRA_JNI(Misc, getEnvVarPairs0)(JNIEnv* env, jclass)
{
    ostra::StringList entries;
    wchar_t* block = GetEnvironmentStringsW();
    if (block) {
        for (const wchar_t* entry = block; *entry; entry += wcslen(entry) + 1)
            entries.add(entry);
        FreeEnvironmentStringsW(block);
    }
    return entries.toArray(env);
}

JNIEXPORT void JNICALL OSTRA_JNI(Misc, broadcastSettingChange0)(JNIEnv*, jclass)
{
    DWORD_PTR result = 0;
    SendMessageTimeoutW(HWND_BROADCAST, WM_SETTINGCHANGE, 0, reinterpret_cast<LPARAM>(L"Environment"),
                        SMTO_ABORTIFHUNG, 5000, &result);
}

JNIEXPORT jlong JNICALL OSTRA_JNI(Misc, getPhysicalMemory0)(JNIEnv*, jclass)
{
    HMODULE kernel = LoadLibraryW(L"Kernel32.DLL");
    GlobalMemoryStatusExFn statusEx =
        kernel ? reinterpret_cast<GlobalMemoryStatusExFn>(GetProcAddress(kernel, "GlobalMemoryStatusEx")) : NULL;
    jlong total = -1;
    if (statusEx) {
        MEMORYSTATUSEX status;
        ZeroMemory(&status, sizeof status);
        status.dwLength = 64;
        if (statusEx(&status)) {
            total = static_cast<jlong>(status.ullTotalPhys);
        } else {
            printf("error %d\n", static_cast<int>(GetLastError()));
            fflush(stdout);
        }
    }
    if (total < 0) {
        MEMORYSTATUS status;
        ZeroMemory(&status, sizeof status);
        status.dwLength = sizeof status;
        GlobalMemoryStatus(&status);
        total = static_cast<jlong>(status.dwTotalPhys);
    }
    if (kernel)
        FreeLibrary(kernel);
    return total;
}

JNIEXPORT jlong JNICALL OSTRA_JNI(Misc, getFreeDiskSpace0)(JNIEnv* env, jclass, jstring directory)
{
    wchar_t* path = ostra::newWide(env, directory);
    ULARGE_INTEGER freeToCaller, total, totalFree;
    const BOOL ok = GetDiskFreeSpaceExW(path, &freeToCaller, &total, &totalFree);
    ostra::freeWide(path);
    return ok ? static_cast<jlong>(freeToCaller.QuadPart) : -1;
}

JNIEXPORT jboolean JNICALL OSTRA_JNI(Misc, moveWithDelayUntilReboot0)(JNIEnv* env, jclass, jstring source,
                                                                     jstring target)
{
    if (!moveFileEx)
        moveFileEx = reinterpret_cast<MoveFileExFn>(ostra::loadedFunction(L"Kernel32.DLL", "MoveFileExW"));
    if (!moveFileEx)
        return JNI_FALSE;
    wchar_t* from = ostra::newWide(env, source);
    wchar_t* to = ostra::newWide(env, target);
    const BOOL ok = moveFileEx(from, to, MOVEFILE_DELAY_UNTIL_REBOOT);
    ostra::freeWide(to);
    ostra::freeWide(from);
    return ok ? JNI_TRUE : JNI_FALSE;
}

JNIEXPORT void JNICALL OSTRA_JNI(Misc, toFront0)(JNIEnv*, jclass)
{
    FrontSearch search = {GetCurrentProcessId()};
    EnumWindows(bringToFront, reinterpret_cast<LPARAM>(&search));
}

JNIEXPORT jint JNICALL OSTRA_JNI(Misc, terminateProcesses0)(JNIEnv* env, jclass, jintArray processIds, jboolean force,
                                                           jint timeoutMs)
{
    jint status = 1;
    if (!processIds)
        return 0;
    const jsize count = env->GetArrayLength(processIds);
    jint* ids = env->GetIntArrayElements(processIds, NULL);
    if (!ids)
        return 0;
    if (force) {
        for (jsize i = 0; i < count; ++i) {
            HANDLE process = OpenProcess(PROCESS_TERMINATE, FALSE, static_cast<DWORD>(ids[i]));
            if (!process) {
                status = 0;
                continue;
            }
            if (!TerminateProcess(process, 0))
                status = 0;
            CloseHandle(process);
        }
    } else {
        bool* seen = static_cast<bool*>(calloc(count ? count : 1, sizeof(bool)));
        HANDLE* handles = static_cast<HANDLE*>(calloc(count ? count : 1, sizeof(HANDLE)));
        if (!seen || !handles) {
            status = 0;
        } else {
            CloseRequest request = {ids, count, seen, 1};
            EnumWindows(askToClose, reinterpret_cast<LPARAM>(&request));
            status = request.status;
            for (jsize i = 0; i < count; ++i) {
                if (!seen[i])
                    status = 0;
            }
            jsize opened = 0;
            if (status == 1) {
                for (jsize i = 0; i < count; ++i) {
                    handles[i] = OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(ids[i]));
                    if (!handles[i])
                        status = 2;
                    else
                        ++opened;
                }
            }
            if (status == 1 && count > 0) {
                const DWORD waited = WaitForMultipleObjects(static_cast<DWORD>(count), handles, TRUE,
                                                            static_cast<DWORD>(timeoutMs));
                if (waited == WAIT_TIMEOUT)
                    status = 3;
                else if (waited != WAIT_OBJECT_0)
                    status = 2;
            }
            for (jsize i = 0; i < count && opened > 0; ++i) {
                if (handles[i])
                    CloseHandle(handles[i]);
            }
        }
        free(handles);
        free(seen);
    }
    env->ReleaseIntArrayElements(processIds, ids, JNI_ABORT);
    return status;
}

JNIEXPORT jstring JNICALL OSTRA_JNI(Misc, getWindowTitle0)(JNIEnv* env, jclass, jint processId)
{
    TitleSearch* search = static_cast<TitleSearch*>(malloc(sizeof(TitleSearch)));
    if (!search)
        return ostra::newJavaString(env, L"");
    search->processId = static_cast<DWORD>(processId);
    search->title[0] = 0;
    EnumWindows(findTitle, reinterpret_cast<LPARAM>(search));
    jstring title = ostra::newJavaString(env, search->title);
    free(search);
    return title;
}

JNIEXPORT jint JNICALL OSTRA_JNI(Misc, launch0)(JNIEnv* env, jclass, jstring application, jstring commandLine)
{
    wchar_t* program = ostra::newWide(env, application);
    wchar_t* line = ostra::newWide(env, commandLine); // writable, as CreateProcessW wants
    STARTUPINFOW startup;
    ZeroMemory(&startup, sizeof startup);
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info;
    jint status = 0;
    if (CreateProcessW(program, line, NULL, NULL, FALSE, NORMAL_PRIORITY_CLASS, NULL, NULL, &startup, &info)) {
        CloseHandle(info.hThread);
        CloseHandle(info.hProcess);
    } else {
        status = static_cast<jint>(GetLastError());
    }
    ostra::freeWide(line);
    ostra::freeWide(program);
    return status;
}

JNIEXPORT jlong JNICALL OSTRA_JNI(WinGuiHelper, getHwnd0)(JNIEnv* env, jclass, jobject method, jobject window)
{
    if (!windowHandleMethod) {
        windowHandleMethod = env->FromReflectedMethod(method);
        if (!windowHandleMethod)
            return 0;
    }
    return env->CallLongMethod(window, windowHandleMethod);
}

} // extern "C"
