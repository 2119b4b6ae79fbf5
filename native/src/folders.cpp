// Special folders, Windows directories, drive types, short paths, and the
// comparison of two files' version resources.
#include "jniutil.h"

#include <objbase.h>
#include <shlobj.h>
#include <stdlib.h>
#include <wchar.h>

namespace {

typedef DWORD(WINAPI* GetFileVersionInfoSizeFn)(LPCWSTR, LPDWORD);
typedef BOOL(WINAPI* GetFileVersionInfoFn)(LPCWSTR, DWORD, DWORD, LPVOID);
typedef BOOL(WINAPI* VerQueryValueFn)(LPCVOID, LPCWSTR, LPVOID*, PUINT);
typedef HRESULT(WINAPI* SHGetFolderPathFn)(HWND, int, HANDLE, DWORD, LPWSTR);
typedef HRESULT(WINAPI* SHGetKnownFolderPathFn)(REFGUID, DWORD, HANDLE, PWSTR*);
typedef UINT(WINAPI* DirectoryFn)(LPWSTR, UINT);

const DWORD kLongPathUnits = 32767;
const DWORD kFolderUnits = 32768;

// Process-wide, filled once (concurrent first callers wait for it).
struct VersionFunctions
{
    GetFileVersionInfoSizeFn size;
    GetFileVersionInfoFn info;
    VerQueryValueFn query;
};
VersionFunctions versionFunctions = {NULL, NULL, NULL};
INIT_ONCE versionFunctionsOnce = INIT_ONCE_STATIC_INIT;
SHGetFolderPathFn folderFunction = NULL;
INIT_ONCE folderFunctionOnce = INIT_ONCE_STATIC_INIT;
SHGetKnownFolderPathFn knownFolderFunction = NULL;

void loadVersionFunctions()
{
    // Only from the system directory, never from beside the program.
    HMODULE version = LoadLibraryExW(L"version.dll", NULL, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (!version)
        return;
    versionFunctions.size =
        reinterpret_cast<GetFileVersionInfoSizeFn>(GetProcAddress(version, "GetFileVersionInfoSizeW"));
    versionFunctions.info = reinterpret_cast<GetFileVersionInfoFn>(GetProcAddress(version, "GetFileVersionInfoW"));
    versionFunctions.query = reinterpret_cast<VerQueryValueFn>(GetProcAddress(version, "VerQueryValueW"));
}

const VersionFunctions& versionApi()
{
    ostra::runOnce(&versionFunctionsOnce, loadVersionFunctions);
    return versionFunctions;
}

// The file version (MS, LS) of a file's fixed version information.
bool readFileVersion(const wchar_t* path, DWORD* ms, DWORD* ls)
{
    const VersionFunctions& api = versionApi();
    if (!api.size || !api.info || !api.query || !path)
        return false;
    DWORD handle = 0;
    const DWORD size = api.size(path, &handle);
    if (size == 0 || size > 0x7FFFFFFF)
        return false;
    void* buffer = malloc(size);
    if (!buffer)
        return false;
    bool ok = false;
    VS_FIXEDFILEINFO* fixed = NULL;
    UINT fixedLength = 0;
    if (api.info(path, 0, size, buffer)
        && api.query(buffer, L"\\", reinterpret_cast<LPVOID*>(&fixed), &fixedLength) && fixed
        && fixedLength >= sizeof(VS_FIXEDFILEINFO)) {
        *ms = fixed->dwFileVersionMS;
        *ls = fixed->dwFileVersionLS;
        ok = true;
    }
    free(buffer);
    return ok;
}

int compareVersions(const wchar_t* first, const wchar_t* second)
{
    DWORD firstMs, firstLs, secondMs, secondLs;
    if (!readFileVersion(first, &firstMs, &firstLs) || !readFileVersion(second, &secondMs, &secondLs))
        return 3;
    if (firstMs == secondMs && firstLs == secondLs)
        return 0;
    if (firstMs > secondMs || (firstMs == secondMs && firstLs > secondLs))
        return 1;
    return 2;
}

void loadFolderFunction()
{
    SHGetFolderPathFn chosen = NULL;
    LoadLibraryW(L"shell32.dll"); // kept loaded
    const int newer = compareVersions(L"_shfoldr.dll", L"shfolder.dll");
    if (newer == 1 || newer == 3) {
        HMODULE bundled = LoadLibraryW(L"_shfoldr.dll");
        if (bundled)
            chosen = reinterpret_cast<SHGetFolderPathFn>(GetProcAddress(bundled, "SHGetFolderPathW"));
    }
    if (!chosen) {
        HMODULE system = LoadLibraryW(L"shfolder.dll");
        if (system)
            chosen = reinterpret_cast<SHGetFolderPathFn>(GetProcAddress(system, "SHGetFolderPathW"));
    }
    folderFunction = chosen;
}

SHGetFolderPathFn chooseFolderFunction()
{
    ostra::runOnce(&folderFunctionOnce, loadFolderFunction);
    return folderFunction;
}

int csidlFor(jint code, bool allUsers)
{
    switch (code) {
    case 1: return allUsers ? CSIDL_COMMON_DESKTOPDIRECTORY : CSIDL_DESKTOPDIRECTORY;
    case 2: return allUsers ? CSIDL_COMMON_STARTMENU : CSIDL_STARTMENU;
    case 3: return allUsers ? CSIDL_COMMON_PROGRAMS : CSIDL_PROGRAMS;
    case 4: return allUsers ? CSIDL_COMMON_STARTUP : CSIDL_STARTUP;
    case 5: return CSIDL_SENDTO;
    case 6: return CSIDL_FONTS;
    case 7: return allUsers ? CSIDL_COMMON_APPDATA : CSIDL_APPDATA;
    case 8: return allUsers ? CSIDL_COMMON_DOCUMENTS : CSIDL_PERSONAL;
    case 9: return allUsers ? CSIDL_COMMON_TEMPLATES : CSIDL_TEMPLATES;
    case 10: return allUsers ? CSIDL_COMMON_FAVORITES : CSIDL_FAVORITES;
    case 11: return CSIDL_LOCAL_APPDATA;
    default: return CSIDL_DESKTOP;
    }
}

// A Java string of a heap buffer's text, or null when `ok` is false.
jstring resultOf(JNIEnv* env, bool ok, const wchar_t* buffer)
{
    return ok ? ostra::newJavaString(env, buffer) : NULL;
}

// The directory `primary` gives (or `fallback`, when it is missing or
// fails), or null.
jstring directoryOf(JNIEnv* env, DirectoryFn primary, DirectoryFn fallback)
{
    wchar_t* buffer = static_cast<wchar_t*>(calloc(kLongPathUnits, sizeof(wchar_t)));
    if (!buffer)
        return NULL;
    UINT length = primary ? primary(buffer, kLongPathUnits) : 0;
    if (length == 0 && fallback)
        length = fallback(buffer, kLongPathUnits);
    jstring path = resultOf(env, length != 0 && length < kLongPathUnits, buffer);
    free(buffer);
    return path;
}

} // namespace

extern "C" {

JNIEXPORT jint JNICALL OSTRA_JNI(FileVersion, compare0)(JNIEnv* env, jclass, jstring first, jstring second)
{
    wchar_t* firstPath = ostra::newWide(env, first);
    wchar_t* secondPath = ostra::newWide(env, second);
    const int result = compareVersions(firstPath, secondPath);
    ostra::freeWide(secondPath);
    ostra::freeWide(firstPath);
    return result;
}

JNIEXPORT jstring JNICALL OSTRA_JNI(FolderInfo, getSpecialFolder0)(JNIEnv* env, jclass, jint code, jboolean allUsers)
{
    SHGetFolderPathFn getFolderPath = chooseFolderFunction();
    if (!getFolderPath)
        return NULL;
    wchar_t* buffer = static_cast<wchar_t*>(calloc(kFolderUnits, sizeof(wchar_t)));
    if (!buffer)
        return NULL;
    const HRESULT result =
        getFolderPath(NULL, csidlFor(code, allUsers != JNI_FALSE) | CSIDL_FLAG_CREATE, NULL, SHGFP_TYPE_CURRENT, buffer);
    buffer[kFolderUnits - 1] = 0;
    jstring folder = resultOf(env, result == S_OK, buffer);
    free(buffer);
    return folder;
}

JNIEXPORT jstring JNICALL OSTRA_JNI(FolderInfo, getPathFromRegistry0)(JNIEnv* env, jclass, jstring valueName)
{
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Microsoft\\Windows\\CurrentVersion", 0, KEY_QUERY_VALUE, &key)
        != ERROR_SUCCESS)
        return NULL;
    const DWORD capacity = 32767;
    // One more unit than the value may fill, so the text always ends.
    wchar_t* buffer = static_cast<wchar_t*>(calloc(capacity / sizeof(wchar_t) + 2, sizeof(wchar_t)));
    wchar_t* name = ostra::newWide(env, valueName);
    DWORD size = capacity;
    const bool ok = buffer
        && RegQueryValueExW(key, name, NULL, NULL, reinterpret_cast<BYTE*>(buffer), &size) == ERROR_SUCCESS;
    RegCloseKey(key);
    ostra::freeWide(name);
    jstring path = resultOf(env, ok, buffer);
    free(buffer);
    return path;
}

JNIEXPORT jstring JNICALL OSTRA_JNI(FolderInfo, getWindowsDirectory0)(JNIEnv* env, jclass)
{
    DirectoryFn systemWindows =
        reinterpret_cast<DirectoryFn>(ostra::loadedFunction(L"Kernel32.DLL", "GetSystemWindowsDirectoryW"));
    return directoryOf(env, systemWindows, GetWindowsDirectoryW);
}

JNIEXPORT jstring JNICALL OSTRA_JNI(FolderInfo, getSystemDirectory0)(JNIEnv* env, jclass)
{
    return directoryOf(env, GetSystemDirectoryW, NULL);
}

JNIEXPORT jint JNICALL OSTRA_JNI(FolderInfo, getDriveType0)(JNIEnv* env, jclass, jstring root)
{
    wchar_t* path = ostra::newWide(env, root);
    const UINT type = GetDriveTypeW(path);
    ostra::freeWide(path);
    return static_cast<jint>(type);
}

JNIEXPORT jstring JNICALL OSTRA_JNI(FolderInfo, getShortPathName0)(JNIEnv* env, jclass, jstring path)
{
    wchar_t* longPath = ostra::newWide(env, path);
    wchar_t* buffer = static_cast<wchar_t*>(calloc(kLongPathUnits, sizeof(wchar_t)));
    DWORD length = 0;
    if (longPath && buffer)
        length = GetShortPathNameW(longPath, buffer, kLongPathUnits);
    jstring result = length != 0 && length < kLongPathUnits ? ostra::newJavaString(env, buffer) : path;
    free(buffer);
    ostra::freeWide(longPath);
    return result;
}

JNIEXPORT jstring JNICALL OSTRA_JNI(FolderInfo, getDownloadsDirectory0)(JNIEnv* env, jclass)
{
    if (!knownFolderFunction)
        knownFolderFunction =
            reinterpret_cast<SHGetKnownFolderPathFn>(ostra::loadedFunction(L"shell32.dll", "SHGetKnownFolderPath"));
    if (!knownFolderFunction)
        return NULL;
    // {374DE290-123F-4565-9164-39C4925E467B}
    static const GUID kDownloads = {0x374de290, 0x123f, 0x4565, {0x91, 0x64, 0x39, 0xc4, 0x92, 0x5e, 0x46, 0x7b}};
    PWSTR path = NULL;
    if (knownFolderFunction(kDownloads, 0, NULL, &path) != S_OK) {
        CoTaskMemFree(path);
        return NULL;
    }
    jstring result = ostra::newJavaString(env, path);
    CoTaskMemFree(path);
    return result;
}

} // extern "C"
