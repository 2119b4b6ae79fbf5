#include "harness.h"

#include <fcntl.h>
#include <io.h>
#include <stdlib.h>
#include <string.h>

namespace harness {

namespace {
fakejvm::Vm* g_vm = nullptr;
HMODULE g_library = nullptr;
bool g_failed = false;
bool g_expectException = false;
}

std::vector<TestCase>& tests()
{
    static std::vector<TestCase> all;
    return all;
}

void fail(const char* file, int line, const std::string& message)
{
    const char* base = strrchr(file, '/');
    printf("    %s:%d: %s\n", base ? base + 1 : file, line, message.c_str());
    fflush(stdout);
    g_failed = true;
}

std::string show(long long value) { return std::to_string(value); }
std::string show(const std::string& value) { return "\"" + value + "\""; }
std::string show(const void* value)
{
    char text[32];
    snprintf(text, sizeof(text), "%p", value);
    return text;
}
std::string show(const std::u16string& value)
{
    std::string text = "\"";
    for (char16_t c : value) {
        if (c >= 32 && c < 127) {
            text += static_cast<char>(c);
        } else {
            char escape[12];
            snprintf(escape, sizeof(escape), "\\u%04x", static_cast<unsigned>(c));
            text += escape;
        }
    }
    return text + "\"";
}

HMODULE library() { return g_library; }

void* exportAddress(const char* className, const char* method, int argumentBytes)
{
    char name[256];
#ifdef _WIN64
    (void)argumentBytes;
    snprintf(name, sizeof(name), "Java_com_ostrakit_runtime_installer_platform_win32_%s_%s", className, method);
#else
    snprintf(name, sizeof(name), "_Java_com_ostrakit_runtime_installer_platform_win32_%s_%s@%d", className, method,
             argumentBytes);
#endif
    void* address = reinterpret_cast<void*>(GetProcAddress(g_library, name));
    if (!address) {
        fail(__FILE__, __LINE__, std::string("missing export ") + name);
        throw Abort();
    }
    return address;
}

fakejvm::Vm& vm() { return *g_vm; }
JNIEnv* env() { return g_vm->env(); }
void expectPendingException() { g_expectException = true; }

std::u16string u(const wchar_t* text) { return std::u16string(reinterpret_cast<const char16_t*>(text)); }

std::string exePath()
{
    char path[MAX_PATH];
    GetModuleFileNameA(NULL, path, MAX_PATH);
    return path;
}

std::wstring besideHarness(const wchar_t* name)
{
    wchar_t path[MAX_PATH];
    GetModuleFileNameW(NULL, path, MAX_PATH);
    std::wstring dir(path);
    return dir.substr(0, dir.find_last_of(L"\\/") + 1) + name;
}

std::wstring helperProgram(const wchar_t* name)
{
    wchar_t dir[MAX_PATH];
    const DWORD length = GetEnvironmentVariableW(L"OSTRA_HELPER_DIR", dir, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return besideHarness(name);
    std::wstring path(dir);
    if (path.back() != L'\\')
        path += L'\\';
    return path + name;
}

std::string capturedOutput(const std::function<void()>& action)
{
    wchar_t dir[MAX_PATH];
    GetTempPathW(MAX_PATH, dir);
    const std::wstring file = std::wstring(dir) + L"ostra-stdout.txt";
    fflush(stdout);
    const int saved = _dup(1);
    const int target = _wopen(file.c_str(), _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY, 0600);
    _dup2(target, 1);
    action();
    fflush(stdout);
    _dup2(saved, 1);
    _close(target);
    _close(saved);
    std::string output;
    if (FILE* in = _wfopen(file.c_str(), L"rb")) {
        char chunk[256];
        size_t got;
        while ((got = fread(chunk, 1, sizeof chunk, in)) > 0)
            output.append(chunk, got);
        fclose(in);
    }
    DeleteFileW(file.c_str());
    return output;
}

std::wstring text(jobject javaString)
{
    if (!javaString)
        return L"<null>";
    const std::u16string value = fakejvm::Vm::text(javaString);
    return std::wstring(value.begin(), value.end());
}

std::vector<std::wstring> texts(jobject array)
{
    std::vector<std::wstring> result;
    if (fakejvm::Object* object = fakejvm::Vm::object(array))
        for (fakejvm::Object* item : object->items) {
            const std::u16string value = item ? fakejvm::Vm::text(item) : u(L"<null>");
            result.push_back(std::wstring(value.begin(), value.end()));
        }
    return result;
}

namespace {
struct WindowSearch
{
    DWORD processId;
    const wchar_t* title;
    bool visibleOnly;
    HWND found;
};

BOOL CALLBACK matchWindow(HWND window, LPARAM parameter)
{
    WindowSearch* search = reinterpret_cast<WindowSearch*>(parameter);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (search->processId && owner != search->processId)
        return TRUE;
    if (search->visibleOnly && !IsWindowVisible(window))
        return TRUE;
    wchar_t title[256] = {};
    GetWindowTextW(window, title, 256);
    if (wcscmp(title, search->title) != 0)
        return TRUE;
    search->found = window;
    return FALSE;
}
} // namespace

HWND findTopWindow(DWORD processId, const wchar_t* title, bool visibleOnly)
{
    WindowSearch search = {processId, title, visibleOnly, NULL};
    EnumWindows(matchWindow, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

namespace {
void writeSlot(void** slot, void* value)
{
    DWORD protection = 0;
    VirtualProtect(slot, sizeof(void*), PAGE_READWRITE, &protection);
    *slot = value;
    VirtualProtect(slot, sizeof(void*), protection, &protection);
}
} // namespace

ImportPatch::ImportPatch(const char* function, void* replacement)
{
    BYTE* base = reinterpret_cast<BYTE*>(g_library);
    const IMAGE_NT_HEADERS* headers =
        reinterpret_cast<const IMAGE_NT_HEADERS*>(base + reinterpret_cast<const IMAGE_DOS_HEADER*>(base)->e_lfanew);
    const IMAGE_DATA_DIRECTORY& imports = headers->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    for (const IMAGE_IMPORT_DESCRIPTOR* module =
             reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress);
         imports.VirtualAddress && module->Name && !m_slot; ++module) {
        const IMAGE_THUNK_DATA* names = reinterpret_cast<const IMAGE_THUNK_DATA*>(
            base + (module->OriginalFirstThunk ? module->OriginalFirstThunk : module->FirstThunk));
        IMAGE_THUNK_DATA* addresses = reinterpret_cast<IMAGE_THUNK_DATA*>(base + module->FirstThunk);
        for (size_t i = 0; names[i].u1.AddressOfData; ++i) {
            if (IMAGE_SNAP_BY_ORDINAL(names[i].u1.Ordinal))
                continue;
            const IMAGE_IMPORT_BY_NAME* name =
                reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + names[i].u1.AddressOfData);
            if (strcmp(reinterpret_cast<const char*>(name->Name), function) == 0) {
                m_slot = reinterpret_cast<void**>(&addresses[i].u1.Function);
                break;
            }
        }
    }
    if (m_slot) {
        m_original = *m_slot;
        writeSlot(m_slot, replacement);
    }
}

ImportPatch::~ImportPatch()
{
    if (m_slot)
        writeSlot(m_slot, m_original);
}

bool underWine()
{
    return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != NULL;
}

} // namespace harness

using namespace harness;

int main(int argc, char** argv)
{
    bool includeSlow = false;
    // Runs the tests whose names contain any filter before "--except" (all
    // when there is none) and no filter after it; "=Suite.name" is exact.
    std::vector<std::string> filters;
    std::vector<std::string> exceptions;
    bool excepting = false;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--exit-now") == 0)
            return 7; // a child process that ends at once
        if (strcmp(argv[i], "--long") == 0)
            includeSlow = true;
        else if (strcmp(argv[i], "--except") == 0)
            excepting = true;
        else
            (excepting ? exceptions : filters).push_back(argv[i]);
    }
    setvbuf(stdout, NULL, _IONBF, 0);

