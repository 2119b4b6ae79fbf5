// Registry methods against a scratch key under HKEY_CURRENT_USER that each
// test creates and removes.
#include "harness.h"

#include <string.h>

#include <algorithm>
#include <functional>

using namespace harness;

namespace {

typedef jboolean(JNICALL* KeyFn)(JNIEnv*, jclass, jint, jstring, jint);
typedef jobject(JNICALL* GetValueFn)(JNIEnv*, jclass, jint, jstring, jstring, jint);
typedef jboolean(JNICALL* SetValueFn)(JNIEnv*, jclass, jint, jstring, jstring, jobject, jint, jint);
typedef void(JNICALL* DeleteValueFn)(JNIEnv*, jclass, jint, jstring, jstring, jint);
typedef void(JNICALL* DeleteKeyFn)(JNIEnv*, jclass, jint, jstring, jboolean, jint);
typedef jboolean(JNICALL* FileFn)(JNIEnv*, jclass, jint, jstring, jstring, jint);
typedef jobjectArray(JNICALL* ListFn)(JNIEnv*, jclass, jint, jstring, jint);

const jint HKCU = 2;

// A fresh key HKCU\Software\OstraTest\<n>, removed again at the end of scope.
// What an interrupted run left under the same name goes first.
class ScratchKey
{
public:
    ScratchKey()
    {
        static int counter = 0;
        path = L"Software\\OstraTest\\" + std::to_wstring(++counter);
        RegDeleteTreeW(HKEY_CURRENT_USER, path.c_str());
        RegCreateKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, NULL, 0, KEY_ALL_ACCESS, NULL, &key, NULL);
    }
    ~ScratchKey()
    {
        RegCloseKey(key);
        RegDeleteTreeW(HKEY_CURRENT_USER, path.c_str());
    }
    jstring java() { return vm().string(path.c_str()); }
    jstring java(const wchar_t* subkey) { return vm().string((path + L"\\" + subkey).c_str()); }
    void setRaw(const wchar_t* name, DWORD type, const void* data, DWORD size)
    {
        RegSetValueExW(key, name, 0, type, static_cast<const BYTE*>(data), size);
    }
    DWORD rawSize(const wchar_t* name, DWORD* type = nullptr)
    {
        DWORD size = 0;
        return RegQueryValueExW(key, name, NULL, type, NULL, &size) == ERROR_SUCCESS ? size : DWORD(-1);
    }
    bool exists(const wchar_t* subkey)
    {
        HKEY opened;
        if (RegOpenKeyExW(key, subkey, 0, KEY_READ, &opened) != ERROR_SUCCESS)
            return false;
        RegCloseKey(opened);
        return true;
    }

    std::wstring path;
    HKEY key = NULL;
};

auto getValue() { return bind<GetValueFn>("Registry", "getValue0", 24); }
auto setValue() { return bind<SetValueFn>("Registry", "setValue0", 32); }

jobject read(ScratchKey& key, const wchar_t* name)
{
    return getValue()(env(), nullptr, HKCU, key.java(), name ? vm().string(name) : nullptr, 0);
}

std::vector<std::u16string> stringArray(jobject array)
{
    std::vector<std::u16string> texts;
    fakejvm::Object* object = fakejvm::Vm::object(array);
    if (!object || object->kind != fakejvm::ObjectArray)
        return texts;
    for (fakejvm::Object* item : object->items)
        texts.push_back(item ? item->text : u(L"<null>"));
    return texts;
}

// The library's own C heap fails after `allowed` more allocations while
// this lives; refused() tells whether it refused any.
class FailingNativeHeap
{
public:
    explicit FailingNativeHeap(int allowed)
        : m_malloc("malloc", reinterpret_cast<void*>(&failingMalloc))
        , m_realloc("realloc", reinterpret_cast<void*>(&failingRealloc))
    {
        s_left = allowed;
        s_refused = false;
    }
    ~FailingNativeHeap() { s_left = -1; }
    bool applied() const { return m_malloc.applied() && m_realloc.applied(); }
    static bool refused() { return s_refused; }

private:
    static bool grant()
    {
        if (s_left == 0) {
            s_refused = true;
            return false;
        }
        if (s_left > 0)
            --s_left;
        return true;
    }
    static void* __cdecl failingMalloc(size_t size) { return grant() ? malloc(size) : nullptr; }
    static void* __cdecl failingRealloc(void* block, size_t size) { return grant() ? realloc(block, size) : nullptr; }
    static int s_left;
    static bool s_refused;
    ImportPatch m_malloc;
    ImportPatch m_realloc;
};
int FailingNativeHeap::s_left = -1;
bool FailingNativeHeap::s_refused = false;

