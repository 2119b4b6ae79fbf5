// Special folders, Windows directories, drive types, short paths and file
// version comparison (with DLLs of ours that carry version resources).
#include "harness.h"

#include <shlobj.h>

using namespace harness;

namespace {

typedef jint(JNICALL* CompareFn)(JNIEnv*, jclass, jstring, jstring);
typedef jstring(JNICALL* SpecialFolderFn)(JNIEnv*, jclass, jint, jboolean);
typedef jstring(JNICALL* NoArgumentFn)(JNIEnv*, jclass);
typedef jstring(JNICALL* StringFn)(JNIEnv*, jclass, jstring);
typedef jint(JNICALL* DriveTypeFn)(JNIEnv*, jclass, jstring);

jint compare(const std::wstring& first, const std::wstring& second)
{
    return bind<CompareFn>("FileVersion", "compare0", 16)(env(), nullptr, vm().string(first.c_str()),
                                                          vm().string(second.c_str()));
}

std::wstring shellFolder(int csidl)
{
    wchar_t path[MAX_PATH] = {};
    return SHGetFolderPathW(NULL, csidl, NULL, SHGFP_TYPE_CURRENT, path) == S_OK ? path : L"<none>";
}

std::wstring specialFolder(jint code, bool allUsers)
{
    return text(bind<SpecialFolderFn>("FolderInfo", "getSpecialFolder0", 16)(env(), nullptr, code,
                                                                             allUsers ? JNI_TRUE : JNI_FALSE));
}

} // namespace

TEST_CASE(FileVersion, comparesFileVersionsAsNumbers)
{
    const std::wstring older = besideHarness(L"versioned_1_2_0_0.dll");
    const std::wstring newer = besideHarness(L"versioned_1_10_0_0.dll");
    const std::wstring none = besideHarness(L"unversioned.dll");
    CHECK_EQ(compare(older, newer), 2); // 1.2 < 1.10: numbers, not text
    CHECK_EQ(compare(newer, older), 1);
    CHECK_EQ(compare(older, older), 0);
    CHECK_EQ(compare(none, older), 3);
    CHECK_EQ(compare(older, none), 3);
    CHECK_EQ(compare(older, besideHarness(L"missing.dll")), 3);
}

TEST_CASE(FolderInfo, specialFolderTableForBothFlags)
{
    struct Row { jint code; int user; int common; };
    const Row rows[] = {
        {1, CSIDL_DESKTOPDIRECTORY, CSIDL_COMMON_DESKTOPDIRECTORY}, {2, CSIDL_STARTMENU, CSIDL_COMMON_STARTMENU},
        {3, CSIDL_PROGRAMS, CSIDL_COMMON_PROGRAMS}, {4, CSIDL_STARTUP, CSIDL_COMMON_STARTUP},
        {5, CSIDL_SENDTO, CSIDL_SENDTO}, {6, CSIDL_FONTS, CSIDL_FONTS}, {7, CSIDL_APPDATA, CSIDL_COMMON_APPDATA},
        {8, CSIDL_PERSONAL, CSIDL_COMMON_DOCUMENTS}, {9, CSIDL_TEMPLATES, CSIDL_COMMON_TEMPLATES},
        {10, CSIDL_FAVORITES, CSIDL_COMMON_FAVORITES}, {11, CSIDL_LOCAL_APPDATA, CSIDL_LOCAL_APPDATA},
        {12, CSIDL_DESKTOP, CSIDL_DESKTOP}, {0, CSIDL_DESKTOP, CSIDL_DESKTOP}, {-1, CSIDL_DESKTOP, CSIDL_DESKTOP},
    };
    for (const Row& row : rows) {
        CHECK_EQ(specialFolder(row.code, false), shellFolder(row.user));
        CHECK_EQ(specialFolder(row.code, true), shellFolder(row.common));
    }
    // Current-user and all-users documents differ.
    CHECK(specialFolder(8, false) != specialFolder(8, true));
}

TEST_CASE(FolderInfo, windowsAndSystemDirectories)
{
    wchar_t expected[MAX_PATH];
    GetWindowsDirectoryW(expected, MAX_PATH);
    CHECK_EQ(text(bind<NoArgumentFn>("FolderInfo", "getWindowsDirectory0", 8)(env(), nullptr)), std::wstring(expected));
    GetSystemDirectoryW(expected, MAX_PATH);
    CHECK_EQ(text(bind<NoArgumentFn>("FolderInfo", "getSystemDirectory0", 8)(env(), nullptr)), std::wstring(expected));
    const std::wstring version = text(
        bind<StringFn>("FolderInfo", "getPathFromRegistry0", 12)(env(), nullptr, vm().string(L"ProgramFilesDir")));
    CHECK(version.size() > 3 && version[1] == L':');
    CHECK(!bind<StringFn>("FolderInfo", "getPathFromRegistry0", 12)(env(), nullptr, vm().string(L"NoSuchValue")));
}

TEST_CASE(FolderInfo, driveTypes)
{
    auto driveType = bind<DriveTypeFn>("FolderInfo", "getDriveType0", 12);
    CHECK_EQ(driveType(env(), nullptr, vm().string(L"C:\\")), 3); // fixed
    CHECK_EQ(driveType(env(), nullptr, vm().string(L"C:\\no\\such\\root\\")), 1);
    CHECK_EQ(driveType(env(), nullptr, vm().string(L"Q:\\")), 1);
}

TEST_CASE(FolderInfo, shortPathOfExistingAndMissingPaths)
{
    auto shortPath = bind<StringFn>("FolderInfo", "getShortPathName0", 12);
    wchar_t dir[MAX_PATH];
    GetTempPathW(MAX_PATH, dir);
    const std::wstring longName = std::wstring(dir) + L"A rather long folder name for short paths";
    CreateDirectoryW(longName.c_str(), NULL);
    jstring argument = vm().string(longName.c_str());
    jstring result = shortPath(env(), nullptr, argument);
    wchar_t expected[MAX_PATH] = {};
    GetShortPathNameW(longName.c_str(), expected, MAX_PATH);
    CHECK_EQ(text(result), std::wstring(expected));
    CHECK(result != argument);
    RemoveDirectoryW(longName.c_str());

    jstring missing = vm().string(L"C:\\no\\such\\folder\\at all");
    CHECK(shortPath(env(), nullptr, missing) == missing); // the same object back
}

TEST_CASE(FolderInfo, downloadsFolder)
{
    PWSTR expected = NULL;
    const GUID downloads = {0x374de290, 0x123f, 0x4565, {0x91, 0x64, 0x39, 0xc4, 0x92, 0x5e, 0x46, 0x7b}};
    REQUIRE(SHGetKnownFolderPath(downloads, 0, NULL, &expected) == S_OK);
    CHECK_EQ(text(bind<NoArgumentFn>("FolderInfo", "getDownloadsDirectory0", 8)(env(), nullptr)), std::wstring(expected));
    CoTaskMemFree(expected);
}
