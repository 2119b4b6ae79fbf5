// A stand-in for the Java VM, as strict as a VM run with JNI checking: a
// JNIEnv per thread whose function table works on a small object model
// (strings, arrays, boxed integers, a few classes) and records misuse:
// - a JNIEnv used on a thread that is not its own;
// - a JNI call made with an exception pending;
// - a local reference used after DeleteLocalRef or after its native call
//   returned, or on another thread;
// - more live local references in one native call than it ensured
//   (16 unless it called EnsureLocalCapacity);
// - pinned characters or elements never released, or released with a
//   pointer that their Get did not return;
// - nulls where JNI forbids them.
// References are handles, not the objects themselves.
#pragma once

#include <windows.h>
#include <jni.h>

#include <map>
#include <string>
#include <vector>

namespace fakejvm {

enum Kind { ClassObject, StringObject, ByteArray, BooleanArray, IntArray, ObjectArray, PlainObject };

struct Object
{
    Kind kind;
    std::string className;       // the class of a plain object, or the name of a class object
    std::u16string text;         // StringObject
    std::vector<jbyte> bytes;    // ByteArray
    std::vector<jboolean> flags; // BooleanArray
    std::vector<jint> ints;      // IntArray
    std::vector<Object*> items;  // ObjectArray, or the constructor arguments of a plain object
    jint intValue = 0;           // java.lang.Integer
};

struct ThreadEnv;

// A reference as native code sees it. Local references belong to a thread
// and die with DeleteLocalRef or when their native call returns; references
// the test holds (owner null) live for the whole run.
struct Reference
{
    Object* target;
    ThreadEnv* owner;
    bool live;
};

struct Registration
{
    std::string className;
    std::string name;
    std::string signature;
    void* function;
};

class Vm
{
public:
    Vm();
    // The calling thread's environment (made on first use).
    JNIEnv* env();

    // Objects of the model, as references the test holds.
    jstring string(const std::u16string& text);
    jstring string(const wchar_t* text);
    jbyteArray bytes(const std::vector<jbyte>& data);
    // Gives a byte array's storage back for reuse (the array becomes empty).
    void recycle(jobject array);
    jbooleanArray booleans(const std::vector<jboolean>& data);
    jintArray ints(const std::vector<jint>& data);
    jobjectArray strings(const std::vector<std::u16string>& texts);
    jobject integer(jint value);
    jobject reference(Object* object);
    Object* newObject(Kind kind, const std::string& className = std::string());

    static Object* object(jobject reference);
    static std::u16string text(jobject reference);
    static std::u16string text(const Object* object);

    // A native method's call, on the calling thread: local references made
    // meanwhile die when it ends, except the one it returns.
    void enterNative();
    void leaveNative(jobject result);

    // Switches.
    void setMissingClass(const std::string& name);
    void clearMissingClasses();
    void failRegistrationOf(const std::string& className, jint result);
    // After this many more allocations (strings, arrays, objects, copies of
    // characters or elements) every allocation fails with an
    // OutOfMemoryError pending, as a VM whose heap is full; -1: never.
    void failAllocationsAfter(int count);

    // Bookkeeping (of the calling thread where it says so).
    bool exceptionPending();  // calling thread
    void clearException();    // calling thread
    std::vector<std::string> takeMisuse();
    int unreleasedPins();
    void resetPins();
    int newByteArrayCalls = 0;
    int fromReflectedMethodCalls = 0;
    int callLongMethodCalls = 0;
    std::vector<std::string> foundClasses;
    std::vector<std::string> thrownClasses; // by ThrowNew
    std::vector<Registration> registrations;

    // Internal, used by the function table.
    ThreadEnv* self(JNIEnv* env, const char* function);
    Object* resolve(ThreadEnv* thread, jobject reference, const char* function);
    jobject local(ThreadEnv* thread, Object* object);
    void deleteLocal(ThreadEnv* thread, jobject reference);
    void ensureCapacity(ThreadEnv* thread, jint capacity);
    void misuse(const std::string& what);
    bool checkNoException(ThreadEnv* thread, const char* function);
    void throwNew(ThreadEnv* thread);
    jclass findClass(ThreadEnv* thread, const char* name);
    jbyteArray newBytes(ThreadEnv* thread, size_t length);
    bool allocate(ThreadEnv* thread);
    void pin(const void* elements, Object* object);
    bool unpin(const void* elements, Object* object, bool release, const char* function);
    const std::string& registerFailure() const { return m_registerFailure; }
    jint registerResult() const { return m_registerResult; }
    void lock() { EnterCriticalSection(&m_lock); }
    void unlock() { LeaveCriticalSection(&m_lock); }

private:
    Reference* newReference(Object* object, ThreadEnv* owner);

    CRITICAL_SECTION m_lock;
    JNINativeInterface_ m_functions;
    std::map<DWORD, ThreadEnv*> m_threads;
    std::map<std::string, Object*> m_classes;
    std::map<const void*, Object*> m_pins;
    std::multimap<size_t, std::vector<jbyte>> m_spareArrays;
    std::vector<std::string> m_missingClasses;
    std::vector<std::string> m_misuse;
    std::string m_registerFailure;
    jint m_registerResult = 0;
    int m_allocationsLeft = -1;
};

// The VM of the current test run; the function table reaches it through here.
Vm& current();

} // namespace fakejvm