// A key that may be read but not written, as with an access-control entry
// that denies KEY_SET_VALUE.
LONG WINAPI openDeniedForWriting(HKEY parent, LPCWSTR name, DWORD options, REGSAM access, PHKEY key)
{
    if (access & KEY_SET_VALUE)
        return ERROR_ACCESS_DENIED;
    return RegOpenKeyExW(parent, name, options, access, key);
}

// What restoreKey0 hands to RegRestoreKeyW. Wine restores nothing and
// reports success, so the call is recorded and answered here instead.
struct RestoreCall
{
    HKEY key = NULL;
    std::wstring file;
    DWORD flags = 0xFFFFFFFF;
    LONG answer = ERROR_SUCCESS;
};
RestoreCall g_restore;
LONG WINAPI recordRestore(HKEY key, LPCWSTR file, DWORD flags)
{
    g_restore.key = key;
    g_restore.file = file ? file : L"<null>";
    g_restore.flags = flags;
    // Marks the key it was given, so the test sees which key that was.
    RegSetValueExW(key, L"restored", 0, REG_SZ, reinterpret_cast<const BYTE*>(L"yes"), 8);
    return g_restore.answer;
}

} // namespace

TEST_CASE(Registry, everyTypeIsWrittenAndReadBack)
{
    ScratchKey key;
    auto set = setValue();
    CHECK(set(env(), nullptr, HKCU, key.java(), vm().string(L"text"), vm().string(L"h\u00e9llo"), 1, 0));
    CHECK(set(env(), nullptr, HKCU, key.java(), vm().string(L"number"), vm().integer(-123456), 2, 0));
    CHECK(set(env(), nullptr, HKCU, key.java(), vm().string(L"list"), vm().strings({u(L"a"), u(L"bc")}), 3, 0));
    CHECK(set(env(), nullptr, HKCU, key.java(), vm().string(L"bytes"), vm().bytes({1, 0, -1}), 4, 0));
    CHECK(set(env(), nullptr, HKCU, key.java(), vm().string(L"expand"), vm().string(L"%TEMP%\\x"), 5, 0));
    CHECK(set(env(), nullptr, HKCU, key.java(), nullptr, vm().string(L"default"), 1, 0));
    CHECK(!set(env(), nullptr, HKCU, key.java(), vm().string(L"unknown"), vm().string(L"x"), 6, 0));
    CHECK_EQ(key.rawSize(L"unknown"), DWORD(-1));

    CHECK_EQ(fakejvm::Vm::text(read(key, L"text")), u(L"h\u00e9llo"));
    fakejvm::Object* number = fakejvm::Vm::object(read(key, L"number"));
    REQUIRE(number && number->className == "java/lang/Integer");
    CHECK_EQ(number->intValue, -123456);
    CHECK(stringArray(read(key, L"list")) == (std::vector<std::u16string>{u(L"a"), u(L"bc")}));
    fakejvm::Object* bytes = fakejvm::Vm::object(read(key, L"bytes"));
    REQUIRE(bytes && bytes->kind == fakejvm::ByteArray);
    CHECK(bytes->bytes == (std::vector<jbyte>{1, 0, -1}));
    fakejvm::Object* expand = fakejvm::Vm::object(read(key, L"expand"));
    REQUIRE(expand && expand->className == "com/ostrakit/api/windows/WinRegistry$ExpandString");
    REQUIRE(expand->items.size() == 1);
    CHECK_EQ(expand->items[0]->text, u(L"%TEMP%\\x"));
    CHECK_EQ(fakejvm::Vm::text(read(key, nullptr)), u(L"default"));
    CHECK(read(key, L"missing") == nullptr);

    DWORD type = 0;
    CHECK_EQ(key.rawSize(L"text", &type), DWORD(12));
    CHECK_EQ(type, DWORD(REG_SZ));
    CHECK_EQ(key.rawSize(L"list", &type), DWORD(12));
    CHECK_EQ(type, DWORD(REG_MULTI_SZ));
}

