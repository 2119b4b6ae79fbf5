// Processes, windows and system, with helper processes of ours
// (helpers/windowhelper.cpp). Needs a display (Xvfb) for the windows.
#include "harness.h"

#include <string>

using namespace harness;

namespace {

typedef jobjectArray(JNICALL* ModulesFn)(JNIEnv*, jclass, jboolean);
typedef jobjectArray(JNICALL* NoArgumentArrayFn)(JNIEnv*, jclass);
typedef jlong(JNICALL* NoArgumentLongFn)(JNIEnv*, jclass);
typedef jlong(JNICALL* DiskFn)(JNIEnv*, jclass, jstring);
typedef jboolean(JNICALL* MoveFn)(JNIEnv*, jclass, jstring, jstring);
typedef void(JNICALL* VoidFn)(JNIEnv*, jclass);
typedef jint(JNICALL* TerminateFn)(JNIEnv*, jclass, jintArray, jboolean, jint);
typedef jstring(JNICALL* TitleFn)(JNIEnv*, jclass, jint);
typedef jint(JNICALL* LaunchFn)(JNIEnv*, jclass, jstring, jstring);
typedef jlong(JNICALL* HwndFn)(JNIEnv*, jclass, jobject, jobject);

HWND waitForWindow(DWORD processId, const wchar_t* title)
{
    for (int i = 0; i < 200; ++i) {
        if (HWND found = findTopWindow(processId, title, false))
            return found;
        Sleep(50);
    }
    return NULL;
}

// A helper process, ended at the end of scope if it still runs. Construction
// returns once the helper says it is ready: its window shown (or, hidden,
// created), so that a search for visible windows cannot miss it.
class Helper
{
public:
    Helper(const std::wstring& mode, const std::wstring& title = L"", const std::wstring& program = L"")
    {
        path = program.empty() ? helperProgram(L"windowhelper.exe") : program;
        std::wstring line = L"\"" + path + L"\" " + mode + L" \"" + title + L"\"";
        STARTUPINFOW startup = {};
        startup.cb = sizeof startup;
        started = CreateProcessW(path.c_str(), &line[0], NULL, NULL, FALSE, CREATE_SUSPENDED, NULL, NULL, &startup,
                                 &info) != 0;
        if (!started)
            return;
        const std::wstring readyName = L"OstraHelperReady-" + std::to_wstring(info.dwProcessId);
        HANDLE ready = CreateEventW(NULL, TRUE, FALSE, readyName.c_str());
        ResumeThread(info.hThread);
        // Minutes, not seconds: a new Wine prefix under emulation is slow.
        HANDLE waited[] = {ready, info.hProcess};
        const bool isReady = ready && WaitForMultipleObjects(2, waited, FALSE, 120000) == WAIT_OBJECT_0;
        if (ready)
            CloseHandle(ready);
        if (isReady && mode != L"none")
            window = findTopWindow(info.dwProcessId, mode == L"untitled" ? L"" : title.c_str(), mode != L"hidden");
    }
    ~Helper()
    {
        if (!started)
            return;
        TerminateProcess(info.hProcess, 0);
        WaitForSingleObject(info.hProcess, 5000);
        CloseHandle(info.hProcess);
        CloseHandle(info.hThread);
    }
    jint pid() const { return static_cast<jint>(info.dwProcessId); }
    bool endsWithin(DWORD ms) const { return WaitForSingleObject(info.hProcess, ms) == WAIT_OBJECT_0; }

    std::wstring path;
    bool started = false;
    HWND window = NULL;
    PROCESS_INFORMATION info = {};
};

jint terminate(std::vector<jint> ids, bool force, jint timeout)
{
    return bind<TerminateFn>("Misc", "terminateProcesses0", 20)(env(), nullptr, vm().ints(ids),
                                                                force ? JNI_TRUE : JNI_FALSE, timeout);
}

std::wstring titleOf(jint pid)
{
    return text(bind<TitleFn>("Misc", "getWindowTitle0", 12)(env(), nullptr, pid));
}

bool sameText(const std::wstring& a, const std::wstring& b)
{
    return a.size() == b.size() && _wcsicmp(a.c_str(), b.c_str()) == 0;
}

bool listed(const std::vector<std::wstring>& entries, jint pid, const std::wstring& path)
{
    const std::wstring prefix = std::to_wstring(pid) + L" ";
    for (const std::wstring& entry : entries)
        if (entry.rfind(prefix, 0) == 0 && sameText(entry.substr(prefix.size()), path))
            return true;
    return false;
}

std::wstring pendingRenames()
{
    HKEY key;
    std::wstring joined;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"System\\CurrentControlSet\\Control\\Session Manager", 0, KEY_READ, &key))
        return joined;
    std::vector<wchar_t> buffer(65536);
    DWORD size = DWORD(buffer.size() * sizeof(wchar_t));
    if (RegQueryValueExW(key, L"PendingFileRenameOperations", NULL, NULL, reinterpret_cast<BYTE*>(buffer.data()),
                         &size) == 0)
        joined.assign(buffer.data(), size / sizeof(wchar_t));
    RegCloseKey(key);
    return joined;
}

