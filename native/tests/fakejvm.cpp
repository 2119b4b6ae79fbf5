#include "fakejvm.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

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

Object* obj(jobject reference) { return reinterpret_cast<Object*>(reference); }

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

void JNICALL unexpected()
{
    fprintf(stderr, "fake JVM: a JNI function that the stand-in does not provide was called\n");
    fflush(stderr);
    ExitProcess(99);
}

jclass JNICALL FindClass(JNIEnv*, const char* name)
{
    if (!g_vm->checkNoException("FindClass"))
        return nullptr;
    if (!name) {
        g_vm->misuse("FindClass(null)");
        return nullptr;
    }
    g_vm->foundClasses.push_back(name);
    return g_vm->findClass(name);
}

jboolean JNICALL ExceptionCheck(JNIEnv*) { return g_vm->exceptionPending() ? JNI_TRUE : JNI_FALSE; }
void JNICALL ExceptionClear(JNIEnv*) { g_vm->clearException(); }
jthrowable JNICALL ExceptionOccurred(JNIEnv*)
{
    return g_vm->exceptionPending() ? reinterpret_cast<jthrowable>(g_vm->newObject(PlainObject, "java/lang/Throwable"))
                                    : nullptr;
}
void JNICALL DeleteLocalRef(JNIEnv*, jobject) {}

jint JNICALL RegisterNatives(JNIEnv*, jclass cls, const JNINativeMethod* methods, jint count)
{
    if (!g_vm->checkNoException("RegisterNatives") || !expect(obj(cls), ClassObject, "RegisterNatives"))
        return -1;
    const std::string& className = obj(cls)->className;
    if (className == g_vm->registerFailure())
        return g_vm->registerResult();
    for (jint i = 0; i < count; ++i) {
        if (!methods[i].name || !methods[i].signature || !methods[i].fnPtr)
            g_vm->misuse("RegisterNatives with an incomplete entry");
        g_vm->registrations.push_back({className, methods[i].name ? methods[i].name : "",
                                       methods[i].signature ? methods[i].signature : "", methods[i].fnPtr});
    }
    return 0;
}

jmethodID JNICALL GetMethodID(JNIEnv*, jclass cls, const char* name, const char* signature)
{
    if (!g_vm->checkNoException("GetMethodID") || !expect(obj(cls), ClassObject, "GetMethodID"))
        return nullptr;
    for (const MethodDesc& method : kMethods) {
        if (obj(cls)->className == method.className && strcmp(name, method.name) == 0
            && strcmp(signature, method.signature) == 0)
            return reinterpret_cast<jmethodID>(const_cast<MethodDesc*>(&method));
    }
    g_vm->throwNew(); // NoSuchMethodError
    return nullptr;
}

jobject JNICALL NewObjectV(JNIEnv*, jclass cls, jmethodID id, va_list args)
{
    if (!g_vm->checkNoException("NewObject") || !expect(obj(cls), ClassObject, "NewObject") || !id)
        return nullptr;
    const MethodDesc* method = reinterpret_cast<const MethodDesc*>(id);
    if (strcmp(method->name, "<init>") != 0 || obj(cls)->className != method->className) {
        g_vm->misuse("NewObject with a method that is not a constructor of the class");
        return nullptr;
    }
    Object* created = g_vm->newObject(PlainObject, method->className);
    if (strcmp(method->signature, "(I)V") == 0) {
        created->intValue = va_arg(args, jint);
    } else {
        const int count = method->signature[1] == 'I' ? 0 : (strstr(method->signature, ";L") ? 5 : 1);
        for (int i = 0; i < count; ++i)
            created->items.push_back(obj(va_arg(args, jobject)));
    }
    return reinterpret_cast<jobject>(created);
}

jint JNICALL CallIntMethodV(JNIEnv*, jobject target, jmethodID id, va_list)
{
    if (!g_vm->checkNoException("CallIntMethod") || !expect(obj(target), PlainObject, "CallIntMethod") || !id)
        return 0;
    const MethodDesc* method = reinterpret_cast<const MethodDesc*>(id);
    if (obj(target)->className != method->className) {
        g_vm->misuse("CallIntMethod on an object of another class");
        return 0;
    }
    return obj(target)->intValue;
}

jmethodID JNICALL FromReflectedMethod(JNIEnv*, jobject method)
{
    if (!g_vm->checkNoException("FromReflectedMethod") || !expect(obj(method), PlainObject, "FromReflectedMethod"))
        return nullptr;
    ++g_vm->fromReflectedMethodCalls;
    return reinterpret_cast<jmethodID>(const_cast<MethodDesc*>(&kReflected));
}