TEST_CASE(Registry, stringTerminationCases)
{
    ScratchKey key;
    key.setRaw(L"withNul", REG_SZ, L"abc", 8);
    key.setRaw(L"withoutNul", REG_SZ, L"abc", 6);
    key.setRaw(L"empty2", REG_SZ, L"", 2);
    key.setRaw(L"empty0", REG_SZ, L"", 0);
    key.setRaw(L"innerNul", REG_SZ, L"a\0b", 8);
    key.setRaw(L"odd", REG_SZ, "a\0b", 3);
    CHECK_EQ(fakejvm::Vm::text(read(key, L"withNul")), u(L"abc"));
    CHECK_EQ(fakejvm::Vm::text(read(key, L"withoutNul")), u(L"abc"));
    CHECK_EQ(fakejvm::Vm::text(read(key, L"empty2")), std::u16string());
    CHECK(read(key, L"empty0") != nullptr);
    CHECK_EQ(fakejvm::Vm::text(read(key, L"empty0")), std::u16string());
    CHECK_EQ(fakejvm::Vm::text(read(key, L"innerNul")), std::u16string(u"a\0b", 3));
    CHECK_EQ(fakejvm::Vm::text(read(key, L"odd")), u(L"a"));
}

TEST_CASE(Registry, multiStringCases)
{
    ScratchKey key;
    key.setRaw(L"ab", REG_MULTI_SZ, L"a\0b\0", 10);
    key.setRaw(L"two", REG_MULTI_SZ, L"", 2);
    key.setRaw(L"zero", REG_MULTI_SZ, L"", 0);
    key.setRaw(L"innerEmpty", REG_MULTI_SZ, L"a\0\0b\0", 12);
    // Malformed: the last string and the list lack their NULs. Only the
    // returned data may be read.
    key.setRaw(L"unterminated", REG_MULTI_SZ, L"a\0bcd", 10);
    key.setRaw(L"noNulAtAll", REG_MULTI_SZ, L"xyz", 6);
    CHECK(stringArray(read(key, L"ab")) == (std::vector<std::u16string>{u(L"a"), u(L"b")}));
    CHECK(read(key, L"two") != nullptr);
    CHECK(stringArray(read(key, L"two")).empty());
    CHECK(read(key, L"zero") != nullptr);
    CHECK(stringArray(read(key, L"zero")).empty());
    CHECK(stringArray(read(key, L"innerEmpty")) == (std::vector<std::u16string>{u(L"a"), u(L""), u(L"b")}));
    CHECK(stringArray(read(key, L"unterminated")) == (std::vector<std::u16string>{u(L"a"), u(L"bcd")}));
    CHECK(stringArray(read(key, L"noNulAtAll")) == (std::vector<std::u16string>{u(L"xyz")}));
}

TEST_CASE(Registry, dwordShorterThanFourBytes)
{
    ScratchKey key;
    const BYTE two[] = {0x34, 0x12};
    key.setRaw(L"short", REG_DWORD, two, 2);
    REQUIRE(key.rawSize(L"short") == 2);
    fakejvm::Object* value = fakejvm::Vm::object(read(key, L"short"));
    REQUIRE(value != nullptr);
    CHECK_EQ(value->intValue, 0x1234);
}