void setPendingRenames(const std::wstring& value)
{
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"System\\CurrentControlSet\\Control\\Session Manager", 0, KEY_SET_VALUE,
                      &key))
        return;
    if (value.empty())
        RegDeleteValueW(key, L"PendingFileRenameOperations");
    else
        RegSetValueExW(key, L"PendingFileRenameOperations", 0, REG_MULTI_SZ,
                       reinterpret_cast<const BYTE*>(value.data()), DWORD(value.size() * sizeof(wchar_t)));
    RegCloseKey(key);
}

// The pending renames without the pairs whose source is `source`.
std::wstring withoutPairsOf(const std::wstring& renames, const std::wstring& source)
{
    std::vector<std::wstring> items;
    for (size_t start = 0, end; start < renames.size() && (end = renames.find(L'\0', start)) != std::wstring::npos;
         start = end + 1)
        items.push_back(renames.substr(start, end - start));
    std::wstring kept;
    for (size_t i = 0; i + 1 < items.size(); i += 2)
        if (items[i] != source)
            kept += items[i] + L'\0' + items[i + 1] + L'\0';
    return kept.empty() ? kept : kept + L'\0';
}

} // namespace

TEST_CASE(Misc, runningModulesListOwnAndHelperProcesses)
{
    Helper helper(L"titled", L"Ostra listed");
    REQUIRE(helper.window);
    // A copy named like an installer's temporary program.
    const std::wstring tmpCopy = besideHarness(L"windowhelper-copy.tmp");
    CopyFileW(helperProgram(L"windowhelper.exe").c_str(), tmpCopy.c_str(), FALSE);
    {
        Helper tmp(L"titled", L"Ostra tmp", tmpCopy);
        REQUIRE(tmp.window);
        for (jboolean leaveDebugOff : {JNI_TRUE, JNI_FALSE}) {
            const std::vector<std::wstring> entries =
                texts(bind<ModulesFn>("Misc", "getRunningModules0", 12)(env(), nullptr, leaveDebugOff));
            wchar_t own[MAX_PATH];
            GetModuleFileNameW(NULL, own, MAX_PATH);
            CHECK(entries.size() >= 3);
            CHECK(listed(entries, static_cast<jint>(GetCurrentProcessId()), own));
            CHECK(listed(entries, helper.pid(), helper.path));
            CHECK(listed(entries, tmp.pid(), tmpCopy));
        }
    }
    DeleteFileW(tmpCopy.c_str());
}

TEST_CASE(Misc, gentleTermination)
{
    {
        Helper polite(L"titled", L"Ostra polite");
        REQUIRE(polite.window);
        CHECK_EQ(terminate({polite.pid()}, false, 10000), 1);
        CHECK(polite.endsWithin(0));
    }
    {
        // An id listed twice is still one process that was asked and ended.
        Helper polite(L"titled", L"Ostra polite twice");
        REQUIRE(polite.window);
        CHECK_EQ(terminate({polite.pid(), polite.pid()}, false, 10000), 1);
    }
    {
        Helper stubborn(L"stubborn", L"Ostra stubborn");
        REQUIRE(stubborn.window);
        const DWORD start = GetTickCount();
        CHECK_EQ(terminate({stubborn.pid()}, false, 1500), 3);
        CHECK(GetTickCount() - start >= 1400);
        CHECK(!stubborn.endsWithin(0));
    }
    {
        // Without a window nothing is waited for.
        Helper silent(L"none");
        const DWORD start = GetTickCount();
        CHECK_EQ(terminate({silent.pid()}, false, 20000), 0);
        CHECK(GetTickCount() - start < 5000);
        CHECK(!silent.endsWithin(0));
    }
    {
        // One without a window spoils the status, but the other is still asked.
        Helper polite(L"titled", L"Ostra polite two");
        Helper silent(L"none");
        REQUIRE(polite.window);
        CHECK_EQ(terminate({polite.pid(), silent.pid()}, false, 10000), 0);
        CHECK(polite.endsWithin(10000));
    }
}

