// The stand-in VM itself: every kind of misuse it exists to catch is caught,
// and correct use is not reported.
#include "harness.h"

#include <functional>

using namespace harness;

namespace {

const jchar kText[] = {'x'};

DWORD WINAPI lengthOnThisThread(void* parameter)
{
    JNIEnv* mainEnv = static_cast<JNIEnv*>(parameter);
    jstring text = vm().string(L"x");
    mainEnv->GetStringLength(text);
    return 0;
}

// Runs `use` as the body of a native call.
void inNativeCall(const std::function<void(JNIEnv*)>& use)
{
    vm().enterNative();
    use(env());
    vm().leaveNative(nullptr);
}

} // namespace

TEST_CASE(StandIn, reportsEveryKindOfMisuse)
{
    jstring kept = nullptr;
    const struct
    {
        const char* expected;
        std::function<void()> misuse;
    } cases[] = {
        {"deleted", [] { inNativeCall([](JNIEnv* e) {
             jstring text = e->NewString(kText, 1);
             e->DeleteLocalRef(text);
             e->GetStringLength(text);
         }); }},
        {"native call returned", [&] {
             inNativeCall([&](JNIEnv* e) { kept = e->NewString(kText, 1); });
             inNativeCall([&](JNIEnv* e) { e->GetStringLength(kept); });
         }},
        {"more than 16 local references", [] { inNativeCall([](JNIEnv* e) {
             for (int i = 0; i < 17; ++i)
                 e->NewString(kText, 1);
         }); }},
        {"JNIEnv of another thread", [] {
             HANDLE thread = CreateThread(NULL, 0, lengthOnThisThread, env(), 0, NULL);
             WaitForSingleObject(thread, 10000);
             CloseHandle(thread);
         }},
        {"exception pending", [] { inNativeCall([](JNIEnv* e) {
             vm().setMissingClass("java/lang/String");
             e->FindClass("java/lang/String");
             vm().clearMissingClasses();
             e->NewString(kText, 1);
             e->ExceptionClear();
         }); }},
        {"did not return", [] { inNativeCall([](JNIEnv* e) {
             jstring text = e->NewString(kText, 1);
             const jchar* chars = e->GetStringChars(text, nullptr);
             e->ReleaseStringChars(text, chars + 1);
             e->ReleaseStringChars(text, chars);
         }); }},
    };
    vm().takeMisuse();
    for (const auto& entry : cases) {
        entry.misuse();
        bool reported = false;
        for (const std::string& misuse : vm().takeMisuse())
            reported = reported || misuse.find(entry.expected) != std::string::npos;
        if (!reported)
            fail(__FILE__, __LINE__, std::string("not reported: ") + entry.expected);
    }

    inNativeCall([](JNIEnv* e) {
        e->EnsureLocalCapacity(41);
        for (int i = 0; i < 40; ++i)
            e->NewString(kText, 1);
        for (int i = 0; i < 100; ++i)
            e->DeleteLocalRef(e->NewString(kText, 1));
    });
    CHECK(vm().takeMisuse().empty());
}