TEST_CASE(Registry, sizeLimits)
{
    ScratchKey key;
    auto set = setValue();
    std::u16string long60000(60000, u'x');
    long60000[49998] = u'L';
    CHECK(set(env(), nullptr, HKCU, key.java(), vm().string(L"long"), vm().string(long60000), 1, 0));
    CHECK_EQ(key.rawSize(L"long"), DWORD(100000));
    CHECK_EQ(fakejvm::Vm::text(read(key, L"long")), long60000.substr(0, 49999));

    std::vector<jbyte> big(200000, 7);
    big[99999] = 9;
    CHECK(set(env(), nullptr, HKCU, key.java(), vm().string(L"big"), vm().bytes(big), 4, 0));
    CHECK_EQ(key.rawSize(L"big"), DWORD(100000));
    fakejvm::Object* bytes = fakejvm::Vm::object(read(key, L"big"));
    REQUIRE(bytes);
    CHECK_EQ(bytes->bytes.size(), size_t(100000));
    CHECK_EQ(bytes->bytes[99999], jbyte(9));

    // A value larger than the buffer reads as null.
    std::vector<BYTE> huge(100002, 1);
    key.setRaw(L"huge", REG_BINARY, huge.data(), static_cast<DWORD>(huge.size()));
    CHECK(read(key, L"huge") == nullptr);

    // Multi-strings: each element with its NUL and the list's final NUL must
    // stay within 50000 units; the largest list fills the 100000-byte buffer.
    const std::u16string a(24999, u'm');
    const std::u16string b(24998, u'n');
    CHECK(set(env(), nullptr, HKCU, key.java(), vm().string(L"fits"), vm().strings({a, b}), 3, 0));
    CHECK_EQ(key.rawSize(L"fits"), DWORD(100000));
    CHECK(!set(env(), nullptr, HKCU, key.java(), vm().string(L"toolong"), vm().strings({a, b + u"n"}), 3, 0));
    CHECK_EQ(key.rawSize(L"toolong"), DWORD(-1));
}

TEST_CASE(Registry, emptyStringInMultiStringArrayIsRefused)
{
    ScratchKey key;
    CHECK(!setValue()(env(), nullptr, HKCU, key.java(), vm().string(L"m"), vm().strings({u(L"a"), u(L""), u(L"b")}),
                      3, 0));
    CHECK_EQ(key.rawSize(L"m"), DWORD(-1));
    CHECK(setValue()(env(), nullptr, HKCU, key.java(), vm().string(L"none"), vm().strings({}), 3, 0));
    CHECK_EQ(key.rawSize(L"none"), DWORD(2));
}

TEST_CASE(Registry, missingClassesGiveNullWithNothingPending)
{
    ScratchKey key;
    key.setRaw(L"e", REG_EXPAND_SZ, L"%PATH%", 14);
    key.setRaw(L"n", REG_DWORD, "\1\0\0\0", 4);
    vm().setMissingClass("com/ostrakit/api/windows/WinRegistry$ExpandString");
    CHECK(read(key, L"e") == nullptr);
    CHECK(!vm().exceptionPending());
    vm().clearMissingClasses();
    vm().setMissingClass("java/lang/Integer");
    CHECK(read(key, L"n") == nullptr);
    CHECK(!vm().exceptionPending());
    CHECK(!setValue()(env(), nullptr, HKCU, key.java(), vm().string(L"m"), vm().integer(5), 2, 0));
    CHECK(!vm().exceptionPending());
    vm().clearMissingClasses();
    CHECK_EQ(key.rawSize(L"m"), DWORD(-1));
}