TEST_CASE(Misc, forcedTermination)
{
    Helper stubborn(L"stubborn", L"Ostra forced");
    Helper silent(L"none");
    REQUIRE(stubborn.window);
    CHECK_EQ(terminate({stubborn.pid(), silent.pid()}, true, 0), 1);
    CHECK(stubborn.endsWithin(5000));
    CHECK(silent.endsWithin(5000));
    Helper other(L"none");
    // An id that belongs to no process: 0, and the others still end.
    CHECK_EQ(terminate({0x7FFFFFF0, other.pid()}, true, 0), 0);
    CHECK(other.endsWithin(5000));
}

TEST_CASE(Misc, windowTitles)
{
    Helper titled(L"titled", L"Ostra title \u00e9");
    Helper untitled(L"untitled");
    Helper hidden(L"hidden", L"Ostra hidden");
    Helper silent(L"none");
    REQUIRE(titled.window && untitled.window && hidden.window);
    CHECK_EQ(titleOf(titled.pid()), std::wstring(L"Ostra title \u00e9"));
    // Every window thread also owns the input method's hidden top-level
    // window, titled "Default IME": a process whose own windows have no
    // title may show that one (the last invisible titled window).
    const std::wstring untitledResult = titleOf(untitled.pid());
    CHECK(untitledResult.empty() || untitledResult == L"Default IME");
    const std::wstring hiddenResult = titleOf(hidden.pid());
    CHECK(hiddenResult == L"Ostra hidden" || hiddenResult == L"Default IME");
    CHECK_EQ(titleOf(silent.pid()), std::wstring());
    CHECK_EQ(titleOf(0x7FFFFFF0), std::wstring());
}

TEST_CASE(Misc, launchStartsWithoutWaiting)
{
    auto launch = bind<LaunchFn>("Misc", "launch0", 16);
    const std::wstring program = helperProgram(L"windowhelper.exe");
    const std::wstring title = L"Ostra launched " + std::to_wstring(GetCurrentProcessId());
    CHECK_EQ(launch(env(), nullptr, vm().string(program.c_str()),
                    vm().string((L"\"" + program + L"\" titled \"" + title + L"\"").c_str())),
             0);
    HWND window = waitForWindow(0, title.c_str());
    CHECK(window != NULL);
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    if (pid)
        CHECK_EQ(terminate({static_cast<jint>(pid)}, true, 0), 1);
    CHECK_EQ(launch(env(), nullptr, vm().string(besideHarness(L"no-such-program.exe").c_str()), nullptr), 2);
}

TEST_CASE(Misc, environmentMemoryAndDisk)
{
    // Windows keeps each drive's current directory under a name that begins
    // with "="; such entries must survive.
    SetEnvironmentVariableW(L"=Q:", L"Q:\\ostra");
    SetEnvironmentVariableW(L"OSTRA_TEST", L"a=b");
    const std::vector<std::wstring> pairs =
        texts(bind<NoArgumentArrayFn>("Misc", "getEnvVarPairs0", 8)(env(), nullptr));
    auto has = [&](const wchar_t* entry) {
        for (const std::wstring& pair : pairs)
            if (pair == entry)
                return true;
        return false;
    };
    CHECK(has(L"=Q:=Q:\\ostra"));
    CHECK(has(L"OSTRA_TEST=a=b"));
    size_t expected = 0;
    wchar_t* block = GetEnvironmentStringsW();
    for (const wchar_t* entry = block; *entry; entry += wcslen(entry) + 1)
        ++expected;
    FreeEnvironmentStringsW(block);
    CHECK_EQ(pairs.size(), expected);
    SetEnvironmentVariableW(L"=Q:", NULL);
    SetEnvironmentVariableW(L"OSTRA_TEST", NULL);

    MEMORYSTATUSEX memory = {};
    memory.dwLength = sizeof memory;
    GlobalMemoryStatusEx(&memory);
    const jlong physical = bind<NoArgumentLongFn>("Misc", "getPhysicalMemory0", 8)(env(), nullptr);
    CHECK(physical > 0);
    CHECK_EQ(physical, static_cast<jlong>(memory.ullTotalPhys));

    auto disk = bind<DiskFn>("Misc", "getFreeDiskSpace0", 12);
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    CHECK(disk(env(), nullptr, vm().string(temp)) > 0);
    CHECK_EQ(disk(env(), nullptr, vm().string(L"C:\\no\\such\\directory")), jlong(-1));
}

