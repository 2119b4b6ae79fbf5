#include "jniutil.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

namespace ostra {

wchar_t* newWide(JNIEnv* env, jstring text)
{
    if (!text)
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
    return env->NewString(reinterpret_cast<const jchar*>(text), length);
}

StringList::StringList()
    : m_items(NULL)
    , m_count(0)
    , m_capacity(0)
{
}

StringList::~StringList()
{
    free(m_items);
}

bool StringList::add(jstring text)
{
    if (!text)
        return false;
    if (m_count == m_capacity) {
        const int capacity = m_capacity ? m_capacity * 2 : 16;
        jstring* items = static_cast<jstring*>(realloc(m_items, static_cast<size_t>(capacity) * sizeof(jstring)));
        if (!items)
            return false;
        m_items = items;
        m_capacity = capacity;
    }
    m_items[m_count++] = text;
    return true;
}

jobjectArray StringList::toArray(JNIEnv* env)
{
    jobjectArray array = NULL;
    jclass stringClass = env->FindClass("java/lang/String");
    if (stringClass) {
        array = env->NewObjectArray(m_count, stringClass, NULL);
        env->DeleteLocalRef(stringClass);
    }
    for (int i = 0; i < m_count; ++i) {
        if (array)
            env->SetObjectArrayElement(array, i, m_items[i]);
        env->DeleteLocalRef(m_items[i]);
    }
    m_count = 0;
    return array;
}

jobject newInteger(JNIEnv* env, jint value)
{
    jclass integerClass = env->FindClass("java/lang/Integer");
    if (!integerClass)
        return NULL;
    jobject box = NULL;
    jmethodID constructor = env->GetMethodID(integerClass, "<init>", "(I)V");
    if (constructor)
        box = env->NewObject(integerClass, constructor, value);
    env->DeleteLocalRef(integerClass);
    return box;
}

bool integerValue(JNIEnv* env, jobject box, jint* value)
{
    jclass integerClass = env->FindClass("java/lang/Integer");
    if (!integerClass)
        return false;
    jmethodID intValue = env->GetMethodID(integerClass, "intValue", "()I");
    env->DeleteLocalRef(integerClass);
    if (!intValue)
        return false;
    *value = env->CallIntMethod(box, intValue);
    return true;
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
