#include "fakejvm.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>

namespace fakejvm {

namespace {

Vm* g_vm = nullptr;

struct MethodDesc
{
    const char* className;
    const char* name;
    const char* signature;
};

const MethodDesc kMethods[] = {
    {"java/lang/Integer", "<init>", "(I)V"},
    {"java/lang/Integer", "intValue", "()I"},
    {"com/ostrakit/api/windows/WinRegistry$ExpandString", "<init>", "(Ljava/lang/String;)V"},
    {"com/ostrakit/runtime/installer/platform/win32/ObjectPicker$Result", "<init>",
     "(Ljava/lang/String;Ljava/lang/String;Ljava/lang/String;Ljava/lang/String;Ljava/lang/String;)V"},
};
const MethodDesc kReflected = {"java/lang/reflect/Method", "(reflected)", "()J"};

const char* const kKnownClasses[] = {
    "java/lang/String",
    "java/lang/Integer",
    "java/lang/reflect/Method",
    "java/lang/OutOfMemoryError",
    "com/ostrakit/api/windows/WinRegistry$ExpandString",
    "com/ostrakit/runtime/installer/platform/win32/ObjectPicker$Result",
    "com/ostrakit/runtime/installer/platform/win32/ACLHandling",
    "com/ostrakit/runtime/installer/platform/win32/FileVersion",
    "com/ostrakit/runtime/installer/platform/win32/FolderInfo",
    "com/ostrakit/runtime/installer/platform/win32/Misc",
    "com/ostrakit/runtime/installer/platform/win32/ObjectPicker",
    "com/ostrakit/runtime/installer/platform/win32/Registry",
    "com/ostrakit/runtime/installer/platform/win32/ShellLink",
    "com/ostrakit/runtime/installer/platform/win32/VistaFileChooser",
    "com/ostrakit/runtime/installer/platform/win32/VistaTaskDialog",
    "com/ostrakit/runtime/installer/platform/win32/Win32CommunicationBackend",
    "com/ostrakit/runtime/installer/platform/win32/Win32Services",
    "com/ostrakit/runtime/installer/platform/win32/Win32UserInfo",
    "com/ostrakit/runtime/installer/platform/win32/WinGuiHelper",
};


const int kGuaranteedLocals = 16;

} // namespace

struct Frame
{
    std::vector<Reference*> references;
    int live = 0;
    int capacity = kGuaranteedLocals;
    bool reported = false;
};

struct ThreadEnv
{
    JNIEnv env; // first: a JNIEnv* is a ThreadEnv*
    DWORD thread;
    bool exceptionPending = false;
    std::vector<Frame> frames;
};

namespace {

ThreadEnv* self(JNIEnv* env, const char* function) { return g_vm->self(env, function); }

// The object a reference stands for; misuse is recorded by the VM.
Object* obj(ThreadEnv* thread, jobject reference, const char* function)
{
    return g_vm->resolve(thread, reference, function);
}

bool expect(Object* object, Kind kind, const char* function)
{
    if (!object) {
        g_vm->misuse(std::string(function) + " with a null reference");
        return false;
    }
    if (object->kind != kind) {
        g_vm->misuse(std::string(function) + " on an object of the wrong kind");
        return false;
    }
    return true;
}

// The object a reference argument stands for, of the expected kind.
Object* argument(ThreadEnv* thread, jobject reference, Kind kind, const char* function)
{
    Object* object = obj(thread, reference, function);
    return expect(object, kind, function) ? object : nullptr;
}

void JNICALL unexpected()
{
    fprintf(stderr, "fake JVM: a JNI function that the stand-in does not provide was called\n");
    fflush(stderr);
    ExitProcess(99);
}

jclass JNICALL FindClass(JNIEnv* env, const char* name)
{
    ThreadEnv* t = self(env, "FindClass");
    if (!g_vm->checkNoException(t, "FindClass"))
        return nullptr;
    if (!name) {
        g_vm->misuse("FindClass(null)");
        return nullptr;
    }
    g_vm->lock();
    g_vm->foundClasses.push_back(name);
    g_vm->unlock();
    return g_vm->findClass(t, name);
}

jboolean JNICALL ExceptionCheck(JNIEnv* env) { return self(env, "ExceptionCheck")->exceptionPending ? JNI_TRUE : JNI_FALSE; }
void JNICALL ExceptionClear(JNIEnv* env) { self(env, "ExceptionClear")->exceptionPending = false; }
jthrowable JNICALL ExceptionOccurred(JNIEnv* env)
{
    ThreadEnv* t = self(env, "ExceptionOccurred");
    return t->exceptionPending
        ? reinterpret_cast<jthrowable>(g_vm->local(t, g_vm->newObject(PlainObject, "java/lang/Throwable")))
        : nullptr;
}
jint JNICALL ThrowNew(JNIEnv* env, jclass cls, const char*)
{
    ThreadEnv* t = self(env, "ThrowNew");
    if (!g_vm->checkNoException(t, "ThrowNew"))
        return -1;
    Object* target = argument(t, cls, ClassObject, "ThrowNew");
    if (!target)
        return -1;
    g_vm->throwNew(t);
    g_vm->lock();
    g_vm->thrownClasses.push_back(target->className);
    g_vm->unlock();
    return 0;
}
void JNICALL DeleteLocalRef(JNIEnv* env, jobject reference) { g_vm->deleteLocal(self(env, "DeleteLocalRef"), reference); }
jint JNICALL EnsureLocalCapacity(JNIEnv* env, jint capacity)
{
    ThreadEnv* t = self(env, "EnsureLocalCapacity");
    if (!g_vm->checkNoException(t, "EnsureLocalCapacity"))
        return -1;
    g_vm->ensureCapacity(t, capacity);
    return 0;
}

jint JNICALL RegisterNatives(JNIEnv* env, jclass cls, const JNINativeMethod* methods, jint count)
{
    ThreadEnv* t = self(env, "RegisterNatives");
    if (!g_vm->checkNoException(t, "RegisterNatives"))
        return -1;
    Object* target = argument(t, cls, ClassObject, "RegisterNatives");
    if (!target)
        return -1;
    const std::string& className = target->className;
    if (className == g_vm->registerFailure())
        return g_vm->registerResult();
    g_vm->lock();
    for (jint i = 0; i < count; ++i) {
        if (!methods[i].name || !methods[i].signature || !methods[i].fnPtr)
            g_vm->misuse("RegisterNatives with an incomplete entry");
        g_vm->registrations.push_back({className, methods[i].name ? methods[i].name : "",
                                       methods[i].signature ? methods[i].signature : "", methods[i].fnPtr});
    }
    g_vm->unlock();
    return 0;
}

jmethodID JNICALL GetMethodID(JNIEnv* env, jclass cls, const char* name, const char* signature)
{
    ThreadEnv* t = self(env, "GetMethodID");
    if (!g_vm->checkNoException(t, "GetMethodID"))
        return nullptr;
    Object* target = argument(t, cls, ClassObject, "GetMethodID");
    if (!target)
        return nullptr;
    for (const MethodDesc& method : kMethods) {
        if (target->className == method.className && strcmp(name, method.name) == 0
            && strcmp(signature, method.signature) == 0)
            return reinterpret_cast<jmethodID>(const_cast<MethodDesc*>(&method));
    }
    g_vm->throwNew(t); // NoSuchMethodError
    return nullptr;
}

jobject JNICALL NewObjectV(JNIEnv* env, jclass cls, jmethodID id, va_list args)
{
    ThreadEnv* t = self(env, "NewObject");
    if (!g_vm->checkNoException(t, "NewObject"))
        return nullptr;
    Object* target = argument(t, cls, ClassObject, "NewObject");
    if (!target || !id)
        return nullptr;
    const MethodDesc* method = reinterpret_cast<const MethodDesc*>(id);
    if (strcmp(method->name, "<init>") != 0 || target->className != method->className) {
        g_vm->misuse("NewObject with a method that is not a constructor of the class");
        return nullptr;
    }
    if (!g_vm->allocate(t))
        return nullptr;
    Object* created = g_vm->newObject(PlainObject, method->className);
    if (strcmp(method->signature, "(I)V") == 0) {
        created->intValue = va_arg(args, jint);
    } else {
        const int count = method->signature[1] == 'I' ? 0 : (strstr(method->signature, ";L") ? 5 : 1);
        for (int i = 0; i < count; ++i)
            created->items.push_back(obj(t, va_arg(args, jobject), "NewObject"));
    }
    return g_vm->local(t, created);
}

jint JNICALL CallIntMethodV(JNIEnv* env, jobject target, jmethodID id, va_list)
{
    ThreadEnv* t = self(env, "CallIntMethod");
    if (!g_vm->checkNoException(t, "CallIntMethod"))
        return 0;
    Object* object = argument(t, target, PlainObject, "CallIntMethod");
    if (!object || !id)
        return 0;
    const MethodDesc* method = reinterpret_cast<const MethodDesc*>(id);
    if (object->className != method->className) {
        g_vm->misuse("CallIntMethod on an object of another class");
        return 0;
    }
    return object->intValue;
}

jmethodID JNICALL FromReflectedMethod(JNIEnv* env, jobject method)
{
    ThreadEnv* t = self(env, "FromReflectedMethod");
    if (!g_vm->checkNoException(t, "FromReflectedMethod") || !argument(t, method, PlainObject, "FromReflectedMethod"))
        return nullptr;
    g_vm->lock();
    ++g_vm->fromReflectedMethodCalls;
    g_vm->unlock();
    return reinterpret_cast<jmethodID>(const_cast<MethodDesc*>(&kReflected));
}

jlong JNICALL CallLongMethodV(JNIEnv* env, jobject target, jmethodID id, va_list)
{
    ThreadEnv* t = self(env, "CallLongMethod");
    if (!g_vm->checkNoException(t, "CallLongMethod"))
        return 0;
    Object* object = argument(t, target, PlainObject, "CallLongMethod");
    if (!object)
        return 0;
    g_vm->lock();
    ++g_vm->callLongMethodCalls;
    g_vm->unlock();
    if (id != reinterpret_cast<jmethodID>(const_cast<MethodDesc*>(&kReflected))) {
        g_vm->misuse("CallLongMethod with an unknown method");
        return 0;
    }
    return static_cast<jlong>(object->intValue) * 16;
}

jstring JNICALL NewString(JNIEnv* env, const jchar* chars, jsize length)
{
    ThreadEnv* t = self(env, "NewString");
    if (!g_vm->checkNoException(t, "NewString"))
        return nullptr;
    if (length < 0 || (!chars && length > 0)) {
        g_vm->misuse("NewString with a null buffer or a negative length");
        return nullptr;
    }
    if (!g_vm->allocate(t))
        return nullptr;
    Object* object = g_vm->newObject(StringObject, "java/lang/String");
    object->text.assign(reinterpret_cast<const char16_t*>(chars), static_cast<size_t>(length));
    return reinterpret_cast<jstring>(g_vm->local(t, object));
}

jsize JNICALL GetStringLength(JNIEnv* env, jstring text)
{
    ThreadEnv* t = self(env, "GetStringLength");
    if (!g_vm->checkNoException(t, "GetStringLength"))
        return 0;
    Object* string = argument(t, text, StringObject, "GetStringLength");
    return string ? static_cast<jsize>(string->text.size()) : 0;
}

// The characters are handed out as a copy without a terminating NUL, as a VM
// may do: code that relies on one reads garbage.
const jchar* JNICALL GetStringChars(JNIEnv* env, jstring text, jboolean* isCopy)
{
    ThreadEnv* t = self(env, "GetStringChars");
    if (!g_vm->checkNoException(t, "GetStringChars"))
        return nullptr;
    Object* string = argument(t, text, StringObject, "GetStringChars");
    if (!string || !g_vm->allocate(t))
        return nullptr;
    const size_t count = string->text.size();
    jchar* copy = static_cast<jchar*>(malloc((count + 1) * sizeof(jchar)));
    memcpy(copy, string->text.data(), count * sizeof(jchar));
    copy[count] = 0xFFFF;
    g_vm->pin(copy, string);
    if (isCopy)
        *isCopy = JNI_TRUE;
    return copy;
}

void JNICALL ReleaseStringChars(JNIEnv* env, jstring text, const jchar* chars)
{
    ThreadEnv* t = self(env, "ReleaseStringChars");
    Object* string = argument(t, text, StringObject, "ReleaseStringChars");
    if (string && g_vm->unpin(chars, string, true, "ReleaseStringChars"))
        free(const_cast<jchar*>(chars));
}

jsize JNICALL GetArrayLength(JNIEnv* env, jarray array)
{
    ThreadEnv* t = self(env, "GetArrayLength");
    if (!g_vm->checkNoException(t, "GetArrayLength"))
        return 0;
    Object* object = obj(t, array, "GetArrayLength");
    if (!object) {
        g_vm->misuse("GetArrayLength(null)");
        return 0;
    }
    switch (object->kind) {
    case ByteArray: return static_cast<jsize>(object->bytes.size());
    case BooleanArray: return static_cast<jsize>(object->flags.size());
    case IntArray: return static_cast<jsize>(object->ints.size());
    case ObjectArray: return static_cast<jsize>(object->items.size());
    default: g_vm->misuse("GetArrayLength on a non-array"); return 0;
    }
}

jobjectArray JNICALL NewObjectArray(JNIEnv* env, jsize length, jclass cls, jobject init)
{
    ThreadEnv* t = self(env, "NewObjectArray");
    if (!g_vm->checkNoException(t, "NewObjectArray"))
        return nullptr;
    Object* elementClass = argument(t, cls, ClassObject, "NewObjectArray");
    if (!elementClass || length < 0 || !g_vm->allocate(t))
        return nullptr;
    Object* array = g_vm->newObject(ObjectArray, elementClass->className);
    array->items.assign(static_cast<size_t>(length), obj(t, init, "NewObjectArray"));
    return reinterpret_cast<jobjectArray>(g_vm->local(t, array));
}

jobject JNICALL GetObjectArrayElement(JNIEnv* env, jobjectArray array, jsize index)
{
    ThreadEnv* t = self(env, "GetObjectArrayElement");
    if (!g_vm->checkNoException(t, "GetObjectArrayElement"))
        return nullptr;
    Object* object = argument(t, array, ObjectArray, "GetObjectArrayElement");
    if (!object)
        return nullptr;
    if (index < 0 || static_cast<size_t>(index) >= object->items.size()) {
        g_vm->misuse("GetObjectArrayElement out of bounds");
        return nullptr;
    }
    return g_vm->local(t, object->items[static_cast<size_t>(index)]);
}

void JNICALL SetObjectArrayElement(JNIEnv* env, jobjectArray array, jsize index, jobject value)
{
    ThreadEnv* t = self(env, "SetObjectArrayElement");
    if (!g_vm->checkNoException(t, "SetObjectArrayElement"))
        return;
    Object* object = argument(t, array, ObjectArray, "SetObjectArrayElement");
    if (!object)
        return;
    if (index < 0 || static_cast<size_t>(index) >= object->items.size()) {
        g_vm->misuse("SetObjectArrayElement out of bounds");
        return;
    }
    object->items[static_cast<size_t>(index)] = obj(t, value, "SetObjectArrayElement");
}

jbyteArray JNICALL NewByteArray(JNIEnv* env, jsize length)
{
    ThreadEnv* t = self(env, "NewByteArray");
    if (!g_vm->checkNoException(t, "NewByteArray"))
        return nullptr;
    g_vm->lock();
    g_vm->newByteArrayCalls++;
    g_vm->unlock();
    if (length < 0) {
        g_vm->throwNew(t); // NegativeArraySizeException
        return nullptr;
    }
    if (!g_vm->allocate(t))
        return nullptr;
    return g_vm->newBytes(t, static_cast<size_t>(length));
}

// Element copies are recycled, as a VM hands them out from its own heap:
// fresh multi-megabyte allocations for every call (slow under Wine) would
// otherwise dominate any timing of the library.
std::multimap<size_t, void*>& spareBuffers()
{
    static std::multimap<size_t, void*> spare;
    return spare;
}
std::map<void*, size_t>& bufferSizes()
{
    static std::map<void*, size_t> sizes;
    return sizes;
}

void* takeBuffer(size_t size)
{
    g_vm->lock();
    void* buffer = nullptr;
    auto it = spareBuffers().find(size);
    if (it != spareBuffers().end()) {
        buffer = it->second;
        spareBuffers().erase(it);
    } else {
        buffer = malloc(size);
        bufferSizes()[buffer] = size;
    }
    g_vm->unlock();
    return buffer;
}

void giveBuffer(void* buffer)
{
    g_vm->lock();
    spareBuffers().insert({bufferSizes()[buffer], buffer});
    g_vm->unlock();
}

template <typename T>
T* pin(std::vector<T>& data, Object* object, jboolean* isCopy)
{
    T* copy = static_cast<T*>(takeBuffer(data.size() * sizeof(T) + 1));
    if (!data.empty())
        memcpy(copy, data.data(), data.size() * sizeof(T));
    g_vm->pin(copy, object);
    if (isCopy)
        *isCopy = JNI_TRUE;
    return copy;
}

template <typename T>
void unpin(std::vector<T>& data, Object* object, T* elements, jint mode, const char* function)
{
    if (!g_vm->unpin(elements, object, mode != JNI_COMMIT, function))
        return;
    if (mode != JNI_ABORT && !data.empty())
        memcpy(data.data(), elements, data.size() * sizeof(T));
    if (mode != JNI_COMMIT)
        giveBuffer(elements);
}

#define OSTRA_PRIMITIVE_ARRAY(Type, jtype, jarrayType, Kind, field)                                             \
    jtype* JNICALL Get##Type##ArrayElements(JNIEnv* env, jarrayType array, jboolean* isCopy)                  \
    {                                                                                                          \
        ThreadEnv* t = self(env, "Get" #Type "ArrayElements");                                                 \
        if (!g_vm->checkNoException(t, "Get" #Type "ArrayElements"))                                          \
            return nullptr;                                                                                    \
        Object* object = argument(t, array, Kind, "Get" #Type "ArrayElements");                               \
        return object && g_vm->allocate(t) ? pin(object->field, object, isCopy) : nullptr;                                          \
    }                                                                                                          \
    void JNICALL Release##Type##ArrayElements(JNIEnv* env, jarrayType array, jtype* elements, jint mode)      \
    {                                                                                                          \
        ThreadEnv* t = self(env, "Release" #Type "ArrayElements");                                             \
        if (Object* object = argument(t, array, Kind, "Release" #Type "ArrayElements"))                       \
            unpin(object->field, object, elements, mode, "Release" #Type "ArrayElements");                     \
    }

OSTRA_PRIMITIVE_ARRAY(Byte, jbyte, jbyteArray, ByteArray, bytes)
OSTRA_PRIMITIVE_ARRAY(Boolean, jboolean, jbooleanArray, BooleanArray, flags)
OSTRA_PRIMITIVE_ARRAY(Int, jint, jintArray, IntArray, ints)

void JNICALL GetByteArrayRegion(JNIEnv* env, jbyteArray array, jsize start, jsize length, jbyte* buffer)
{
    ThreadEnv* t = self(env, "GetByteArrayRegion");
    if (!g_vm->checkNoException(t, "GetByteArrayRegion"))
        return;
    Object* object = argument(t, array, ByteArray, "GetByteArrayRegion");
    if (!object)
        return;
    std::vector<jbyte>& data = object->bytes;
    if (start < 0 || length < 0 || static_cast<size_t>(start) + static_cast<size_t>(length) > data.size()) {
        g_vm->throwNew(t); // ArrayIndexOutOfBoundsException
        return;
    }
    if (length)
        memcpy(buffer, data.data() + start, static_cast<size_t>(length));
}

void JNICALL SetByteArrayRegion(JNIEnv* env, jbyteArray array, jsize start, jsize length, const jbyte* buffer)
{
    ThreadEnv* t = self(env, "SetByteArrayRegion");
    if (!g_vm->checkNoException(t, "SetByteArrayRegion"))
        return;
    Object* object = argument(t, array, ByteArray, "SetByteArrayRegion");
    if (!object)
        return;
    std::vector<jbyte>& data = object->bytes;
    if (start < 0 || length < 0 || static_cast<size_t>(start) + static_cast<size_t>(length) > data.size()) {
        g_vm->throwNew(t);
        return;
    }
    if (length)
        memcpy(data.data() + start, buffer, static_cast<size_t>(length));
}

} // namespace

Vm& current() { return *g_vm; }

Vm::Vm()
{
    g_vm = this;
    InitializeCriticalSection(&m_lock);
    void** slots = reinterpret_cast<void**>(&m_functions);
    for (size_t i = 0; i < sizeof(m_functions) / sizeof(void*); ++i)
        slots[i] = reinterpret_cast<void*>(&unexpected);
    m_functions.FindClass = FindClass;
    m_functions.ExceptionCheck = ExceptionCheck;
    m_functions.ExceptionClear = ExceptionClear;
    m_functions.ExceptionOccurred = ExceptionOccurred;
    m_functions.DeleteLocalRef = DeleteLocalRef;
    m_functions.ThrowNew = ThrowNew;
    m_functions.EnsureLocalCapacity = EnsureLocalCapacity;
    m_functions.RegisterNatives = RegisterNatives;
    m_functions.GetMethodID = GetMethodID;
    m_functions.NewObjectV = NewObjectV;
    m_functions.CallIntMethodV = CallIntMethodV;
    m_functions.CallLongMethodV = CallLongMethodV;
    m_functions.FromReflectedMethod = FromReflectedMethod;
    m_functions.NewString = NewString;
    m_functions.GetStringLength = GetStringLength;
    m_functions.GetStringChars = GetStringChars;
    m_functions.ReleaseStringChars = ReleaseStringChars;
    m_functions.GetArrayLength = GetArrayLength;
    m_functions.NewObjectArray = NewObjectArray;
    m_functions.GetObjectArrayElement = GetObjectArrayElement;
    m_functions.SetObjectArrayElement = SetObjectArrayElement;
    m_functions.NewByteArray = NewByteArray;
    m_functions.GetByteArrayElements = GetByteArrayElements;
    m_functions.ReleaseByteArrayElements =
        ReleaseByteArrayElements;
    m_functions.GetBooleanArrayElements =
        GetBooleanArrayElements;
    m_functions.ReleaseBooleanArrayElements =
        ReleaseBooleanArrayElements;
    m_functions.GetIntArrayElements = GetIntArrayElements;
    m_functions.ReleaseIntArrayElements =
        ReleaseIntArrayElements;
    m_functions.GetByteArrayRegion = GetByteArrayRegion;
    m_functions.SetByteArrayRegion = SetByteArrayRegion;
    for (const char* name : kKnownClasses)
        m_classes[name] = newObject(ClassObject, name);
}

JNIEnv* Vm::env()
{
    const DWORD id = GetCurrentThreadId();
    lock();
    ThreadEnv*& thread = m_threads[id];
    if (!thread) {
        thread = new ThreadEnv;
        thread->env.functions = &m_functions;
        thread->thread = id;
    }
    unlock();
    return &thread->env;
}

ThreadEnv* Vm::self(JNIEnv* env, const char* function)
{
    ThreadEnv* thread = reinterpret_cast<ThreadEnv*>(env);
    if (thread->thread != GetCurrentThreadId()) {
        misuse(std::string(function) + " with the JNIEnv of another thread");
        return reinterpret_cast<ThreadEnv*>(this->env());
    }
    return thread;
}

Object* Vm::newObject(Kind kind, const std::string& className)
{
    Object* object = new Object;
    object->kind = kind;
    object->className = className;
    return object;
}

Reference* Vm::newReference(Object* object, ThreadEnv* owner)
{
    Reference* reference = new Reference{object, owner, true};
    if (owner && !owner->frames.empty()) {
        Frame& frame = owner->frames.back();
        frame.references.push_back(reference);
        if (++frame.live > frame.capacity && !frame.reported) {
            frame.reported = true;
            misuse("more than " + std::to_string(frame.capacity)
                   + " local references live in one native call (EnsureLocalCapacity was not called for them)");
        }
    } else {
        reference->owner = nullptr; // made outside any native call: the test holds it
    }
    return reference;
}

jobject Vm::local(ThreadEnv* thread, Object* object)
{
    return object ? reinterpret_cast<jobject>(newReference(object, thread)) : nullptr;
}

jobject Vm::reference(Object* object)
{
    return object ? reinterpret_cast<jobject>(newReference(object, nullptr)) : nullptr;
}

Object* Vm::resolve(ThreadEnv* thread, jobject reference, const char* function)
{
    Reference* handle = reinterpret_cast<Reference*>(reference);
    if (!handle)
        return nullptr;
    if (!handle->live) {
        misuse(std::string(function) + " with a local reference that was deleted or whose native call returned");
        return nullptr;
    }
    if (handle->owner && handle->owner != thread) {
        misuse(std::string(function) + " with a local reference of another thread");
        return nullptr;
    }
    return handle->target;
}

void Vm::deleteLocal(ThreadEnv* thread, jobject reference)
{
    Reference* handle = reinterpret_cast<Reference*>(reference);
    if (!handle)
        return;
    if (!handle->live) {
        misuse("DeleteLocalRef of a reference already deleted");
        return;
    }
    if (!handle->owner)
        return; // an argument: the caller keeps its own reference
    if (handle->owner != thread) {
        misuse("DeleteLocalRef of a local reference of another thread");
        return;
    }
    handle->live = false;
    for (Frame& frame : thread->frames) {
        for (Reference* member : frame.references) {
            if (member == handle) {
                --frame.live;
                return;
            }
        }
    }
}

void Vm::ensureCapacity(ThreadEnv* thread, jint capacity)
{
    if (!thread->frames.empty()) {
        Frame& frame = thread->frames.back();
        frame.capacity = std::max(frame.capacity, frame.live + static_cast<int>(capacity));
    }
}

void Vm::enterNative()
{
    reinterpret_cast<ThreadEnv*>(env())->frames.push_back(Frame());
}

void Vm::leaveNative(jobject result)
{
    ThreadEnv* thread = reinterpret_cast<ThreadEnv*>(env());
    if (thread->frames.empty())
        return;
    Reference* kept = reinterpret_cast<Reference*>(result);
    for (Reference* reference : thread->frames.back().references) {
        if (reference == kept && reference->live)
            reference->owner = nullptr; // the caller's now
        else
            reference->live = false;
    }
    thread->frames.pop_back();
}

Object* Vm::object(jobject reference)
{
    Reference* handle = reinterpret_cast<Reference*>(reference);
    return handle ? handle->target : nullptr;
}

void Vm::misuse(const std::string& what)
{
    lock();
    m_misuse.push_back(what);
    unlock();
}

void Vm::setMissingClass(const std::string& name)
{
    lock();
    m_missingClasses.push_back(name);
    unlock();
}

void Vm::clearMissingClasses()
{
    lock();
    m_missingClasses.clear();
    unlock();
}

void Vm::failRegistrationOf(const std::string& className, jint result)
{
    m_registerFailure = className;
    m_registerResult = result;
}

jclass Vm::findClass(ThreadEnv* thread, const char* name)
{
    lock();
    auto it = m_classes.find(name);
    bool missing = it == m_classes.end();
    for (const std::string& absent : m_missingClasses)
        missing = missing || absent == name;
    unlock();
    if (missing) {
        throwNew(thread); // NoClassDefFoundError
        return nullptr;
    }
    return reinterpret_cast<jclass>(local(thread, it->second));
}

bool Vm::checkNoException(ThreadEnv* thread, const char* function)
{
    if (thread->exceptionPending) {
        misuse(std::string(function) + " called with an exception pending");
        return false;
    }
    return true;
}

void Vm::throwNew(ThreadEnv* thread) { thread->exceptionPending = true; }
bool Vm::exceptionPending() { return reinterpret_cast<ThreadEnv*>(env())->exceptionPending; }
void Vm::clearException() { reinterpret_cast<ThreadEnv*>(env())->exceptionPending = false; }

void Vm::failAllocationsAfter(int count)
{
    lock();
    m_allocationsLeft = count;
    unlock();
}

bool Vm::allocate(ThreadEnv* thread)
{
    lock();
    const bool exhausted = m_allocationsLeft == 0;
    if (m_allocationsLeft > 0)
        --m_allocationsLeft;
    unlock();
    if (exhausted)
        throwNew(thread); // OutOfMemoryError
    return !exhausted;
}

void Vm::pin(const void* elements, Object* object)
{
    lock();
    m_pins[elements] = object;
    unlock();
}

bool Vm::unpin(const void* elements, Object* object, bool release, const char* function)
{
    lock();
    auto it = m_pins.find(elements);
    const bool known = it != m_pins.end() && it->second == object;
    if (known && release)
        m_pins.erase(it);
    unlock();
    if (!known)
        misuse(std::string(function) + " with a pointer that its Get did not return for this object");
    return known;
}

jstring Vm::string(const std::u16string& text)
{
    Object* object = newObject(StringObject, "java/lang/String");
    object->text = text;
    return reinterpret_cast<jstring>(reference(object));
}

jstring Vm::string(const wchar_t* text)
{
    return string(std::u16string(reinterpret_cast<const char16_t*>(text)));
}

jbyteArray Vm::bytes(const std::vector<jbyte>& data)
{
    Object* object = newObject(ByteArray, "[B");
    object->bytes = data;
    return reinterpret_cast<jbyteArray>(reference(object));
}

jbyteArray Vm::newBytes(ThreadEnv* thread, size_t length)
{
    Object* object = newObject(ByteArray, "[B");
    lock();
    auto it = m_spareArrays.find(length);
    if (it != m_spareArrays.end()) {
        object->bytes.swap(it->second);
        m_spareArrays.erase(it);
    }
    unlock();
    object->bytes.assign(length, 0);
    return reinterpret_cast<jbyteArray>(local(thread, object));
}

void Vm::recycle(jobject array)
{
    Object* object = Vm::object(array);
    if (!object || object->kind != ByteArray)
        return;
    lock();
    auto spare = m_spareArrays.insert({object->bytes.size(), std::vector<jbyte>()});
    spare->second.swap(object->bytes);
    unlock();
}

jbooleanArray Vm::booleans(const std::vector<jboolean>& data)
{
    Object* object = newObject(BooleanArray, "[Z");
    object->flags = data;
    return reinterpret_cast<jbooleanArray>(reference(object));
}

jintArray Vm::ints(const std::vector<jint>& data)
{
    Object* object = newObject(IntArray, "[I");
    object->ints = data;
    return reinterpret_cast<jintArray>(reference(object));
}

jobjectArray Vm::strings(const std::vector<std::u16string>& texts)
{
    Object* object = newObject(ObjectArray, "java/lang/String");
    for (const std::u16string& text : texts) {
        Object* item = newObject(StringObject, "java/lang/String");
        item->text = text;
        object->items.push_back(item);
    }
    return reinterpret_cast<jobjectArray>(reference(object));
}

jobject Vm::integer(jint value)
{
    Object* object = newObject(PlainObject, "java/lang/Integer");
    object->intValue = value;
    return reference(object);
}

std::u16string Vm::text(jobject reference) { return text(object(reference)); }

std::u16string Vm::text(const Object* object)
{
    return object && object->kind == StringObject ? object->text : std::u16string();
}

std::vector<std::string> Vm::takeMisuse()
{
    lock();
    std::vector<std::string> result;
    result.swap(m_misuse);
    unlock();
    return result;
}

int Vm::unreleasedPins()
{
    lock();
    const int pins = static_cast<int>(m_pins.size());
    unlock();
    return pins;
}

void Vm::resetPins()
{
    lock();
    m_pins.clear();
    unlock();
}

} // namespace fakejvm
