// The JNI conventions shared by every family of native methods: string,
// array, boxed-integer and handle conversions, and run-time lookups.
#pragma once

#include <windows.h>
#include <jni.h>

#define OSTRA_JNI(cls, method) Java_com_ostrakit_runtime_installer_platform_win32_##cls##_##method

namespace ostra {

// A NUL-terminated UTF-16 copy of a Java string, or NULL for a null
// reference. The caller frees it with freeWide on every path.
wchar_t* newWide(JNIEnv* env, jstring text);
void freeWide(wchar_t* text);

// A Java string of the text up to its first NUL, or of exactly `length` units.
jstring newJavaString(JNIEnv* env, const wchar_t* text);
jstring newJavaString(JNIEnv* env, const wchar_t* text, jsize length);

// Java strings collected before the result array is made.
class StringList
{
public:
    StringList();
    ~StringList();
    bool add(jstring text); // false when text is null
    int count() const { return m_count; }
    // A String[] in collection order, or null when the class or the array
    // cannot be made. The local references are given up either way.
    jobjectArray toArray(JNIEnv* env);

private:
    StringList(const StringList&);
    StringList& operator=(const StringList&);
    jstring* m_items;
    int m_count;
    int m_capacity;
};

// Boxed java.lang.Integer.
jobject newInteger(JNIEnv* env, jint value);
bool integerValue(JNIEnv* env, jobject box, jint* value);

// Windows handles cross as Java longs: sign-extended on the way out, only
// the low 32 bits on the way in (so -1 is the invalid handle either way).
inline HANDLE handleFromJava(jlong value)
{
    return reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(static_cast<LONG>(static_cast<DWORD>(value))));
}
inline jlong handleToJava(HANDLE handle)
{
    return static_cast<jlong>(static_cast<LONG>(reinterpret_cast<LONG_PTR>(handle)));
}
inline bool isInvalidHandle(jlong value)
{
    return static_cast<DWORD>(value) == 0xFFFFFFFFu;
}

// printf-style formatting into a fixed buffer of `capacity` units: never
// writes past its end and always ends the text (cut short if need be).
// Wide strings are passed with %ls.
void formatText(wchar_t* buffer, size_t capacity, const wchar_t* format, ...);

// A function of a library the process has already loaded, or NULL.
FARPROC loadedFunction(const wchar_t* module, const char* name);

// Enables or disables one privilege of the process token. True only when
// the adjustment left no error (a privilege the account lacks fails).
bool switchPrivilege(const wchar_t* name, bool enable);

} // namespace ostra