jlong JNICALL CallLongMethodV(JNIEnv*, jobject target, jmethodID id, va_list)
{
    if (!g_vm->checkNoException("CallLongMethod") || !expect(obj(target), PlainObject, "CallLongMethod"))
        return 0;
    ++g_vm->callLongMethodCalls;
    if (id != reinterpret_cast<jmethodID>(const_cast<MethodDesc*>(&kReflected))) {
        g_vm->misuse("CallLongMethod with an unknown method");
        return 0;
    }
    return static_cast<jlong>(obj(target)->intValue) * 16;
}

jstring JNICALL NewString(JNIEnv*, const jchar* chars, jsize length)
{
    if (!g_vm->checkNoException("NewString"))
        return nullptr;
    if (length < 0 || (!chars && length > 0)) {
        g_vm->misuse("NewString with a null buffer or a negative length");
        return nullptr;
    }
    return g_vm->string(std::u16string(reinterpret_cast<const char16_t*>(chars), static_cast<size_t>(length)));
}

jsize JNICALL GetStringLength(JNIEnv*, jstring text)
{
    if (!g_vm->checkNoException("GetStringLength") || !expect(obj(text), StringObject, "GetStringLength"))
        return 0;
    return static_cast<jsize>(obj(text)->text.size());
}

// The characters are handed out as a copy without a terminating NUL, as a VM
// may do: code that relies on one reads garbage.
const jchar* JNICALL GetStringChars(JNIEnv*, jstring text, jboolean* isCopy)
{
    if (!g_vm->checkNoException("GetStringChars") || !expect(obj(text), StringObject, "GetStringChars"))
        return nullptr;
    Object* string = obj(text);
    const size_t count = string->text.size();
    jchar* copy = static_cast<jchar*>(malloc((count + 1) * sizeof(jchar)));
    memcpy(copy, string->text.data(), count * sizeof(jchar));
    copy[count] = 0xFFFF;
    string->pins++;
    if (isCopy)
        *isCopy = JNI_TRUE;
    return copy;
}

void JNICALL ReleaseStringChars(JNIEnv*, jstring text, const jchar* chars)
{
    if (!expect(obj(text), StringObject, "ReleaseStringChars"))
        return;
    if (obj(text)->pins <= 0)
        g_vm->misuse("ReleaseStringChars without GetStringChars");
    obj(text)->pins--;
    free(const_cast<jchar*>(chars));
}

jsize JNICALL GetArrayLength(JNIEnv*, jarray array)
{
    if (!g_vm->checkNoException("GetArrayLength"))
        return 0;
    Object* object = obj(array);
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

jobjectArray JNICALL NewObjectArray(JNIEnv*, jsize length, jclass cls, jobject init)
{
    if (!g_vm->checkNoException("NewObjectArray") || !expect(obj(cls), ClassObject, "NewObjectArray") || length < 0)
        return nullptr;
    Object* array = g_vm->newObject(ObjectArray, obj(cls)->className);
    array->items.assign(static_cast<size_t>(length), obj(init));
    return reinterpret_cast<jobjectArray>(array);
}

jobject JNICALL GetObjectArrayElement(JNIEnv*, jobjectArray array, jsize index)
{
    if (!g_vm->checkNoException("GetObjectArrayElement") || !expect(obj(array), ObjectArray, "GetObjectArrayElement"))
        return nullptr;
    if (index < 0 || static_cast<size_t>(index) >= obj(array)->items.size()) {
        g_vm->misuse("GetObjectArrayElement out of bounds");
        return nullptr;
    }
    return reinterpret_cast<jobject>(obj(array)->items[static_cast<size_t>(index)]);
}

void JNICALL SetObjectArrayElement(JNIEnv*, jobjectArray array, jsize index, jobject value)
{
    if (!g_vm->checkNoException("SetObjectArrayElement") || !expect(obj(array), ObjectArray, "SetObjectArrayElement"))
        return;
    if (index < 0 || static_cast<size_t>(index) >= obj(array)->items.size()) {
        g_vm->misuse("SetObjectArrayElement out of bounds");
        return;
    }
    obj(array)->items[static_cast<size_t>(index)] = obj(value);
}

jbyteArray JNICALL NewByteArray(JNIEnv*, jsize length)
{
    if (!g_vm->checkNoException("NewByteArray"))
        return nullptr;
    g_vm->newByteArrayCalls++;
    if (length < 0) {
        g_vm->throwNew(); // NegativeArraySizeException
        return nullptr;
    }
    return g_vm->newBytes(static_cast<size_t>(length));
}

// Element copies are recycled, as a VM hands them out from its own heap:
// fresh multi-megabyte allocations for every call (slow under Wine) would
// otherwise dominate any timing of the library.
CRITICAL_SECTION* bufferLock()
{
    static CRITICAL_SECTION lock;
    static bool initialised = [] {
        InitializeCriticalSection(&lock);
        return true;
    }();
    (void)initialised;
    return &lock;
}
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
    EnterCriticalSection(bufferLock());
    void* buffer = nullptr;
    auto it = spareBuffers().find(size);
    if (it != spareBuffers().end()) {
        buffer = it->second;
        spareBuffers().erase(it);
    } else {
        buffer = malloc(size);
        bufferSizes()[buffer] = size;
    }
    LeaveCriticalSection(bufferLock());
    return buffer;
}