// Every allocation point of a call, made to fail in turn: the call stops
// there with the OutOfMemoryError pending and no further JNI call, and a
// value name whose copy failed never stands for the default value.
// Allocations fail in the VM's heap or in the library's own: each call
// either completes or returns null with an OutOfMemoryError pending, and
// never touches a value it was not asked to.
TEST_CASE(Registry, failedAllocationsStopTheCall)
{
    ScratchKey key;
    key.setRaw(NULL, REG_SZ, L"d", 4);
    key.setRaw(L"x", REG_SZ, L"x", 4);
    key.setRaw(L"list", REG_MULTI_SZ, L"a\0bc\0\0", 10);
    HKEY child;
    REQUIRE(RegCreateKeyExW(key.key, L"child", 0, NULL, 0, KEY_ALL_ACCESS, NULL, &child, NULL) == ERROR_SUCCESS);
    RegCloseKey(child);
    auto deleteValue = bind<DeleteValueFn>("Registry", "deleteValue0", 24);
    auto enumValues = bind<ListFn>("Registry", "enumValues0", 20);
    auto enumSubKeys = bind<ListFn>("Registry", "enumSubKeys0", 20);
    auto environment = bind<jobjectArray(JNICALL*)(JNIEnv*, jclass)>("Misc", "getEnvVarPairs0", 8);
    auto modules = bind<jobjectArray(JNICALL*)(JNIEnv*, jclass, jboolean)>("Misc", "getRunningModules0", 12);
    const size_t variables = texts(environment(env(), nullptr)).size();
    // Each returns true when it completed with the whole result.
    const std::function<bool()> calls[] = {
        [&] { return stringArray(read(key, L"list")).size() == 2; },
        [&] { return stringArray(enumValues(env(), nullptr, HKCU, key.java(), 0)).size() == 3; },
        [&] { return stringArray(enumSubKeys(env(), nullptr, HKCU, key.java(), 0)).size() == 1; },
        [&] { return texts(environment(env(), nullptr)).size() == variables; },
        [&] { return modules(env(), nullptr, JNI_TRUE) != nullptr; },
        [&] {
            return setValue()(env(), nullptr, HKCU, key.java(), vm().string(L"x"), vm().strings({u(L"p"), u(L"q")}),
                              3, 0) != JNI_FALSE;
        },
        [&] {
            deleteValue(env(), nullptr, HKCU, key.java(), vm().string(L"x"), 0);
            return key.rawSize(L"x") == DWORD(-1);
        },
    };
    for (const auto& call : calls) {
        for (bool nativeHeap : {false, true}) {
            for (int allowed = 0; allowed < 8; ++allowed) {
                bool done;
                bool refused = false;
                vm().thrownClasses.clear();
                if (nativeHeap) {
                    FailingNativeHeap heap(allowed);
                    REQUIRE(heap.applied());
                    done = call();
                    refused = FailingNativeHeap::refused();
                } else {
                    vm().failAllocationsAfter(allowed);
                    done = call();
                    vm().failAllocationsAfter(-1);
                }
                const std::string where = std::string(nativeHeap ? "native" : "VM") + " heap, after "
                    + std::to_string(allowed) + " allocations";
                if (done == vm().exceptionPending() || (refused && done))
                    fail(__FILE__, __LINE__, where + ": neither completed nor failed with an error pending");
                if (refused && !vm().thrownClasses.empty())
                    CHECK_EQ(vm().thrownClasses.back(), std::string("java/lang/OutOfMemoryError"));
                vm().clearException();
                for (const std::string& misuse : vm().takeMisuse())
                    fail(__FILE__, __LINE__, where + ": " + misuse);
                CHECK_EQ(key.rawSize(NULL), DWORD(4));
                key.setRaw(L"x", REG_SZ, L"x", 4);
            }
        }
    }
}

// A scratch key stands in for the whole of HKEY_CURRENT_USER, so that a
// deletion that reached the root would remove only what the test made.
TEST_CASE(Registry, deleteKeyWithoutAPathDeletesNothing)
{
    ScratchKey key;
    HKEY canary;
    REQUIRE(RegCreateKeyExW(key.key, L"canary\\below", 0, NULL, 0, KEY_ALL_ACCESS, NULL, &canary, NULL)
            == ERROR_SUCCESS);
    RegCloseKey(canary);
    REQUIRE(RegOverridePredefKey(HKEY_CURRENT_USER, key.key) == ERROR_SUCCESS);
    auto deleteKey = bind<DeleteKeyFn>("Registry", "deleteKey0", 24);
    for (jboolean onlyIfEmpty : {JNI_FALSE, JNI_TRUE}) {
        deleteKey(env(), nullptr, HKCU, nullptr, onlyIfEmpty, 0);
        deleteKey(env(), nullptr, HKCU, vm().string(L""), onlyIfEmpty, 0);
        vm().failAllocationsAfter(0);
        deleteKey(env(), nullptr, HKCU, vm().string(L"canary"), onlyIfEmpty, 0);
        vm().failAllocationsAfter(-1);
        vm().clearException();
    }
    RegOverridePredefKey(HKEY_CURRENT_USER, NULL);
    CHECK(key.exists(L"canary\\below"));
}

