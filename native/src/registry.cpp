// Registry: keys and values of the five common types, key trees, listings,
// hive files, and the shell's association notification.
#include "jniutil.h"

#include <shlobj.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

using namespace ostra;

namespace {

const DWORD kDataBufferSize = 100000;
const DWORD kDataBufferUnits = kDataBufferSize / sizeof(wchar_t);
const DWORD kListNameUnits = 4096;
const DWORD kDeleteNameUnits = 1024;
const size_t kMultiStringLimitUnits = 50000;

enum KeyAccess { OpenForRead, OpenForReadWrite, OpenOrCreate };

HKEY rootKey(jint code)
{
    switch (code) {
    case 1: return HKEY_CLASSES_ROOT;
    case 2: return HKEY_CURRENT_USER;
    case 3: return HKEY_LOCAL_MACHINE;
    case 4: return HKEY_USERS;
    case 5: return HKEY_CURRENT_CONFIG;
    default: return NULL;
    }
}

// Opens (or creates) the key below `parent`; NULL when no key is available.
HKEY openKeyBelow(HKEY parent, const wchar_t* path, KeyAccess access, jint view)
{
    HKEY key = NULL;
    LONG status;
    switch (access) {
    case OpenOrCreate:
        status =
            RegCreateKeyExW(parent, path, 0, NULL, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS | view, NULL, &key, NULL);
        break;
    case OpenForReadWrite:
        status = RegOpenKeyExW(parent, path, 0, KEY_READ | KEY_SET_VALUE | view, &key);
        break;
    default:
        status = RegOpenKeyExW(parent, path, 0, KEY_READ | view, &key);
        break;
    }
    return status == ERROR_SUCCESS ? key : NULL;
}

HKEY openKey(JNIEnv* env, jint root, jstring path, KeyAccess access, jint view)
{
    HKEY parent = rootKey(root);
    if (!parent)
        return NULL;
    wchar_t* nativePath = newWide(env, path);
    // A path whose copy failed must not open the root key itself.
    HKEY key = env->ExceptionCheck() ? NULL : openKeyBelow(parent, nativePath, access, view);
    freeWide(nativePath);
    return key;
}

typedef LONG(WINAPI* RegDeleteKeyExWFn)(HKEY, LPCWSTR, REGSAM, DWORD);

// Deletes the key and everything below it, deepest first.
void deleteTree(HKEY parent, const wchar_t* name, jint view)
{
    HKEY key;
    if (RegOpenKeyExW(parent, name, 0, KEY_READ | view, &key) != ERROR_SUCCESS)
        return;

    wchar_t** names = NULL;
    int count = 0;
    int capacity = 0;
    for (DWORD index = 0;; ++index) {
        wchar_t* subkey = static_cast<wchar_t*>(malloc(kDeleteNameUnits * sizeof(wchar_t)));
        DWORD length = kDeleteNameUnits;
        if (!subkey || RegEnumKeyExW(key, index, subkey, &length, NULL, NULL, NULL, NULL) != ERROR_SUCCESS) {
            free(subkey);
            break;
        }
        if (count == capacity) {
            capacity = capacity ? capacity * 2 : 16;
            wchar_t** grown = static_cast<wchar_t**>(realloc(names, static_cast<size_t>(capacity) * sizeof(wchar_t*)));
            if (!grown) {
                free(subkey);
                break;
            }
            names = grown;
        }
        names[count++] = subkey;
    }
    for (int i = count - 1; i >= 0; --i) {
        deleteTree(key, names[i], view);
        free(names[i]);
    }
    free(names);
    RegCloseKey(key);

    RegDeleteKeyExWFn deleteKeyEx =
        view ? reinterpret_cast<RegDeleteKeyExWFn>(loadedFunction(L"advapi32.dll", "RegDeleteKeyExW")) : NULL;
    if (deleteKeyEx)
        deleteKeyEx(parent, name, static_cast<REGSAM>(view), 0);
    else
        RegDeleteKeyW(parent, name);
}

// REG_MULTI_SZ data as a String[]. The walk stays within the data the
// registry returned, also when its strings or the list lack their NULs.
jobject multiStringArray(JNIEnv* env, const wchar_t* data, DWORD size)
{
    const size_t units = size / sizeof(wchar_t);
    StringList list;
    size_t position = 0;
    while (position < units) {
        if (position == units - 1 && data[position] == 0)
            break; // the terminating NUL of the list
        size_t length = 0;
        while (position + length < units && data[position + length] != 0)
            ++length;
        if (!list.add(data + position, length))
            break;
        position += length + 1;
    }
    return list.toArray(env);
}

jobject valueObject(JNIEnv* env, DWORD type, const BYTE* data, DWORD size)
{
    const wchar_t* text = reinterpret_cast<const wchar_t*>(data);
    switch (type) {
    case REG_SZ:
    case REG_EXPAND_SZ: {
        jsize units = static_cast<jsize>(size / sizeof(wchar_t));
        if (size > 1 && units > 0 && text[units - 1] == 0)
            --units; // one trailing NUL is dropped, inner NULs are kept
        jstring string = newJavaString(env, text, units);
        if (type == REG_SZ || !string)
            return string;
        jobject wrapped = NULL;
        jclass expandString = findClass(env, "com/ostrakit/api/windows/WinRegistry$ExpandString");
        if (expandString) {
            jmethodID constructor = findMethod(env, expandString, "<init>", "(Ljava/lang/String;)V");
            if (constructor)
                wrapped = env->NewObject(expandString, constructor, string);
            env->DeleteLocalRef(expandString);
        }
        env->DeleteLocalRef(string);
        return wrapped;
    }
    case REG_BINARY: {
        jbyteArray array = env->NewByteArray(static_cast<jsize>(size));
        if (array)
            env->SetByteArrayRegion(array, 0, static_cast<jsize>(size), reinterpret_cast<const jbyte*>(data));
        return array;
    }
    case REG_DWORD: {
        // Shorter data than 4 bytes reads as the bytes it holds.
        jint value = 0;
        memcpy(&value, data, size < sizeof(value) ? size : sizeof(value));
        return newInteger(env, value);
    }
    case REG_MULTI_SZ:
        return multiStringArray(env, text, size);
    default:
        return NULL;
    }
}

// Fills the buffer from the Java value; false when nothing may be written.
bool fillBuffer(JNIEnv* env, jobject value, jint typeCode, BYTE* buffer, DWORD* size, DWORD* type)
{
    wchar_t* units = reinterpret_cast<wchar_t*>(buffer);
    switch (typeCode) {
    case 1:
    case 5: {
        wchar_t* text = newWide(env, static_cast<jstring>(value));
        if (!text)
            return false;
        size_t length = wcslen(text);
        if (length > kDataBufferUnits - 1)
            length = kDataBufferUnits - 1;
        memcpy(units, text, length * sizeof(wchar_t));
        units[length] = 0;
        freeWide(text);
        *size = static_cast<DWORD>(length * sizeof(wchar_t) + sizeof(wchar_t));
        *type = typeCode == 1 ? REG_SZ : REG_EXPAND_SZ;
        return true;
    }
    case 2: {
        jint number;
        if (!value || !integerValue(env, value, &number))
            return false;
        memcpy(buffer, &number, sizeof(number));
        *size = sizeof(number);
        *type = REG_DWORD;
        return true;
    }
    case 3: {
        jobjectArray array = static_cast<jobjectArray>(value);
        if (!array)
            return false;
        const jsize count = env->GetArrayLength(array);
        size_t used = 0;
        for (jsize i = 0; i < count; ++i) {
            jstring element = static_cast<jstring>(env->GetObjectArrayElement(array, i));
            wchar_t* text = newWide(env, element);
            env->DeleteLocalRef(element);
            const size_t length = text ? wcslen(text) : 0;
            // An empty string would end the list early.
            if (length == 0 || used + length + 2 > kMultiStringLimitUnits) {
                freeWide(text);
                return false;
            }
            memcpy(units + used, text, (length + 1) * sizeof(wchar_t));
            used += length + 1;
            freeWide(text);
        }
        units[used] = 0;
        *size = static_cast<DWORD>(used * sizeof(wchar_t) + sizeof(wchar_t));
        *type = REG_MULTI_SZ;
        return true;
    }
    case 4: {
        jbyteArray array = static_cast<jbyteArray>(value);
        if (!array)
            return false;
        jsize length = env->GetArrayLength(array);
        if (length > static_cast<jsize>(kDataBufferSize))
            length = static_cast<jsize>(kDataBufferSize);
        env->GetByteArrayRegion(array, 0, length, reinterpret_cast<jbyte*>(buffer));
        *size = static_cast<DWORD>(length);
        *type = REG_BINARY;
        return true;
    }
    default:
        return false;
    }
}

jobjectArray listNames(JNIEnv* env, jint root, jstring path, jint view, bool subkeys)
{
    HKEY key = openKey(env, root, path, OpenForRead, view);
    if (!key)
        return NULL;
    wchar_t* name = static_cast<wchar_t*>(malloc(kListNameUnits * sizeof(wchar_t)));
    wchar_t* className = static_cast<wchar_t*>(malloc(kListNameUnits * sizeof(wchar_t)));
    StringList list;
    if (!name || !className)
        list.markIncomplete();
    for (DWORD index = 0; name && className; ++index) {
        DWORD length = kListNameUnits;
        DWORD classLength = kListNameUnits;
        const LONG status = subkeys
            ? RegEnumKeyExW(key, index, name, &length, NULL, className, &classLength, NULL)
            : RegEnumValueW(key, index, name, &length, NULL, NULL, NULL, NULL);
        // A name too long for the buffer skips the entry; any other failure
        // (the end of the list, the key deleted meanwhile) ends the listing.
        if (status == ERROR_MORE_DATA)
            continue;
        if (status != ERROR_SUCCESS || !list.add(name, length))
            break;
    }
    free(name);
    free(className);
    RegCloseKey(key);
    return list.toArray(env);
}

} // namespace

