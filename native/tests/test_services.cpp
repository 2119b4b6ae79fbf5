// Services under Wine's service manager, with a tiny service program of
// ours (helpers/testservice.cpp).
#include "harness.h"

#include <string>

using namespace harness;

namespace {

typedef jint(JNICALL* InstallFn)(JNIEnv*, jclass, jstring, jstring, jstring);
typedef jint(JNICALL* ChangeConfigFn)(JNIEnv*, jclass, jstring, jstring, jstring, jint, jint, jstring, jstring, jstring,
                                      jstring);
typedef jint(JNICALL* RestartConfigFn)(JNIEnv*, jclass, jstring, jboolean, jint);
typedef jint(JNICALL* NameFn)(JNIEnv*, jclass, jstring);
typedef jstring(JNICALL* BinaryFn)(JNIEnv*, jclass, jstring);

jint install(const std::wstring& name, const std::wstring& binary)
{
    return bind<InstallFn>("Win32Services", "installService0", 20)(env(), nullptr, vm().string(name.c_str()),
                                                                   vm().string((name + L" display").c_str()),
                                                                   vm().string(binary.c_str()));
}
jint call(const char* method, const std::wstring& name)
{
    return bind<NameFn>("Win32Services", method, 12)(env(), nullptr, vm().string(name.c_str()));
}
std::wstring binaryOf(const std::wstring& name)
{
    return text(bind<BinaryFn>("Win32Services", "getServiceBinary0", 12)(env(), nullptr, vm().string(name.c_str())));
}
jstring javaOrNull(const wchar_t* value) { return value ? vm().string(value) : nullptr; }
jint changeConfig(const std::wstring& name, jint startType, const wchar_t* dependencies, const wchar_t* account,
                  const wchar_t* description)
{
    return bind<ChangeConfigFn>("Win32Services", "changeServiceConfig0", 44)(
        env(), nullptr, vm().string(name.c_str()), nullptr, nullptr, static_cast<jint>(SERVICE_NO_CHANGE), startType,
        javaOrNull(dependencies), javaOrNull(account), nullptr, javaOrNull(description));
}

// The configuration as the service manager keeps it.
struct Config
{
    std::wstring dependencies; // items joined with '|'
    std::wstring account;
    DWORD startType = 0;
    std::wstring description;
    DWORD restartActions = 0xFFFFFFFF;
    DWORD restartDelay = 0;
};

Config readConfig(const std::wstring& name)
{
    Config config;
    SC_HANDLE manager = OpenSCManagerW(NULL, NULL, SC_MANAGER_CONNECT);
    SC_HANDLE service = OpenServiceW(manager, name.c_str(), SERVICE_QUERY_CONFIG);
    std::vector<BYTE> buffer(8192);
    DWORD needed;
    if (QueryServiceConfigW(service, reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data()), 8192, &needed)) {
        auto* info = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
        for (const wchar_t* item = info->lpDependencies; item && *item; item += wcslen(item) + 1)
            config.dependencies += (config.dependencies.empty() ? L"" : L"|") + std::wstring(item);
        config.account = info->lpServiceStartName ? info->lpServiceStartName : L"";
        config.startType = info->dwStartType;
    }
    if (QueryServiceConfig2W(service, SERVICE_CONFIG_DESCRIPTION, buffer.data(), 8192, &needed)) {
        auto* info = reinterpret_cast<SERVICE_DESCRIPTIONW*>(buffer.data());
        config.description = info->lpDescription ? info->lpDescription : L"";
    }
    if (QueryServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS, buffer.data(), 8192, &needed)) {
        auto* info = reinterpret_cast<SERVICE_FAILURE_ACTIONSW*>(buffer.data());
        config.restartActions = info->cActions;
        if (info->cActions && info->lpsaActions && info->lpsaActions[0].Type == SC_ACTION_RESTART)
            config.restartDelay = info->lpsaActions[0].Delay;
    }
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    // Wine's QueryServiceConfigW leaves the dependencies out; its service
    // manager keeps them in the service's registry key.
    HKEY key;
    const std::wstring keyName = L"System\\CurrentControlSet\\Services\\" + name;
    if (config.dependencies.empty() && RegOpenKeyExW(HKEY_LOCAL_MACHINE, keyName.c_str(), 0, KEY_READ, &key) == 0) {
        std::vector<wchar_t> list(16384);
        DWORD size = DWORD(list.size() * sizeof(wchar_t));
        if (RegQueryValueExW(key, L"DependOnService", NULL, NULL, reinterpret_cast<BYTE*>(list.data()), &size) == 0)
            for (const wchar_t* item = list.data(); *item; item += wcslen(item) + 1)
                config.dependencies += (config.dependencies.empty() ? L"" : L"|") + std::wstring(item);
        RegCloseKey(key);
    }
    return config;
}