TEST_CASE(Registry, deleteKeyOnlyIfEmptyAndWholeTrees)
{
    ScratchKey key;
    auto deleteKey = bind<DeleteKeyFn>("Registry", "deleteKey0", 24);
    auto createKey = bind<KeyFn>("Registry", "createKey0", 20);
    auto keyExists = bind<KeyFn>("Registry", "keyExists0", 20);
    CHECK(createKey(env(), nullptr, HKCU, key.java(L"tree\\a\\deep\\deeper"), 0));
    CHECK(createKey(env(), nullptr, HKCU, key.java(L"tree\\b"), 0));
    CHECK(createKey(env(), nullptr, HKCU, key.java(L"tree\\c\\x"), 0));
    CHECK(createKey(env(), nullptr, HKCU, key.java(L"valued"), 0));
    CHECK(setValue()(env(), nullptr, HKCU, key.java(L"valued"), vm().string(L"v"), vm().string(L"1"), 1, 0));
    CHECK(createKey(env(), nullptr, HKCU, key.java(L"empty"), 0));

    deleteKey(env(), nullptr, HKCU, key.java(L"valued"), JNI_TRUE, 0);
    CHECK(key.exists(L"valued"));
    CHECK(fakejvm::Vm::text(getValue()(env(), nullptr, HKCU, key.java(L"valued"), vm().string(L"v"), 0)) == u(L"1"));
    deleteKey(env(), nullptr, HKCU, key.java(L"tree"), JNI_TRUE, 0);
    CHECK(key.exists(L"tree"));
    deleteKey(env(), nullptr, HKCU, key.java(L"empty"), JNI_TRUE, 0);
    CHECK(!key.exists(L"empty"));

    deleteKey(env(), nullptr, HKCU, key.java(L"tree"), JNI_FALSE, 0);
    CHECK(!key.exists(L"tree"));
    CHECK(!keyExists(env(), nullptr, HKCU, key.java(L"tree\\a\\deep"), 0));
    deleteKey(env(), nullptr, HKCU, key.java(L"valued"), JNI_FALSE, 0);
    CHECK(!key.exists(L"valued"));
    // A key that does not exist: nothing happens.
    deleteKey(env(), nullptr, HKCU, key.java(L"never"), JNI_TRUE, 0);

    // A key that may be read but not written cannot be checked for
    // emptiness: it stays, with all below it.
    CHECK(createKey(env(), nullptr, HKCU, key.java(L"guarded\\below"), 0));
    {
        ImportPatch denied("RegOpenKeyExW", reinterpret_cast<void*>(&openDeniedForWriting));
        REQUIRE(denied.applied());
        deleteKey(env(), nullptr, HKCU, key.java(L"guarded"), JNI_TRUE, 0);
    }
    CHECK(key.exists(L"guarded\\below"));
}

TEST_CASE(Registry, unknownRootCodes)
{
    ScratchKey key;
    auto keyExists = bind<KeyFn>("Registry", "keyExists0", 20);
    auto createKey = bind<KeyFn>("Registry", "createKey0", 20);
    auto deleteKey = bind<DeleteKeyFn>("Registry", "deleteKey0", 24);
    CHECK(keyExists(env(), nullptr, HKCU, key.java(), 0));
    for (jint root : {0, 6}) {
        CHECK(!keyExists(env(), nullptr, root, key.java(), 0));
        CHECK(!createKey(env(), nullptr, root, key.java(L"x"), 0));
        deleteKey(env(), nullptr, root, key.java(), JNI_FALSE, 0);
        CHECK(getValue()(env(), nullptr, root, key.java(), nullptr, 0) == nullptr);
    }
    CHECK(keyExists(env(), nullptr, HKCU, key.java(), 0));
    CHECK(!key.exists(L"x"));
}

TEST_CASE(Registry, listingKeysAndValues)
{
    ScratchKey key;
    auto enumSubKeys = bind<ListFn>("Registry", "enumSubKeys0", 20);
    auto enumValues = bind<ListFn>("Registry", "enumValues0", 20);
    auto createKey = bind<KeyFn>("Registry", "createKey0", 20);
    CHECK(stringArray(enumSubKeys(env(), nullptr, HKCU, key.java(), 0)).empty());
    CHECK(enumSubKeys(env(), nullptr, HKCU, key.java(), 0) != nullptr);
    CHECK(createKey(env(), nullptr, HKCU, key.java(L"one"), 0));
    CHECK(createKey(env(), nullptr, HKCU, key.java(L"two"), 0));
    key.setRaw(L"alpha", REG_SZ, L"", 2);
    key.setRaw(L"beta", REG_DWORD, "\1\0\0\0", 4);
    std::vector<std::u16string> keys = stringArray(enumSubKeys(env(), nullptr, HKCU, key.java(), 0));
    CHECK(keys == (std::vector<std::u16string>{u(L"one"), u(L"two")}));
    std::vector<std::u16string> values = stringArray(enumValues(env(), nullptr, HKCU, key.java(), 0));
    CHECK(values.size() == 2);
    CHECK(enumValues(env(), nullptr, HKCU, key.java(L"missing"), 0) == nullptr);

    // Far more names than JNI's 16 guaranteed local references, and one name
    // too long for the listing's buffer, which is left out.
    for (int i = 0; i < 300; ++i)
        key.setRaw((L"v" + std::to_wstring(i)).c_str(), REG_SZ, L"", 2);
    key.setRaw(std::wstring(5000, L'n').c_str(), REG_SZ, L"", 2);
    values = stringArray(enumValues(env(), nullptr, HKCU, key.java(), 0));
    CHECK_EQ(values.size(), size_t(302));
    CHECK(std::find(values.begin(), values.end(), u(L"v299")) != values.end());
}