void giveBuffer(void* buffer)
{
    EnterCriticalSection(bufferLock());
    auto it = bufferSizes().find(buffer);
    if (it != bufferSizes().end())
        spareBuffers().insert({it->second, buffer});
    else
        free(buffer);
    LeaveCriticalSection(bufferLock());
}

template <typename T>
T* pin(std::vector<T>& data, Object* object, jboolean* isCopy)
{
    T* copy = static_cast<T*>(takeBuffer(data.size() * sizeof(T) + 1));
    if (!data.empty())
        memcpy(copy, data.data(), data.size() * sizeof(T));
    object->pins++;
    if (isCopy)
        *isCopy = JNI_TRUE;
    return copy;
}

template <typename T>
void unpin(std::vector<T>& data, Object* object, T* elements, jint mode, const char* function)
{
    if (object->pins <= 0)
        g_vm->misuse(std::string(function) + " without a matching Get");
    if (mode != JNI_ABORT && !data.empty())
        memcpy(data.data(), elements, data.size() * sizeof(T));
    if (mode != JNI_COMMIT) {
        object->pins--;
        giveBuffer(elements);
    }
}

jbyte* JNICALL GetByteArrayElements(JNIEnv*, jbyteArray array, jboolean* isCopy)
{
    if (!g_vm->checkNoException("GetByteArrayElements") || !expect(obj(array), ByteArray, "GetByteArrayElements"))
        return nullptr;
    return pin(obj(array)->bytes, obj(array), isCopy);
}

void JNICALL ReleaseByteArrayElements(JNIEnv*, jbyteArray array, jbyte* elements, jint mode)
{
    if (expect(obj(array), ByteArray, "ReleaseByteArrayElements"))
        unpin(obj(array)->bytes, obj(array), elements, mode, "ReleaseByteArrayElements");
}

jboolean* JNICALL GetBooleanArrayElements(JNIEnv*, jbooleanArray array, jboolean* isCopy)
{
    if (!g_vm->checkNoException("GetBooleanArrayElements")
        || !expect(obj(array), BooleanArray, "GetBooleanArrayElements"))
        return nullptr;
    return pin(obj(array)->flags, obj(array), isCopy);
}

void JNICALL ReleaseBooleanArrayElements(JNIEnv*, jbooleanArray array, jboolean* elements, jint mode)
{
    if (expect(obj(array), BooleanArray, "ReleaseBooleanArrayElements"))
        unpin(obj(array)->flags, obj(array), elements, mode, "ReleaseBooleanArrayElements");
}

jint* JNICALL GetIntArrayElements(JNIEnv*, jintArray array, jboolean* isCopy)
{
    if (!g_vm->checkNoException("GetIntArrayElements") || !expect(obj(array), IntArray, "GetIntArrayElements"))
        return nullptr;
    return pin(obj(array)->ints, obj(array), isCopy);
}

void JNICALL ReleaseIntArrayElements(JNIEnv*, jintArray array, jint* elements, jint mode)
{
    if (expect(obj(array), IntArray, "ReleaseIntArrayElements"))
        unpin(obj(array)->ints, obj(array), elements, mode, "ReleaseIntArrayElements");
}

void JNICALL GetByteArrayRegion(JNIEnv*, jbyteArray array, jsize start, jsize length, jbyte* buffer)
{
    if (!g_vm->checkNoException("GetByteArrayRegion") || !expect(obj(array), ByteArray, "GetByteArrayRegion"))
        return;
    std::vector<jbyte>& data = obj(array)->bytes;
    if (start < 0 || length < 0 || static_cast<size_t>(start) + static_cast<size_t>(length) > data.size()) {
        g_vm->throwNew(); // ArrayIndexOutOfBoundsException
        return;
    }
    if (length)
        memcpy(buffer, data.data() + start, static_cast<size_t>(length));
}

