// The JNI conventions shared by every family of native methods: string,
// array, boxed-integer and handle conversions, and run-time lookups.
#pragma once

#include <windows.h>
#include <jni.h>

#define OSTRA_JNI(cls, method) Java_com_ostrakit_runtime_installer_platform_win32_##cls##_##method

namespace ostra {

// A NUL-terminated UTF-16 copy of a Java string, or NULL for a null
// reference. The caller frees it with freeWide on every path. With an
// exception pending (an earlier allocation failed) no JNI call is made and
// the result is NULL; so for newJavaString. A copy that fails leaves an
// OutOfMemoryError pending.
wchar_t* newWide(JNIEnv* env, jstring text);
void freeWide(wchar_t* text);

// A Java string of the text up to its first NUL, or of exactly `length` units.
jstring newJavaString(JNIEnv* env, const wchar_t* text);
jstring newJavaString(JNIEnv* env, const wchar_t* text, jsize length);

// Texts collected before the String[] is made. They are kept as native
// copies, so a listing of any length holds no local references until the
// array is filled, and then one at a time.
class StringList
{
public:
    StringList();
    ~StringList();
    bool add(const wchar_t* text); // false when text is null or memory ran out
    bool add(const wchar_t* text, size_t length);
    // A listing that could not be completed (memory ran out for it) must not
    // be returned as if it were whole.
    void markIncomplete() { m_incomplete = true; }
    bool incomplete() const { return m_incomplete; }
    int count() const { return m_count; }
    // A String[] in collection order, or null when the class, the array or
    // a string cannot be made, or the listing is incomplete (an
    // OutOfMemoryError stays pending).
    jobjectArray toArray(JNIEnv* env);

private:
    StringList(const StringList&);
    StringList& operator=(const StringList&);
    struct Item
    {
        wchar_t* text;
        size_t length;
    };
    Item* m_items;
    int m_count;
    int m_capacity;
    bool m_incomplete;
};

// Class and method lookups that return NULL without leaving the lookup's
// exception pending: callers report a failed lookup as a null result.
jclass findClass(JNIEnv* env, const char* name);
jmethodID findMethod(JNIEnv* env, jclass cls, const char* name, const char* signature);

// Leaves an OutOfMemoryError pending: a native allocation failed, and the
// call returns null rather than a partial result.
void throwOutOfMemory(JNIEnv* env);

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

// Runs `initialize` once per process. A caller that comes while another runs
// it waits until it is done; every caller then sees all it wrote.
void runOnce(INIT_ONCE* once, void (*initialize)());

// A function of a library the process has already loaded, or NULL.
FARPROC loadedFunction(const wchar_t* module, const char* name);

// Enables or disables one privilege of the process token. True only when
// the adjustment left no error (a privilege the account lacks fails).
bool switchPrivilege(const wchar_t* name, bool enable);

} // namespace ostra