extern "C" {

JNIEXPORT jboolean JNICALL OSTRA_JNI(Registry, keyExists0)(JNIEnv* env, jclass, jint root, jstring path, jint view)
{
    HKEY key = openKey(env, root, path, OpenForRead, view);
    if (!key)
        return JNI_FALSE;
    RegCloseKey(key);
    return JNI_TRUE;
}

JNIEXPORT jboolean JNICALL OSTRA_JNI(Registry, createKey0)(JNIEnv* env, jclass, jint root, jstring path, jint view)
{
    HKEY key = openKey(env, root, path, OpenOrCreate, view);
    if (!key)
        return JNI_FALSE;
    RegCloseKey(key);
    return JNI_TRUE;
}

JNIEXPORT jobject JNICALL OSTRA_JNI(Registry, getValue0)(JNIEnv* env, jclass, jint root, jstring path, jstring name,
                                                        jint view)
{
    HKEY key = openKey(env, root, path, OpenForRead, view);
    if (!key)
        return NULL;
    wchar_t* valueName = newWide(env, name);
    BYTE* buffer = static_cast<BYTE*>(calloc(1, kDataBufferSize));
    DWORD type = 0;
    DWORD size = kDataBufferSize;
    jobject result = NULL;
    // A name whose copy failed must not read the key's default value.
    if (buffer && !env->ExceptionCheck() && RegQueryValueExW(key, valueName, NULL, &type, buffer, &size) == ERROR_SUCCESS)
        result = valueObject(env, type, buffer, size);
    free(buffer);
    freeWide(valueName);
    RegCloseKey(key);
    return result;
}

JNIEXPORT jboolean JNICALL OSTRA_JNI(Registry, setValue0)(JNIEnv* env, jclass, jint root, jstring path, jstring name,
                                                         jobject value, jint typeCode, jint view)
{
    HKEY key = openKey(env, root, path, OpenOrCreate, view);
    if (!key)
        return JNI_FALSE;
    wchar_t* valueName = newWide(env, name);
    BYTE* buffer = static_cast<BYTE*>(calloc(1, kDataBufferSize));
    DWORD size = 0;
    DWORD type = 0;
    jboolean result = JNI_FALSE;
    // A name whose copy failed must not write the key's default value.
    if (buffer && !env->ExceptionCheck() && fillBuffer(env, value, typeCode, buffer, &size, &type)) {
        if (RegSetValueExW(key, valueName, 0, type, buffer, size) == ERROR_SUCCESS) {
            result = JNI_TRUE;
        } else {
            const LONG status = RegSetValueExW(key, valueName, 0, type, buffer, size);
            printf("no success %d\n", static_cast<int>(status));
        }
    }
    free(buffer);
    freeWide(valueName);
    RegCloseKey(key);
    return result;
}

JNIEXPORT void JNICALL OSTRA_JNI(Registry, deleteValue0)(JNIEnv* env, jclass, jint root, jstring path, jstring name,
                                                        jint view)
{
    HKEY key = openKey(env, root, path, OpenForReadWrite, view);
    if (!key)
        return;
    wchar_t* valueName = newWide(env, name);
    if (!env->ExceptionCheck())
        RegDeleteValueW(key, valueName);
    freeWide(valueName);
    RegCloseKey(key);
}

JNIEXPORT void JNICALL OSTRA_JNI(Registry, deleteKey0)(JNIEnv* env, jclass, jint root, jstring path,
                                                      jboolean onlyIfEmpty, jint view)
{
    HKEY parent = rootKey(root);
    wchar_t* nativePath = newWide(env, path);
    // No path (or no copy of it) would name the root key itself, and the
    // tree walk would then delete every key below the root.
    if (!parent || !nativePath || !nativePath[0] || env->ExceptionCheck()) {
        freeWide(nativePath);
        return;
    }
    if (onlyIfEmpty) {
        // A key whose emptiness cannot be checked (absent, or denied to us)
        // is left alone: the tree walk would delete what it may of it.
        HKEY key = openKeyBelow(parent, nativePath, OpenForReadWrite, view);
        DWORD subkeys = 0;
        DWORD values = 0;
        const LONG status = key
            ? RegQueryInfoKeyW(key, NULL, NULL, NULL, &subkeys, NULL, NULL, &values, NULL, NULL, NULL, NULL)
            : ERROR_FILE_NOT_FOUND;
        if (key)
            RegCloseKey(key);
        if (status != ERROR_SUCCESS || subkeys > 0 || values > 0) {
            freeWide(nativePath);
            return;
        }
    }
    deleteTree(parent, nativePath, view);
    freeWide(nativePath);
}

JNIEXPORT jboolean JNICALL OSTRA_JNI(Registry, saveKey0)(JNIEnv* env, jclass, jint root, jstring path, jstring file,
                                                        jint view)
{
    if (!switchPrivilege(L"SeBackupPrivilege", true))
        return JNI_FALSE;
    HKEY key = openKey(env, root, path, OpenForReadWrite, view);
    if (!key)
        return JNI_FALSE;
    wchar_t* fileName = newWide(env, file);
    const LONG status = RegSaveKeyW(key, fileName, NULL);
    freeWide(fileName);
    RegCloseKey(key);
    return status == ERROR_SUCCESS ? JNI_TRUE : JNI_FALSE;
}

JNIEXPORT jboolean JNICALL OSTRA_JNI(Registry, restoreKey0)(JNIEnv* env, jclass, jint root, jstring path,
                                                           jstring file, jint view)
{
    if (!switchPrivilege(L"SeBackupPrivilege", true) || !switchPrivilege(L"SeRestorePrivilege", true))
        return JNI_FALSE;
    HKEY key = openKey(env, root, path, OpenOrCreate, view);
    if (!key)
        return JNI_FALSE;
    wchar_t* fileName = newWide(env, file);
    const LONG status = RegRestoreKeyW(key, fileName, 0);
    freeWide(fileName);
    RegCloseKey(key);
    return status == ERROR_SUCCESS ? JNI_TRUE : JNI_FALSE;
}

JNIEXPORT jobjectArray JNICALL OSTRA_JNI(Registry, enumSubKeys0)(JNIEnv* env, jclass, jint root, jstring path,
                                                                jint view)
{
    return listNames(env, root, path, view, true);
}

JNIEXPORT jobjectArray JNICALL OSTRA_JNI(Registry, enumValues0)(JNIEnv* env, jclass, jint root, jstring path,
                                                               jint view)
{
    return listNames(env, root, path, view, false);
}

JNIEXPORT void JNICALL OSTRA_JNI(Registry, changeNotifyAssociations0)(JNIEnv*, jclass)
{
    SHChangeNotify(SHCNE_ASSOCCHANGED, SHCNF_IDLIST, NULL, NULL);
}

} // extern "C"