bool waitForState(const std::wstring& name, jint negatedState)
{
    for (int i = 0; i < 200; ++i) {
        if (call("queryStatus0", name) == negatedState)
            return true;
        Sleep(50);
    }
    return false;
}

DWORD processOf(const std::wstring& name)
{
    SC_HANDLE manager = OpenSCManagerW(NULL, NULL, SC_MANAGER_CONNECT);
    SC_HANDLE service = OpenServiceW(manager, name.c_str(), SERVICE_QUERY_STATUS);
    SERVICE_STATUS_PROCESS status = {};
    DWORD needed;
    QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof status, &needed);
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return status.dwProcessId;
}

// A service of ours, with what an interrupted run left under its name
// (installed, perhaps running or stuck) removed first.
std::wstring serviceName(const wchar_t* kind)
{
    const std::wstring name = std::wstring(L"OstraTest") + kind;
    SC_HANDLE manager = OpenSCManagerW(NULL, NULL, SC_MANAGER_CONNECT);
    SC_HANDLE service = OpenServiceW(manager, name.c_str(), SERVICE_QUERY_STATUS | SERVICE_STOP | DELETE);
    if (service) {
        CloseServiceHandle(service);
        if (HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, processOf(name))) {
            TerminateProcess(process, 0);
            WaitForSingleObject(process, 10000);
            CloseHandle(process);
        }
        service = OpenServiceW(manager, name.c_str(), DELETE);
        DeleteService(service);
        CloseServiceHandle(service);
        for (int i = 0; i < 100 && call("queryStatus0", name) != 1060; ++i)
            Sleep(50);
    }
    CloseServiceHandle(manager);
    return name;
}

} // namespace

TEST_CASE(Services, unknownServiceGivesItsCode)
{
    const std::wstring name = L"OstraNoSuchService";
    CHECK_EQ(call("queryStatus0", name), 1060);
    CHECK_EQ(call("getStartType0", name), 1060);
    CHECK_EQ(call("startService0", name), 1060);
    CHECK_EQ(call("stopService0", name), 1060);
    CHECK_EQ(call("uninstallService0", name), 1060);
    CHECK_EQ(binaryOf(name), std::wstring(L" 1060"));
    CHECK_EQ(changeConfig(name, static_cast<jint>(SERVICE_NO_CHANGE), nullptr, nullptr, nullptr), 1060);
}