namespace {
struct Listing
{
    Native<ListFn> list;
    bool done = false;
};

DWORD WINAPI listCurrentUserRoot(void* parameter)
{
    Listing* listing = static_cast<Listing*>(parameter);
    listing->list(env(), nullptr, HKCU, nullptr, 0);
    listing->done = true;
    return 0;
}
} // namespace

// A key deleted while it is listed: every further entry fails with another
// status than "no more items", and the listing must end there.
TEST_CASE(Registry, listingEndsWhenTheKeyIsDeleted)
{
    ScratchKey key;
    HKEY doomed;
    REQUIRE(RegCreateKeyExW(key.key, L"doomed", 0, NULL, 0, KEY_ALL_ACCESS, NULL, &doomed, NULL) == ERROR_SUCCESS);
    RegSetValueExW(doomed, L"v", 0, REG_SZ, reinterpret_cast<const BYTE*>(L""), 2);
    HKEY child;
    RegCreateKeyExW(doomed, L"child", 0, NULL, 0, KEY_ALL_ACCESS, NULL, &child, NULL);
    RegCloseKey(child);
    RegDeleteTreeW(key.key, L"doomed");
    wchar_t name[16];
    DWORD length = 16;
    CHECK_EQ(RegEnumValueW(doomed, 0, name, &length, NULL, NULL, NULL, NULL), LONG(ERROR_KEY_DELETED));
    // The open handle of the deleted key stands in for HKEY_CURRENT_USER.
    REQUIRE(RegOverridePredefKey(HKEY_CURRENT_USER, doomed) == ERROR_SUCCESS);
    for (const char* method : {"enumValues0", "enumSubKeys0"}) {
        Listing listing{bind<ListFn>("Registry", method, 20)};
        HANDLE thread = CreateThread(NULL, 0, listCurrentUserRoot, &listing, 0, NULL);
        WaitForSingleObject(thread, 20000);
        CloseHandle(thread);
        if (!listing.done)
            fail(__FILE__, __LINE__, std::string(method) + " goes on listing a deleted key");
    }
    RegOverridePredefKey(HKEY_CURRENT_USER, NULL);
    RegCloseKey(doomed);
}

