// registerNatives: classes, names, signatures and functions, and each way it
// can fail.
#include "harness.h"

#include <stdarg.h>
#include <wchar.h>

using namespace harness;

namespace {

typedef unsigned char(__cdecl* RegisterNativesFn)(JNIEnv*, HMODULE, void(__cdecl*)(const wchar_t*, ...));

std::vector<std::u16string> g_messages;

void __cdecl recordMessage(const wchar_t* format, ...)
{
    wchar_t text[1024];
    va_list args;
    va_start(args, format);
    vswprintf(text, 1024, format, args);
    va_end(args);
    g_messages.push_back(u(text));
}

Native<RegisterNativesFn> registerNatives()
{
    RegisterNativesFn function = reinterpret_cast<RegisterNativesFn>(GetProcAddress(library(), "registerNatives"));
    REQUIRE(function != nullptr);
    return Native<RegisterNativesFn>{function};
}

void reset()
{
    g_messages.clear();
    vm().registrations.clear();
    vm().foundClasses.clear();
}

const std::string kPrefix = "com/ostrakit/runtime/installer/platform/win32/";

// The documented registration table, typed here on its own: a wrong row in
// the library's table must fail a test, so it is not built from that table.
struct Expected
{
    const char* cls;
    const char* method;
    const char* signature;
    int bytes;
};
const Expected kRegistered[] = {
    {"ACLHandling", "addACE", "(Ljava/lang/String;ZZZZZILjava/lang/String;)Z", 40},
    {"FileVersion", "compare0", "(Ljava/lang/String;Ljava/lang/String;)I", 16},
    {"FolderInfo", "getSpecialFolder0", "(IZ)Ljava/lang/String;", 16},
    {"FolderInfo", "getPathFromRegistry0", "(Ljava/lang/String;)Ljava/lang/String;", 12},
    {"FolderInfo", "getWindowsDirectory0", "()Ljava/lang/String;", 8},
    {"FolderInfo", "getSystemDirectory0", "()Ljava/lang/String;", 8},
    {"FolderInfo", "getDriveType0", "(Ljava/lang/String;)I", 12},
    {"FolderInfo", "getShortPathName0", "(Ljava/lang/String;)Ljava/lang/String;", 12},
    {"FolderInfo", "getDownloadsDirectory0", "()Ljava/lang/String;", 8},
    {"Misc", "reboot0", "()V", 8},
    {"Misc", "getRunningModules0", "(Z)[Ljava/lang/String;", 12},
    {"Misc", "getEnvVarPairs0", "()[Ljava/lang/String;", 8},
    {"Misc", "broadcastSettingChange0", "()V", 8},
    {"Misc", "getPhysicalMemory0", "()J", 8},
    {"Misc", "getFreeDiskSpace0", "(Ljava/lang/String;)J", 12},
    {"Misc", "moveWithDelayUntilReboot0", "(Ljava/lang/String;Ljava/lang/String;)Z", 16},
    {"Misc", "toFront0", "()V", 8},
    {"Misc", "terminateProcesses0", "([IZI)I", 20},
    {"Misc", "getWindowTitle0", "(I)Ljava/lang/String;", 12},
    {"Misc", "launch0", "(Ljava/lang/String;Ljava/lang/String;)I", 16},
    {"ObjectPicker", "show0", "(ZZZZZ)[Lcom/ostrakit/runtime/installer/platform/win32/ObjectPicker$Result;", 28},
    {"Registry", "keyExists0", "(ILjava/lang/String;I)Z", 20},
    {"Registry", "createKey0", "(ILjava/lang/String;I)Z", 20},
    {"Registry", "getValue0", "(ILjava/lang/String;Ljava/lang/String;I)Ljava/lang/Object;", 24},
    {"Registry", "setValue0", "(ILjava/lang/String;Ljava/lang/String;Ljava/lang/Object;II)Z", 32},
    {"Registry", "deleteValue0", "(ILjava/lang/String;Ljava/lang/String;I)V", 24},
    {"Registry", "deleteKey0", "(ILjava/lang/String;ZI)V", 24},
    {"Registry", "saveKey0", "(ILjava/lang/String;Ljava/lang/String;I)Z", 24},
    {"Registry", "restoreKey0", "(ILjava/lang/String;Ljava/lang/String;I)Z", 24},
    {"Registry", "enumSubKeys0", "(ILjava/lang/String;I)[Ljava/lang/String;", 20},
    {"Registry", "enumValues0", "(ILjava/lang/String;I)[Ljava/lang/String;", 20},
    {"Registry", "changeNotifyAssociations0", "()V", 8},
    {"ShellLink", "createWide0",
     "(Ljava/lang/String;Ljava/lang/String;Ljava/lang/String;Ljava/lang/String;Ljava/lang/String;ZLjava/lang/String;I)Z", 40},
    {"ShellLink", "changeNotify0", "([B[B)Z", 16},
    {"ShellLink", "initialize0", "()Z", 8},
    {"ShellLink", "uninitialize", "()Z", 8},
    {"VistaFileChooser", "initialize0", "()V", 8},
    {"VistaFileChooser", "displayDialog0",
     "(JLjava/lang/String;Ljava/lang/String;Ljava/lang/String;Ljava/lang/String;IIZLjava/lang/String;[Ljava/lang/String;[Ljava/lang/String;I[Ljava/lang/String;[Z)[Ljava/lang/String;", 68},
    {"VistaTaskDialog", "show0",
     "(JLjava/lang/String;Ljava/lang/String;Ljava/lang/String;IIILjava/lang/String;[Ljava/lang/String;I)I", 52},
    {"Win32CommunicationBackend", "getInvalidHandle0", "()J", 8},
    {"Win32CommunicationBackend", "createListener0", "(Ljava/lang/String;)J", 12},
    {"Win32CommunicationBackend", "readDataBlock0", "(J)[B", 16},
    {"Win32CommunicationBackend", "writeDataBlock0", "(J[B)Z", 20},
    {"Win32CommunicationBackend", "connectClient0", "(Ljava/lang/String;)J", 12},
    {"Win32CommunicationBackend", "connectNamedPipe0", "(J)Z", 16},
    {"Win32CommunicationBackend", "disconnectNamedPipe0", "(J)V", 16},
    {"Win32CommunicationBackend", "closeHandle0", "(J)V", 16},
    {"Win32CommunicationBackend", "isProcessAlive0", "(I)Z", 12},
    {"Win32CommunicationBackend", "getCurrentProcessId0", "()I", 8},
    {"Win32Services", "installService0", "(Ljava/lang/String;Ljava/lang/String;Ljava/lang/String;)I", 20},
    {"Win32Services", "changeServiceConfig0",
     "(Ljava/lang/String;Ljava/lang/String;Ljava/lang/String;IILjava/lang/String;Ljava/lang/String;Ljava/lang/String;Ljava/lang/String;)I", 44},
    {"Win32Services", "setRestartServiceConfig0", "(Ljava/lang/String;ZI)I", 20},
    {"Win32Services", "stopService0", "(Ljava/lang/String;)I", 12},
    {"Win32Services", "startService0", "(Ljava/lang/String;)I", 12},
    {"Win32Services", "uninstallService0", "(Ljava/lang/String;)I", 12},
    {"Win32Services", "queryStatus0", "(Ljava/lang/String;)I", 12},
    {"Win32Services", "getStartType0", "(Ljava/lang/String;)I", 12},
    {"Win32Services", "getServiceBinary0", "(Ljava/lang/String;)Ljava/lang/String;", 12},
    {"Win32UserInfo", "isMemberOfGroup0", "(I)Z", 12},
    {"Win32UserInfo", "executeElevated0", "(Ljava/lang/String;Ljava/lang/String;Ljava/lang/String;I)Z", 24},
    {"Win32UserInfo", "getElevationType0", "()I", 8},
    {"Win32UserInfo", "addUser0",
     "(Ljava/lang/String;Ljava/lang/String;Ljava/lang/String;Ljava/lang/String;Ljava/lang/String;ZZ)Ljava/lang/String;", 36},
    {"Win32UserInfo", "deleteUser0", "(Ljava/lang/String;Ljava/lang/String;)I", 16},
    {"Win32UserInfo", "deleteLocalGroup0", "(Ljava/lang/String;Ljava/lang/String;)I", 16},
    {"Win32UserInfo", "getAccountName0", "(Ljava/lang/String;Z)Ljava/lang/String;", 16},
    {"Win32UserInfo", "getUserProfileDirectory0", "(Ljava/lang/String;Ljava/lang/String;)Ljava/lang/String;", 16},
    {"Win32UserInfo", "getUserSid0", "()Ljava/lang/String;", 8},
    {"Win32UserInfo", "setLsaAccountRight0", "(Ljava/lang/String;Ljava/lang/String;Z)Z", 20},
    {"WinGuiHelper", "getHwnd0", "(Ljava/lang/reflect/Method;Ljava/lang/Object;)J", 16},
};

} // namespace