TEST_CASE(Misc, moveAndDeleteAtReboot)
{
    auto move = bind<MoveFn>("Misc", "moveWithDelayUntilReboot0", 16);
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    const std::wstring source = std::wstring(temp) + L"ostra-move-source.txt";
    const std::wstring target = std::wstring(temp) + L"ostra-move-target.txt";
    const std::wstring before = withoutPairsOf(pendingRenames(), L"\\??\\" + source); // an interrupted run's
    setPendingRenames(before);
    CloseHandle(CreateFileW(source.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL));
    CHECK(move(env(), nullptr, vm().string(source.c_str()), vm().string(target.c_str())) == JNI_TRUE);
    CHECK(move(env(), nullptr, vm().string(source.c_str()), nullptr) == JNI_TRUE);
    // Kept as pairs: the source, then the target (with a "!" in front only
    // when replacing was asked for), or an empty target for a deletion.
    const std::wstring after = pendingRenames();
    const std::wstring rename = L"\\??\\" + source + std::wstring(1, L'\0') + L"\\??\\" + target + std::wstring(1, L'\0');
    const std::wstring removal = L"\\??\\" + source + std::wstring(1, L'\0') + std::wstring(1, L'\0');
    CHECK(after.find(rename) != std::wstring::npos);
    CHECK(after.find(removal) != std::wstring::npos);
    CHECK(GetFileAttributesW(source.c_str()) != INVALID_FILE_ATTRIBUTES); // nothing moved yet
    setPendingRenames(before);
    DeleteFileW(source.c_str());
}

namespace {
bool g_environmentChanged = false;

LRESULT CALLBACK recordSettingChange(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_SETTINGCHANGE && lParam && wcscmp(reinterpret_cast<const wchar_t*>(lParam), L"Environment") == 0)
        g_environmentChanged = true;
    return DefWindowProcW(window, message, wParam, lParam);
}
} // namespace

// toFront0 brings this process's window before another's, and the broadcast
// reaches this process's windows with "Environment".
TEST_CASE(Misc, toFrontAndBroadcastReachOurWindow)
{
    WNDCLASSW windowClass = {};
    windowClass.lpfnWndProc = recordSettingChange;
    windowClass.hInstance = GetModuleHandleW(NULL);
    windowClass.lpszClassName = L"OstraOwnWindow";
    RegisterClassW(&windowClass);
    HWND own = CreateWindowExW(0, L"OstraOwnWindow", L"Ostra own", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 10, 10, 200,
                               100, NULL, NULL, GetModuleHandleW(NULL), NULL);
    REQUIRE(own != NULL);
    Helper helper(L"titled", L"Ostra front");
    REQUIRE(helper.window != NULL);
    SetForegroundWindow(helper.window);
    for (int i = 0; i < 100 && GetForegroundWindow() != helper.window; ++i)
        Sleep(20);
    CHECK(GetForegroundWindow() == helper.window);
    bind<VoidFn>("Misc", "toFront0", 8)(env(), nullptr);
    CHECK(GetForegroundWindow() == own);
    g_environmentChanged = false;
    bind<VoidFn>("Misc", "broadcastSettingChange0", 8)(env(), nullptr);
    CHECK(g_environmentChanged);
    DestroyWindow(own);
}

TEST_CASE(WinGuiHelper, reflectedMethodIsResolvedOnceAndCalledEachTime)
{
    auto getHwnd = bind<HwndFn>("WinGuiHelper", "getHwnd0", 16);
    fakejvm::Object* method = vm().newObject(fakejvm::PlainObject, "java/lang/reflect/Method");
    fakejvm::Object* window = vm().newObject(fakejvm::PlainObject, "java/awt/Window");
    window->intValue = 0x1234;
    const int resolvedBefore = vm().fromReflectedMethodCalls;
    CHECK_EQ(getHwnd(env(), nullptr, vm().reference(method), vm().reference(window)),
             jlong(0x1234 * 16));
    window->intValue = 7;
    CHECK_EQ(getHwnd(env(), nullptr, vm().reference(method), vm().reference(window)), jlong(7 * 16));
    CHECK(vm().fromReflectedMethodCalls - resolvedBefore <= 1);
    CHECK(vm().fromReflectedMethodCalls >= 1);
    CHECK(vm().callLongMethodCalls >= 2);
}
