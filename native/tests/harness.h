// The test harness: a small test runner, the library under test bound by its
// export names, and helpers shared by the test files.
#pragma once

#include "fakejvm.h"

#include <stdio.h>
#include <functional>
#include <string>
#include <type_traits>
#include <vector>

namespace harness {

struct TestCase
{
    const char* suite;
    const char* name;
    void (*function)();
    bool slow;
};

std::vector<TestCase>& tests();

struct Registrar
{
    Registrar(const char* suite, const char* name, void (*function)(), bool slow)
    {
        tests().push_back({suite, name, function, slow});
    }
};

void fail(const char* file, int line, const std::string& message);
struct Abort
{
};

#define TEST_CASE_IMPL(suite, name, slow)                                                         \
    static void suite##_##name();                                                                 \
    static harness::Registrar registrar_##suite##_##name(#suite, #name, suite##_##name, slow);    \
    static void suite##_##name()
#define TEST_CASE(suite, name) TEST_CASE_IMPL(suite, name, false)
#define SLOW_TEST_CASE(suite, name) TEST_CASE_IMPL(suite, name, true)

#define CHECK(condition)                                          \
    do {                                                          \
        if (!(condition))                                         \
            harness::fail(__FILE__, __LINE__, "CHECK(" #condition ")"); \
    } while (0)
#define REQUIRE(condition)                                        \
    do {                                                          \
        if (!(condition)) {                                       \
            harness::fail(__FILE__, __LINE__, "REQUIRE(" #condition ")"); \
            throw harness::Abort();                               \
        }                                                         \
    } while (0)
#define CHECK_EQ(actual, expected)                                                                   \
    do {                                                                                             \
        const auto actualValue = (actual);                                                           \
        const auto expectedValue = (expected);                                                       \
        if (!(actualValue == expectedValue))                                                         \
            harness::fail(__FILE__, __LINE__,                                                        \
                          std::string("CHECK_EQ(" #actual ", " #expected "): ") + harness::show(actualValue) \
                              + " != " + harness::show(expectedValue));                              \
    } while (0)

std::string show(long long value);
std::string show(const std::u16string& value);
inline std::string show(const std::wstring& value) { return show(std::u16string(value.begin(), value.end())); }
std::string show(const std::string& value);
std::string show(const void* value);
inline std::string show(int value) { return show(static_cast<long long>(value)); }
inline std::string show(long value) { return show(static_cast<long long>(value)); }
inline std::string show(unsigned long value) { return show(static_cast<long long>(value)); }
inline std::string show(unsigned int value) { return show(static_cast<long long>(value)); }
inline std::string show(unsigned long long value) { return show(static_cast<long long>(value)); }
inline std::string show(unsigned char value) { return show(static_cast<long long>(value)); }
inline std::string show(bool value) { return value ? "true" : "false"; }

// The library under test.
HMODULE library();
void* exportAddress(const char* className, const char* method, int argumentBytes);
fakejvm::Vm& vm();

// A native method called as Java calls it: in a frame of local references
// of its own, which ends with the call except for the reference returned.
template <typename F>
struct Native
{
    F function;
    template <typename... Arguments>
    auto operator()(Arguments... arguments) const -> decltype(function(arguments...))
    {
        typedef decltype(function(arguments...)) Result;
        vm().enterNative();
        if constexpr (std::is_void<Result>::value) {
            function(arguments...);
            vm().leaveNative(nullptr);
        } else {
            Result result = function(arguments...);
            if constexpr (std::is_convertible<Result, jobject>::value)
                vm().leaveNative(result);
            else
                vm().leaveNative(nullptr);
            return result;
        }
    }
};

template <typename F>
Native<F> bind(const char* className, const char* method, int argumentBytes)
{
    return Native<F>{reinterpret_cast<F>(exportAddress(className, method, argumentBytes))};
}

JNIEnv* env();
// An exception the current test expects to be left pending (checked and cleared).
void expectPendingException();

std::u16string u(const wchar_t* text);
std::string exePath();
// A file beside the harness (where the helper programs and DLLs are built).
std::wstring besideHarness(const wchar_t* name);
// A helper program: beside the harness, or in OSTRA_HELPER_DIR when that is
// set (the runner points it at helpers that need no emulation).
std::wstring helperProgram(const wchar_t* name);
// What the process writes to standard output while `action` runs.
std::string capturedOutput(const std::function<void()>& action);
// A Java string's text as a wide string ("<null>" for null).
std::wstring text(jobject javaString);
// The texts of a Java String[] (empty for null).
std::vector<std::wstring> texts(jobject array);

// Replaces, while it lives, the library's import of a system function by
// another: the library's own code then calls the replacement.
class ImportPatch
{
public:
    ImportPatch(const char* function, void* replacement);
    ~ImportPatch();
    bool applied() const { return m_slot != nullptr; }

private:
    ImportPatch(const ImportPatch&) = delete;
    ImportPatch& operator=(const ImportPatch&) = delete;
    void** m_slot = nullptr;
    void* m_original = nullptr;
};

// The first top-level window of a process (0: of any process) with exactly
// this title, or NULL.
HWND findTopWindow(DWORD processId, const wchar_t* title, bool visibleOnly);
bool underWine();

} // namespace harness