    std::string dll = exePath();
    dll = dll.substr(0, dll.find_last_of("\\/") + 1) + "ostranative.dll";
    g_library = LoadLibraryA(dll.c_str());
    if (!g_library) {
        printf("cannot load %s: %lu\n", dll.c_str(), GetLastError());
        return 2;
    }
    fakejvm::Vm vm;
    g_vm = &vm;

    int passed = 0;
    int failed = 0;
    int skipped = 0;
    for (const TestCase& test : tests()) {
        const std::string fullName = std::string(test.suite) + "." + test.name;
        auto matches = [&](const std::vector<std::string>& list) {
            for (const std::string& filter : list)
                if (filter[0] == '=' ? fullName == filter.substr(1) : fullName.find(filter) != std::string::npos)
                    return true;
            return false;
        };
        const bool matched = (filters.empty() || matches(filters)) && !matches(exceptions);
        if (!matched || (test.slow && !includeSlow)) {
            ++skipped;
            continue;
        }
        g_failed = false;
        g_expectException = false;
        try {
            test.function();
        } catch (const Abort&) {
        }
        for (const std::string& misuse : vm.takeMisuse())
            fail(__FILE__, __LINE__, "JNI misuse: " + misuse);
        if (vm.unreleasedPins() != 0) {
            fail(__FILE__, __LINE__, "characters or elements pinned and never released");
            vm.resetPins();
        }
        if (vm.exceptionPending() && !g_expectException)
            fail(__FILE__, __LINE__, "a Java exception was left pending");
        vm.clearException();
        printf("%s %s\n", g_failed ? "FAIL" : "PASS", fullName.c_str());
        g_failed ? ++failed : ++passed;
    }
    printf("%d passed, %d failed, %d skipped\n", passed, failed, skipped);
    return failed ? 1 : 0;
}