// HKLM\Software is seen differently by the two views: a key made through
// one view lies where that view keeps it, and only there.
TEST_CASE(Registry, viewFlagsChooseTheView)
{
    const jint HKLM = 3;
    const std::wstring name = L"OstraView";
    const std::wstring in64 = L"Software\\" + name;
    const std::wstring in32 = L"Software\\Wow6432Node\\" + name;
    for (REGSAM view : {KEY_WOW64_32KEY, KEY_WOW64_64KEY}) { // what an interrupted run left
        RegDeleteKeyExW(HKEY_LOCAL_MACHINE, (in64 + L"\\child").c_str(), view, 0);
        RegDeleteKeyExW(HKEY_LOCAL_MACHINE, in64.c_str(), view, 0);
    }
    auto rawExists = [](const std::wstring& path) {
        HKEY key;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ | KEY_WOW64_64KEY, &key) != ERROR_SUCCESS)
            return false;
        RegCloseKey(key);
        return true;
    };
    auto createKey = bind<KeyFn>("Registry", "createKey0", 20);
    auto keyExists = bind<KeyFn>("Registry", "keyExists0", 20);
    auto deleteKey = bind<DeleteKeyFn>("Registry", "deleteKey0", 24);
    const jstring path = vm().string((in64 + L"\\child").c_str());
    const jstring top = vm().string(in64.c_str());
    for (jint view : {KEY_WOW64_32KEY, KEY_WOW64_64KEY}) {
        const jint other = view == KEY_WOW64_32KEY ? KEY_WOW64_64KEY : KEY_WOW64_32KEY;
        const std::wstring& where = view == KEY_WOW64_32KEY ? in32 : in64;
        const std::wstring& elsewhere = view == KEY_WOW64_32KEY ? in64 : in32;
        REQUIRE(createKey(env(), nullptr, HKLM, path, view));
        CHECK(rawExists(where + L"\\child"));
        CHECK(!rawExists(elsewhere));
        CHECK(keyExists(env(), nullptr, HKLM, path, view));
        CHECK(!keyExists(env(), nullptr, HKLM, path, other));
        CHECK(setValue()(env(), nullptr, HKLM, top, vm().string(L"v"), vm().integer(1), 2, view));
        CHECK(getValue()(env(), nullptr, HKLM, top, vm().string(L"v"), view) != nullptr);
        CHECK(getValue()(env(), nullptr, HKLM, top, vm().string(L"v"), other) == nullptr);
        // With view flags the deletion goes through RegDeleteKeyExW.
        deleteKey(env(), nullptr, HKLM, top, JNI_FALSE, view);
        CHECK(!rawExists(where));
    }
}

TEST_CASE(Registry, deleteValue)
{
    ScratchKey key;
    auto deleteValue = bind<DeleteValueFn>("Registry", "deleteValue0", 24);
    key.setRaw(L"gone", REG_SZ, L"x", 4);
    key.setRaw(NULL, REG_SZ, L"d", 4);
    deleteValue(env(), nullptr, HKCU, key.java(), vm().string(L"gone"), 0);
    CHECK_EQ(key.rawSize(L"gone"), DWORD(-1));
    deleteValue(env(), nullptr, HKCU, key.java(), nullptr, 0);
    CHECK_EQ(key.rawSize(NULL), DWORD(-1));
    deleteValue(env(), nullptr, HKCU, key.java(L"missing"), vm().string(L"x"), 0);
}

TEST_CASE(Registry, saveAndRestore)
{
    ScratchKey key;
    ScratchKey target;
    auto saveKey = bind<FileFn>("Registry", "saveKey0", 24);
    auto restoreKey = bind<FileFn>("Registry", "restoreKey0", 24);
    key.setRaw(L"saved", REG_SZ, L"yes", 8);
    wchar_t file[MAX_PATH];
    GetTempPathW(MAX_PATH, file);
    wcscat(file, L"ostra-hive.dat");
    DeleteFileW(file);
    CHECK(saveKey(env(), nullptr, HKCU, key.java(), vm().string(file), 0));
    WIN32_FILE_ATTRIBUTE_DATA saved = {};
    CHECK(GetFileAttributesExW(file, GetFileExInfoStandard, &saved) && saved.nFileSizeLow > 0);
    DeleteFileW(file);

    ImportPatch restore("RegRestoreKeyW", reinterpret_cast<void*>(&recordRestore));
    REQUIRE(restore.applied());
    for (LONG answer : {LONG(ERROR_SUCCESS), LONG(ERROR_REGISTRY_CORRUPT)}) {
        g_restore = RestoreCall();
        g_restore.answer = answer;
        RegDeleteValueW(target.key, L"restored");
        const jboolean restored =
            restoreKey(env(), nullptr, HKCU, target.java(L"inner"), vm().string(L"C:\\hive \u00e9.dat"), 0);
        CHECK_EQ(restored == JNI_TRUE, answer == ERROR_SUCCESS);
        CHECK_EQ(g_restore.file, std::wstring(L"C:\\hive \u00e9.dat"));
        CHECK_EQ(g_restore.flags, DWORD(0));
        CHECK(target.exists(L"inner")); // made when missing
        HKEY inner;
        REQUIRE(RegOpenKeyExW(target.key, L"inner", 0, KEY_READ, &inner) == ERROR_SUCCESS);
        DWORD size = 0;
        CHECK(RegQueryValueExW(inner, L"restored", NULL, NULL, NULL, &size) == ERROR_SUCCESS);
        RegCloseKey(inner);
        RegDeleteKeyW(target.key, L"inner");
    }
}
