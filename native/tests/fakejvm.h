// A stand-in for the Java VM: a JNIEnv whose function table works on a small
// object model (strings, arrays, boxed integers, a few classes) and records
// misuse: pinned characters or elements never released, JNI calls made with
// an exception pending, nulls where JNI forbids them.
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
    int pins = 0;                // characters or elements handed out and not yet released
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
    JNIEnv* env() { return &m_env; }

    // Objects of the model.
    jstring string(const std::u16string& text);
    jstring string(const wchar_t* text);
    jbyteArray bytes(const std::vector<jbyte>& data);
    jbyteArray newBytes(size_t length);
    // Gives a byte array's storage back for reuse (the array becomes empty).
    void recycle(jobject array);
    jbooleanArray booleans(const std::vector<jboolean>& data);
    jintArray ints(const std::vector<jint>& data);
    jobjectArray strings(const std::vector<std::u16string>& texts);
    jobject integer(jint value);
    jclass findClass(const char* name);

    static Object* object(jobject reference) { return reinterpret_cast<Object*>(reference); }
    static std::u16string text(jobject reference);

    // Switches.
    void setMissingClass(const std::string& name) { m_missingClasses.push_back(name); }
    void clearMissingClasses() { m_missingClasses.clear(); }
    void failRegistrationOf(const std::string& className, jint result)
    {
        m_registerFailure = className;
        m_registerResult = result;
    }

    // Bookkeeping.
    bool exceptionPending() const { return m_exceptionPending; }
    void clearException() { m_exceptionPending = false; }
    std::vector<std::string> takeMisuse();
    int unreleasedPins() const;
    void resetPins();
    int newByteArrayCalls = 0;
    int fromReflectedMethodCalls = 0;
    int callLongMethodCalls = 0;
    std::vector<std::string> foundClasses;
    std::vector<Registration> registrations;

    // Internal, used by the function table.
    void misuse(const std::string& what) { m_misuse.push_back(what); }
    bool checkNoException(const char* function);
    Object* newObject(Kind kind, const std::string& className = std::string());
    bool isMissing(const std::string& name) const;
    void throwNew() { m_exceptionPending = true; }
    const std::string& registerFailure() const { return m_registerFailure; }
    jint registerResult() const { return m_registerResult; }

private:
    JNINativeInterface_ m_functions;
    JNIEnv m_env;
    std::vector<Object*> m_objects;
    std::map<std::string, Object*> m_classes;
    std::multimap<size_t, std::vector<jbyte>> m_spareArrays;
    std::vector<std::string> m_missingClasses;
    std::vector<std::string> m_misuse;
    bool m_exceptionPending = false;
    std::string m_registerFailure;
    jint m_registerResult = 0;
};

// The VM of the current test run; the function table reaches it through here.
Vm& current();

} // namespace fakejvm
