// Explicit registration for native launchers: every method of the 13 classes
// is looked up in this module by its export name and registered with one
// RegisterNatives call per class.
#include "jniutil.h"
#include "nativetable.h"

#include <string.h>

namespace {

typedef void(__cdecl* Callback)(const wchar_t* format, ...);

struct Method
{
    const char* className;
    const char* name;
    const char* signature;
    const char* exportName;
    const wchar_t* jniName;
    bool registered;
};

#define OSTRA_WIDEN2(text) L##text
#define OSTRA_WIDEN(text) OSTRA_WIDEN2(text)
#define OSTRA_JNI_NAME(cls, method) "Java_com_ostrakit_runtime_installer_platform_win32_" #cls "_" #method

#ifdef _WIN64
#define OSTRA_EXPORT_NAME(cls, method, bytes) OSTRA_JNI_NAME(cls, method)
#else
#define OSTRA_EXPORT_NAME(cls, method, bytes) "_" OSTRA_JNI_NAME(cls, method) "@" #bytes
#endif

#define OSTRA_METHOD_ROW(cls, method, signature, bytes, registered) \
    {#cls, #method, signature, OSTRA_EXPORT_NAME(cls, method, bytes), OSTRA_WIDEN(OSTRA_JNI_NAME(cls, method)), registered != 0},

const Method kMethods[] = {OSTRA_NATIVE_TABLE(OSTRA_METHOD_ROW)};
const int kMethodCount = sizeof(kMethods) / sizeof(kMethods[0]);

#define OSTRA_CLASS_ROW(cls) #cls,
const char* const kClasses[] = {OSTRA_CLASS_LIST(OSTRA_CLASS_ROW)};

bool registerClass(JNIEnv* env, HMODULE module, Callback callback, const char* className)
{
    char classPath[256];
    strcpy(classPath, OSTRA_CLASS_PREFIX);
    strcat(classPath, className);
    wchar_t widePath[256];
    MultiByteToWideChar(CP_ACP, 0, classPath, -1, widePath, 256);

    jclass cls = env->FindClass(classPath);
    if (!cls) {
        wchar_t message[320];
        wcscpy(message, L"could not load class ");
        wcscat(message, widePath);
        callback(message);
        return false;
    }

    // Room for every method of the library: no class can overrun it.
    JNINativeMethod methods[kMethodCount];
    jint count = 0;
    for (int i = 0; i < kMethodCount; ++i) {
        const Method& method = kMethods[i];
        if (!method.registered || strcmp(method.className, className) != 0)
            continue;
        void* function = reinterpret_cast<void*>(GetProcAddress(module, method.exportName));
        if (!function) {
            wchar_t message[320];
            wcscpy(message, L"did not find ");
            wcscat(message, method.jniName);
            callback(message);
            env->DeleteLocalRef(cls);
            return false;
        }
        methods[count].name = const_cast<char*>(method.name);
        methods[count].signature = const_cast<char*>(method.signature);
        methods[count].fnPtr = function;
        ++count;
    }

    const jint result = env->RegisterNatives(cls, methods, count);
    env->DeleteLocalRef(cls);
    if (result != 0) {
        wchar_t format[320];
        wcscpy(format, L"register ");
        wcscat(format, widePath);
        wcscat(format, L" failed %d");
        callback(format, static_cast<int>(result));
        return false;
    }
    return true;
}

} // namespace

// Registers every method of the 13 classes; stops at the first class that
// fails. A pending exception of a failed FindClass is left to the caller.
extern "C" unsigned char __cdecl registerNatives(JNIEnv* env, HMODULE module, Callback callback)
{
    for (size_t i = 0; i < sizeof(kClasses) / sizeof(kClasses[0]); ++i) {
        if (!registerClass(env, module, callback, kClasses[i]))
            return 0;
    }
    return 1;
}
