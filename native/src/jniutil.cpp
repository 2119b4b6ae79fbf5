#include "jniutil.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

namespace ostra {

wchar_t* newWide(JNIEnv* env, jstring text)
{
    if (!text || env->ExceptionCheck())
        return NULL;
    const jchar* chars = env->GetStringChars(text, NULL);
    if (!chars)
        return NULL;
    const jsize length = env->GetStringLength(text);
    wchar_t* copy = static_cast<wchar_t*>(malloc((static_cast<size_t>(length) + 1) * sizeof(wchar_t)));
    if (copy) {
        memcpy(copy, chars, static_cast<size_t>(length) * sizeof(wchar_t));
        copy[length] = 0;
    }
    env->ReleaseStringChars(text, chars);
    // Callers tell a failed copy from a null string by the pending error.
    if (!copy)
        throwOutOfMemory(env);
    return copy;
}

void freeWide(wchar_t* text)
{
    free(text);
}

jstring newJavaString(JNIEnv* env, const wchar_t* text)
{
    return newJavaString(env, text, static_cast<jsize>(wcslen(text)));
}

jstring newJavaString(JNIEnv* env, const wchar_t* text, jsize length)
{
    if (env->ExceptionCheck())
        return NULL;
    return env->NewString(reinterpret_cast<const jchar*>(text), length);
}

StringList::StringList()
    : m_items(NULL)
    , m_count(0)
    , m_capacity(0)
    , m_incomplete(false)
{
}

StringList::~StringList()
{
    for (int i = 0; i < m_count; ++i)
        free(m_items[i].text);
    free(m_items);
}

bool StringList::add(const wchar_t* text)
{
    return text && add(text, wcslen(text));
}

bool StringList::add(const wchar_t* text, size_t length)
{
    if (!text || length > 0x7FFFFFFF)
        return false;
    if (m_count == m_capacity) {
        const int capacity = m_capacity ? m_capacity * 2 : 16;
        Item* items = static_cast<Item*>(realloc(m_items, static_cast<size_t>(capacity) * sizeof(Item)));
        if (!items) {
            m_incomplete = true;
            return false;
        }
        m_items = items;
        m_capacity = capacity;
    }
    wchar_t* copy = static_cast<wchar_t*>(malloc((length + 1) * sizeof(wchar_t)));
    if (!copy) {
        m_incomplete = true;
        return false;
    }
    memcpy(copy, text, length * sizeof(wchar_t));
    copy[length] = 0;
    m_items[m_count].text = copy;
    m_items[m_count].length = length;
    ++m_count;
    return true;
}

jobjectArray StringList::toArray(JNIEnv* env)
{
    if (m_incomplete) {
        throwOutOfMemory(env);
        return NULL;
    }
    jclass stringClass = findClass(env, "java/lang/String");
    if (!stringClass)
        return NULL;
    jobjectArray array = env->NewObjectArray(m_count, stringClass, NULL);
    env->DeleteLocalRef(stringClass);
    for (int i = 0; array && i < m_count; ++i) {
        jstring text = newJavaString(env, m_items[i].text, static_cast<jsize>(m_items[i].length));
        if (!text) {
            env->DeleteLocalRef(array);
            array = NULL;
            break;
        }
        env->SetObjectArrayElement(array, i, text);
        env->DeleteLocalRef(text);
    }
    return array;
}

void throwOutOfMemory(JNIEnv* env)
{
    if (env->ExceptionCheck())
        return;
    jclass error = env->FindClass("java/lang/OutOfMemoryError");
    if (error) {
        env->ThrowNew(error, "native memory");
        env->DeleteLocalRef(error);
    }
}

jclass findClass(JNIEnv* env, const char* name)
{
    jclass cls = env->FindClass(name);
    if (!cls)
        env->ExceptionClear();
    return cls;
}

jmethodID findMethod(JNIEnv* env, jclass cls, const char* name, const char* signature)
{
    jmethodID method = env->GetMethodID(cls, name, signature);
    if (!method)
        env->ExceptionClear();
    return method;
}

jobject newInteger(JNIEnv* env, jint value)
{
    jclass integerClass = findClass(env, "java/lang/Integer");
    if (!integerClass)
        return NULL;
    jobject box = NULL;
    jmethodID constructor = findMethod(env, integerClass, "<init>", "(I)V");
    if (constructor)
        box = env->NewObject(integerClass, constructor, value);
    env->DeleteLocalRef(integerClass);
    return box;
}

bool integerValue(JNIEnv* env, jobject box, jint* value)
{
    jclass integerClass = findClass(env, "java/lang/Integer");
    if (!integerClass)
        return false;
    jmethodID intValue = findMethod(env, integerClass, "intValue", "()I");
    env->DeleteLocalRef(integerClass);
    if (!intValue)
        return false;
    *value = env->CallIntMethod(box, intValue);
    return !env->ExceptionCheck();
}

void formatText(wchar_t* buffer, size_t capacity, const wchar_t* format, ...)
{
    if (capacity == 0)
        return;
    va_list arguments;
    va_start(arguments, format);
    _vsnwprintf(buffer, capacity, format, arguments);
    va_end(arguments);
    buffer[capacity - 1] = 0;
}

namespace {
BOOL CALLBACK runInitializer(PINIT_ONCE, PVOID initialize, PVOID*)
{
    reinterpret_cast<void (*)()>(initialize)();
    return TRUE;
}
} // namespace

void runOnce(INIT_ONCE* once, void (*initialize)())
{
    InitOnceExecuteOnce(once, runInitializer, reinterpret_cast<PVOID>(initialize), NULL);
}

FARPROC loadedFunction(const wchar_t* module, const char* name)
{
    HMODULE handle = GetModuleHandleW(module);
    return handle ? GetProcAddress(handle, name) : NULL;
}

bool switchPrivilege(const wchar_t* name, bool enable)
{
    HANDLE token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token))
        return false;
    TOKEN_PRIVILEGES privileges;
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = enable ? SE_PRIVILEGE_ENABLED : 0;
    bool ok = false;
    if (LookupPrivilegeValueW(NULL, name, &privileges.Privileges[0].Luid)) {
        AdjustTokenPrivileges(token, FALSE, &privileges, 0, NULL, NULL);
        // ERROR_NOT_ALL_ASSIGNED: the account does not hold the privilege.
        ok = GetLastError() == ERROR_SUCCESS;
    }
    CloseHandle(token);
    return ok;
}

} // namespace ostra