void JNICALL SetByteArrayRegion(JNIEnv*, jbyteArray array, jsize start, jsize length, const jbyte* buffer)
{
    if (!g_vm->checkNoException("SetByteArrayRegion") || !expect(obj(array), ByteArray, "SetByteArrayRegion"))
        return;
    std::vector<jbyte>& data = obj(array)->bytes;
    if (start < 0 || length < 0 || static_cast<size_t>(start) + static_cast<size_t>(length) > data.size()) {
        g_vm->throwNew();
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
    void** slots = reinterpret_cast<void**>(&m_functions);
    for (size_t i = 0; i < sizeof(m_functions) / sizeof(void*); ++i)
        slots[i] = reinterpret_cast<void*>(&unexpected);
    m_functions.FindClass = FindClass;
    m_functions.ExceptionCheck = ExceptionCheck;
    m_functions.ExceptionClear = ExceptionClear;
    m_functions.ExceptionOccurred = ExceptionOccurred;
    m_functions.DeleteLocalRef = DeleteLocalRef;
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
    m_functions.ReleaseByteArrayElements = ReleaseByteArrayElements;
    m_functions.GetBooleanArrayElements = GetBooleanArrayElements;
    m_functions.ReleaseBooleanArrayElements = ReleaseBooleanArrayElements;
    m_functions.GetIntArrayElements = GetIntArrayElements;
    m_functions.ReleaseIntArrayElements = ReleaseIntArrayElements;
    m_functions.GetByteArrayRegion = GetByteArrayRegion;
    m_functions.SetByteArrayRegion = SetByteArrayRegion;
    m_env.functions = &m_functions;
    for (const char* name : kKnownClasses) {
        Object* cls = newObject(ClassObject, name);
        m_classes[name] = cls;
    }
}

Object* Vm::newObject(Kind kind, const std::string& className)
{
    Object* object = new Object;
    object->kind = kind;
    object->className = className;
    m_objects.push_back(object);
    return object;
}

bool Vm::isMissing(const std::string& name) const
{
    for (const std::string& missing : m_missingClasses) {
        if (missing == name)
            return true;
    }
    return false;
}

jclass Vm::findClass(const char* name)
{
    auto it = m_classes.find(name);
    if (it == m_classes.end() || isMissing(name)) {
        throwNew(); // NoClassDefFoundError
        return nullptr;
    }
    return reinterpret_cast<jclass>(it->second);
}

bool Vm::checkNoException(const char* function)
{
    if (m_exceptionPending) {
        misuse(std::string(function) + " called with an exception pending");
        return false;
    }
    return true;
}

jstring Vm::string(const std::u16string& text)
{
    Object* object = newObject(StringObject, "java/lang/String");
    object->text = text;
    return reinterpret_cast<jstring>(object);
}

jstring Vm::string(const wchar_t* text)
{
    return string(std::u16string(reinterpret_cast<const char16_t*>(text)));
}

jbyteArray Vm::bytes(const std::vector<jbyte>& data)
{
    Object* object = newObject(ByteArray, "[B");
    object->bytes = data;
    return reinterpret_cast<jbyteArray>(object);
}

jbyteArray Vm::newBytes(size_t length)
{
    Object* object = newObject(ByteArray, "[B");
    EnterCriticalSection(bufferLock());
    auto it = m_spareArrays.find(length);
    if (it != m_spareArrays.end()) {
        object->bytes.swap(it->second);
        m_spareArrays.erase(it);
    }
    LeaveCriticalSection(bufferLock());
    object->bytes.assign(length, 0);
    return reinterpret_cast<jbyteArray>(object);
}

void Vm::recycle(jobject array)
{
    Object* object = obj(array);
    if (!object || object->kind != ByteArray)
        return;
    EnterCriticalSection(bufferLock());
    m_spareArrays.insert({object->bytes.size(), std::vector<jbyte>()});
    m_spareArrays.find(object->bytes.size())->second.swap(object->bytes);
    LeaveCriticalSection(bufferLock());
}

jbooleanArray Vm::booleans(const std::vector<jboolean>& data)
{
    Object* object = newObject(BooleanArray, "[Z");
    object->flags = data;
    return reinterpret_cast<jbooleanArray>(object);
}

jintArray Vm::ints(const std::vector<jint>& data)
{
    Object* object = newObject(IntArray, "[I");
    object->ints = data;
    return reinterpret_cast<jintArray>(object);
}

jobjectArray Vm::strings(const std::vector<std::u16string>& texts)
{
    Object* object = newObject(ObjectArray, "java/lang/String");
    for (const std::u16string& text : texts)
        object->items.push_back(obj(string(text)));
    return reinterpret_cast<jobjectArray>(object);
}

jobject Vm::integer(jint value)
{
    Object* object = newObject(PlainObject, "java/lang/Integer");
    object->intValue = value;
    return reinterpret_cast<jobject>(object);
}

std::u16string Vm::text(jobject reference)
{
    Object* object = obj(reference);
    return object && object->kind == StringObject ? object->text : std::u16string();
}

std::vector<std::string> Vm::takeMisuse()
{
    std::vector<std::string> result;
    result.swap(m_misuse);
    return result;
}

int Vm::unreleasedPins() const
{
    int pins = 0;
    for (const Object* object : m_objects)
        pins += object->pins;
    return pins;
}

void Vm::resetPins()
{
    for (Object* object : m_objects)
        object->pins = 0;
}

} // namespace fakejvm
