// registerNatives: classes, names, signatures and functions, and each way it
// can fail.
#include "harness.h"
#include "nativetable.h"

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

RegisterNativesFn registerNatives()
{
    RegisterNativesFn function = reinterpret_cast<RegisterNativesFn>(GetProcAddress(library(), "registerNatives"));
    REQUIRE(function != nullptr);
    return function;
}

void reset()
{
    g_messages.clear();
    vm().registrations.clear();
    vm().foundClasses.clear();
}

const std::string kPrefix = OSTRA_CLASS_PREFIX;

} // namespace

TEST_CASE(Registration, registersAllThirteenClasses)
{
    reset();
    CHECK_EQ(registerNatives()(env(), library(), recordMessage), 1);
    CHECK(g_messages.empty());
    CHECK_EQ(vm().registrations.size(), size_t(69));

    // Every entry of the table except ShellLink.create0, in table order, with
    // the address the module exports under the decorated name.
    struct Row { const char* cls; const char* method; const char* signature; int bytes; int registered; };
#define OSTRA_TEST_ROW(cls, method, signature, bytes, registered) {#cls, #method, signature, bytes, registered},
    const Row rows[] = {OSTRA_NATIVE_TABLE(OSTRA_TEST_ROW)};
    size_t index = 0;
    for (const Row& row : rows) {
        if (!row.registered) {
            for (const fakejvm::Registration& registration : vm().registrations)
                CHECK(!(registration.className == kPrefix + "ShellLink" && registration.name == row.method));
            continue;
        }
        REQUIRE(index < vm().registrations.size());
        const fakejvm::Registration& registration = vm().registrations[index++];
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