TEST_CASE(Registration, registersAllThirteenClasses)
{
    reset();
    CHECK_EQ(registerNatives()(env(), library(), recordMessage), 1);
    CHECK(g_messages.empty());
    const size_t expected = sizeof(kRegistered) / sizeof(kRegistered[0]);
    CHECK_EQ(expected, size_t(69));
    CHECK_EQ(vm().registrations.size(), expected);
    // In table order, each with the address the module exports under its
    // decorated name.
    for (size_t i = 0; i < expected && i < vm().registrations.size(); ++i) {
        const Expected& row = kRegistered[i];
        const fakejvm::Registration& registration = vm().registrations[i];
        CHECK_EQ(registration.className, kPrefix + row.cls);
        CHECK_EQ(registration.name, std::string(row.method));
        CHECK_EQ(registration.signature, std::string(row.signature));
        CHECK(registration.function == exportAddress(row.cls, row.method, row.bytes));
    }
    CHECK_EQ(vm().foundClasses.size(), size_t(13));
}

TEST_CASE(Registration, classOrderFollowsTheTable)
{
    reset();
    CHECK_EQ(registerNatives()(env(), library(), recordMessage), 1);
    const char* order[] = {"ACLHandling", "FileVersion", "FolderInfo", "Misc", "ObjectPicker", "Registry",
                           "ShellLink", "VistaFileChooser", "VistaTaskDialog", "Win32CommunicationBackend",
                           "Win32Services", "Win32UserInfo", "WinGuiHelper"};
    REQUIRE(vm().foundClasses.size() == 13);
    for (int i = 0; i < 13; ++i)
        CHECK_EQ(vm().foundClasses[static_cast<size_t>(i)], kPrefix + order[i]);
}