TEST_CASE(Services, lifecycleOfAServiceOfOurs)
{
    const std::wstring name = serviceName(L"Life");
    const std::wstring binary = helperProgram(L"testservice.exe");
    REQUIRE(install(name, binary) == 0);
    CHECK_EQ(install(name, binary), 1073); // ERROR_SERVICE_EXISTS
    CHECK_EQ(binaryOf(name), binary);
    CHECK_EQ(call("getStartType0", name), -3); // on demand
    CHECK_EQ(call("queryStatus0", name), -1);  // stopped

    // The account names of LocalSystem are mapped, case-sensitively.
    CHECK_EQ(changeConfig(name, SERVICE_AUTO_START, L"Alpha,,Beta", L"NT AUTHORITY\\LocalSystem", L"Made by a test"), 0);
    Config config = readConfig(name);
    CHECK_EQ(config.dependencies, std::wstring(L"Alpha|Beta"));
    CHECK_EQ(config.account, std::wstring(L"LocalSystem"));
    CHECK_EQ(config.description, std::wstring(L"Made by a test"));
    CHECK_EQ(call("getStartType0", name), -2); // automatic
    CHECK_EQ(changeConfig(name, static_cast<jint>(SERVICE_NO_CHANGE), L"Gamma", L"NT AUTHORITY\\System", nullptr), 0);
    CHECK_EQ(readConfig(name).account, std::wstring(L"LocalSystem"));
    CHECK_EQ(readConfig(name).description, std::wstring(L"Made by a test")); // a null description changes nothing
    // Only the exact spellings are mapped; others are passed as given.
    CHECK_EQ(changeConfig(name, static_cast<jint>(SERVICE_NO_CHANGE), L"Gamma", L"nt authority\\localsystem", nullptr), 0);
    CHECK_EQ(readConfig(name).account, std::wstring(L"nt authority\\localsystem"));

    // A list longer than its buffer is refused before anything changes.
    const std::wstring huge = std::wstring(5000, L'x') + L"," + std::wstring(5000, L'y');
    CHECK_EQ(changeConfig(name, SERVICE_DISABLED, huge.c_str(), nullptr, nullptr), 87);
    CHECK_EQ(readConfig(name).dependencies, std::wstring(L"Gamma"));
    CHECK_EQ(call("getStartType0", name), -2);
    // The longest list that fits is taken: 8192 units with both NULs.
    const std::wstring fits = std::wstring(8190, L'z');
    CHECK_EQ(changeConfig(name, static_cast<jint>(SERVICE_NO_CHANGE), fits.c_str(), nullptr, nullptr), 0);
    CHECK_EQ(readConfig(name).dependencies.size(), size_t(8190));
    CHECK_EQ(changeConfig(name, static_cast<jint>(SERVICE_NO_CHANGE), (fits + L"z").c_str(), nullptr, nullptr), 87);

    // An empty text clears the dependencies (the service could not start
    // with missing ones).
    CHECK_EQ(changeConfig(name, SERVICE_DEMAND_START, L"", nullptr, nullptr), 0);
    CHECK_EQ(readConfig(name).dependencies, std::wstring());
    CHECK_EQ(call("getStartType0", name), -3);

    // Wine accepts failure actions but neither keeps nor reports them: only
    // the status can be seen here.
    auto restart = bind<RestartConfigFn>("Win32Services", "setRestartServiceConfig0", 20);
    CHECK_EQ(restart(env(), nullptr, vm().string(name.c_str()), JNI_TRUE, 7000), 0);
    config = readConfig(name);
    if (config.restartActions != 0xFFFFFFFF) {
        CHECK_EQ(config.restartActions, DWORD(1));
        CHECK_EQ(config.restartDelay, DWORD(7000));
    }
    CHECK_EQ(restart(env(), nullptr, vm().string(name.c_str()), JNI_FALSE, 7000), 0);
    if (config.restartActions != 0xFFFFFFFF)
        CHECK_EQ(readConfig(name).restartActions, DWORD(0));
    CHECK_EQ(restart(env(), nullptr, vm().string(L"OstraNoSuchService"), JNI_TRUE, 1), 1060);

    CHECK_EQ(call("stopService0", name), 1062); // ERROR_SERVICE_NOT_ACTIVE
    CHECK_EQ(call("startService0", name), 0);
    CHECK(waitForState(name, -4));
    CHECK_EQ(call("startService0", name), 1056); // ERROR_SERVICE_ALREADY_RUNNING
    CHECK_EQ(call("stopService0", name), 0);
    CHECK_EQ(call("queryStatus0", name), -1);

    CHECK_EQ(call("uninstallService0", name), 0);
    CHECK_EQ(call("queryStatus0", name), 1060);
    CHECK_EQ(binaryOf(name), std::wstring(L" 1060"));
}

TEST_CASE(Services, stopPastTheWaitHintIsReported)
{
    const std::wstring name = serviceName(L"Stuck");
    REQUIRE(install(name, helperProgram(L"testservice.exe") + L" stuck") == 0);
    CHECK_EQ(call("startService0", name), 0);
    CHECK(waitForState(name, -4));
    const DWORD started = GetTickCount();
    CHECK_EQ(call("stopService0", name), 5001);
    CHECK(GetTickCount() - started >= 1000); // waited for the hint
    CHECK_EQ(call("queryStatus0", name), -3);  // still stop pending
    HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, processOf(name));
    if (process) {
        TerminateProcess(process, 0);
        WaitForSingleObject(process, 10000);
        CloseHandle(process);
    }
    CHECK_EQ(call("uninstallService0", name), 0);
}