TEST_CASE(Registration, missingClassStopsWithOneMessage)
{
    reset();
    expectPendingException();
    vm().setMissingClass(kPrefix + "ObjectPicker");
    const unsigned char result = registerNatives()(env(), library(), recordMessage);
    vm().clearMissingClasses();
    CHECK_EQ(result, 0);
    REQUIRE(g_messages.size() == 1);
    CHECK_EQ(g_messages[0], u(L"could not load class com/ostrakit/runtime/installer/platform/win32/ObjectPicker"));
    // The first four classes stay registered; Registry and later are never looked at.
    CHECK_EQ(vm().foundClasses.size(), size_t(5));
    CHECK_EQ(vm().registrations.size(), size_t(1 + 1 + 7 + 11));
    for (const std::string& found : vm().foundClasses)
        CHECK(found != kPrefix + "Registry");
    CHECK(vm().exceptionPending());
}

TEST_CASE(Registration, missingExportIsNamedWithoutDecoration)
{
    reset();
    // This program's own module exports none of the methods.
    CHECK_EQ(registerNatives()(env(), GetModuleHandleW(NULL), recordMessage), 0);
    REQUIRE(g_messages.size() == 1);
    CHECK_EQ(g_messages[0], u(L"did not find Java_com_ostrakit_runtime_installer_platform_win32_ACLHandling_addACE"));
    CHECK(vm().registrations.empty());
}

TEST_CASE(Registration, failingRegisterNativesIsReportedWithItsResult)
{
    reset();
    vm().failRegistrationOf(kPrefix + "FolderInfo", -7);
    const unsigned char result = registerNatives()(env(), library(), recordMessage);
    vm().failRegistrationOf(std::string(), 0);
    CHECK_EQ(result, 0);
    REQUIRE(g_messages.size() == 1);
    CHECK_EQ(g_messages[0], u(L"register com/ostrakit/runtime/installer/platform/win32/FolderInfo failed -7"));
    CHECK_EQ(vm().foundClasses.size(), size_t(3));
}

TEST_CASE(Registration, createIsExportedButNotRegistered)
{
    reset();
    CHECK(exportAddress("ShellLink", "create0", 36) != nullptr);
    CHECK_EQ(registerNatives()(env(), library(), recordMessage), 1);
    int shellLinkMethods = 0;
    for (const fakejvm::Registration& registration : vm().registrations) {
        if (registration.className == kPrefix + "ShellLink") {
            ++shellLinkMethods;
            CHECK(registration.name != "create0");
        }
    }
    CHECK_EQ(shellLinkMethods, 4);
}
