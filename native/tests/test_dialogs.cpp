// Native dialogs under Wine and Xvfb. A helper thread of the test finds the
// dialog window by its title and acts in it, as a user would.
#include "harness.h"

#include <commctrl.h>
#include <objbase.h>
#include <shobjidl.h>

#include <functional>
#include <string>

using namespace harness;

namespace {

typedef void(JNICALL* InitializeFn)(JNIEnv*, jclass);
typedef jobjectArray(JNICALL* FileDialogFn)(JNIEnv*, jclass, jlong, jstring, jstring, jstring, jstring, jint, jint,
                                            jboolean, jstring, jobjectArray, jobjectArray, jint, jobjectArray,
                                            jbooleanArray);
typedef jint(JNICALL* TaskDialogFn)(JNIEnv*, jclass, jlong, jstring, jstring, jstring, jint, jint, jint, jstring,
                                    jobjectArray, jint);
typedef jobjectArray(JNICALL* PickerFn)(JNIEnv*, jclass, jboolean, jboolean, jboolean, jboolean, jboolean);

struct ChildSearch
{
    const wchar_t* className;
    const wchar_t* text; // null: any
    std::vector<HWND> found;
};

BOOL CALLBACK collectChild(HWND child, LPARAM parameter)
{
    ChildSearch* search = reinterpret_cast<ChildSearch*>(parameter);
    wchar_t className[64] = {};
    wchar_t text[256] = {};
    GetClassNameW(child, className, 64);
    GetWindowTextW(child, text, 256);
    if (_wcsicmp(className, search->className) == 0 && (!search->text || wcscmp(text, search->text) == 0))
        search->found.push_back(child);
    return TRUE;
}

std::vector<HWND> children(HWND dialog, const wchar_t* className, const wchar_t* text = nullptr)
{
    ChildSearch search = {className, text, {}};
    EnumChildWindows(dialog, collectChild, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

// Runs `act` on a helper thread once a visible window of this process with
// `title` shows up (within 20 s); the dialog call runs on the test thread.
class DialogDriver
{
public:
    DialogDriver(const wchar_t* title, std::function<void(HWND)> act)
        : m_title(title)
        , m_act(std::move(act))
    {
        m_thread = CreateThread(NULL, 0, run, this, 0, NULL);
    }
    ~DialogDriver()
    {
        WaitForSingleObject(m_thread, 30000);
        CloseHandle(m_thread);
    }
    // Found, and ended by the test's own actions.
    bool found() const { return m_found && !m_forced; }

private:
    static DWORD WINAPI run(LPVOID parameter)
    {
        DialogDriver* self = static_cast<DialogDriver*>(parameter);
        HWND dialog = NULL;
        for (int i = 0; i < 400 && !dialog; ++i) {
            dialog = findTopWindow(GetCurrentProcessId(), self->m_title.c_str(), true);
            if (!dialog)
                Sleep(50);
        }
        if (!dialog) {
            closeStrayDialogs();
            return 0;
        }
        Sleep(300); // let the dialog finish laying itself out
        if (getenv("OSTRA_DUMP_DIALOGS"))
            dump(dialog);
        self->m_found = true;
        self->m_act(dialog);
        // A dialog the actions did not end would block the test run.
        for (int i = 0; i < 100 && IsWindow(dialog); ++i)
            Sleep(50);
        if (IsWindow(dialog)) {
            self->m_forced = true;
            printf("    the dialog did not end: closing it\n");
            PostMessageW(dialog, WM_COMMAND, IDCANCEL, 0);
            PostMessageW(dialog, WM_CLOSE, 0, 0);
        }
        return 0;
    }

    static BOOL CALLBACK closeIfDialog(HWND window, LPARAM)
    {
        DWORD owner = 0;
        GetWindowThreadProcessId(window, &owner);
        wchar_t className[64] = {};
        GetClassNameW(window, className, 64);
        if (owner == GetCurrentProcessId() && IsWindowVisible(window) && wcscmp(className, L"#32770") == 0) {
            printf("    closing a dialog that was not found by its title\n");
            PostMessageW(window, WM_COMMAND, IDCANCEL, 0);
            PostMessageW(window, WM_CLOSE, 0, 0);
        }
        return TRUE;
    }
    static void closeStrayDialogs() { EnumWindows(closeIfDialog, 0); }

    static BOOL CALLBACK dumpChild(HWND child, LPARAM)
    {
        wchar_t className[64] = {};
        wchar_t text[128] = {};
        GetClassNameW(child, className, 64);
        GetWindowTextW(child, text, 128);
        printf("      %ls \"%ls\" id %d visible %d\n", className, text, GetDlgCtrlID(child), IsWindowVisible(child));
        return TRUE;
    }
    static void dump(HWND dialog) { EnumChildWindows(dialog, dumpChild, 0); }

    std::wstring m_title;
    std::function<void(HWND)> m_act;
    HANDLE m_thread;
    volatile bool m_found = false;
    volatile bool m_forced = false;
};

void click(HWND button)
{
    SendMessageW(button, BM_CLICK, 0, 0);
}

void clickText(HWND dialog, const wchar_t* text)
{
    std::vector<HWND> buttons = children(dialog, L"Button", text);
    if (!buttons.empty())
        click(buttons.front());
}

// Ticks a check box the way its click is reported: the box shows the tick
// and its owner gets BN_CLICKED. (Wine's task dialog draws its verification
// box itself and ignores a synthesised BM_CLICK.)
void tick(HWND dialog, const wchar_t* label)
{
    std::vector<HWND> boxes = children(dialog, L"Button", label);
    if (boxes.empty())
        return;
    SendMessageW(boxes.front(), BM_SETCHECK, BST_CHECKED, 0);
    SendMessageW(dialog, WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(boxes.front()), BN_CLICKED),
                 reinterpret_cast<LPARAM>(boxes.front()));
}

bool isChecked(HWND dialog, const wchar_t* label)
{
    std::vector<HWND> boxes = children(dialog, L"Button", label);
    return !boxes.empty() && SendMessageW(boxes.front(), BM_GETCHECK, 0, 0) == BST_CHECKED;
}

struct FileDialogCall
{
    const wchar_t* title = L"Ostra file dialog";
    bool save = true;
    std::wstring folder;
    const wchar_t* fileName = L"first.txt";
    const wchar_t* extension = nullptr;
    std::vector<std::u16string> filterNames, filterPatterns;
    jint selectedFilter = -1;
    std::vector<std::u16string> labels;
    std::vector<jboolean> states;
    jbooleanArray stateArray = nullptr;

    jobjectArray run()
    {
        stateArray = vm().booleans(states);
        return bind<FileDialogFn>("VistaFileChooser", "displayDialog0", 68)(
            env(), nullptr, 0, vm().string(title), vm().string(L"Choose"), vm().string(folder.c_str()),
            fileName ? vm().string(fileName) : nullptr, 0, 0, save ? JNI_TRUE : JNI_FALSE,
            extension ? vm().string(extension) : nullptr, vm().strings(filterNames), vm().strings(filterPatterns),
            selectedFilter, vm().strings(labels), stateArray);
    }
    std::vector<jboolean> statesAfter() const { return fakejvm::Vm::object(stateArray)->flags; }
};

std::wstring tempFolder()
{
    wchar_t dir[MAX_PATH];
    GetTempPathW(MAX_PATH, dir);
    std::wstring folder(dir);
    if (folder.size() > 3 && folder.back() == L'\\')
        folder.pop_back();
    return folder;
}

jlong javaHandle(HWND window)
{
    return static_cast<jlong>(static_cast<LONG>(reinterpret_cast<LONG_PTR>(window)));
}

// COM for the file dialog, on the test thread, by the library's own call.
void initializeCom()
{
    bind<InitializeFn>("VistaFileChooser", "initialize0", 8)(env(), nullptr);
}

} // namespace

TEST_CASE(VistaFileChooser, cancelledDialogGivesNullAndKeepsStates)
{
    initializeCom();
    FileDialogCall call;
    call.folder = tempFolder();
    call.labels = {u"Create a shortcut"};
    call.states = {JNI_TRUE};
    bool checkedWhenShown = false;
    DialogDriver driver(call.title, [&](HWND dialog) {
        checkedWhenShown = isChecked(dialog, L"Create a shortcut");
        clickText(dialog, L"Create a shortcut"); // the user unticks it, then cancels
        clickText(dialog, L"Cancel");
    });
    CHECK(call.run() == nullptr);
    CHECK(driver.found());
    CHECK(checkedWhenShown);
    CHECK(call.statesAfter() == std::vector<jboolean>{JNI_TRUE});
    CoUninitialize();
}

TEST_CASE(VistaFileChooser, confirmedSaveGivesPathAndStates)
{
    initializeCom();
    FileDialogCall call;
    call.title = L"Ostra save dialog";
    call.folder = tempFolder();
    call.fileName = L"ignored.txt";
    call.filterNames = {u"Text files", u"All files"};
    call.filterPatterns = {u"*.txt", u"*.*"};
    call.selectedFilter = 1;
    call.labels = {u"Create a shortcut", u"Start after installing"};
    call.states = {JNI_FALSE, JNI_TRUE};
    bool grouped = false;
    int filterCount = -1;
    int filterSelected = -1;
    DialogDriver driver(call.title, [&](HWND dialog) {
        grouped = !children(dialog, L"Static", L"Options:").empty() || !children(dialog, L"Button", L"Options:").empty();
        std::vector<HWND> combos = children(dialog, L"ComboBox");
        for (HWND combo : combos) {
            const int count = int(SendMessageW(combo, CB_GETCOUNT, 0, 0));
            if (count == 2) {
                filterCount = count;
                filterSelected = int(SendMessageW(combo, CB_GETCURSEL, 0, 0));
            }
        }
        clickText(dialog, L"Create a shortcut");
        clickText(dialog, L"Start after installing");
        std::vector<HWND> edits = children(dialog, L"Edit");
        if (!edits.empty())
            SendMessageW(edits.front(), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(L"ostra-chosen.txt"));
        clickText(dialog, L"Choose");
    });
    const std::vector<std::wstring> paths = texts(call.run());
    CHECK(driver.found());
    REQUIRE(paths.size() == 1);
    CHECK(_wcsicmp(paths[0].c_str(), (tempFolder() + L"\\ostra-chosen.txt").c_str()) == 0);
    CHECK(call.statesAfter() == (std::vector<jboolean>{JNI_TRUE, JNI_FALSE})); // copied back
    CHECK(grouped);
    CHECK_EQ(filterCount, 2);
    CHECK_EQ(filterSelected, 1);
    CoUninitialize();
}

TEST_CASE(VistaFileChooser, oneCheckBoxHasNoGroup)
{
    initializeCom();
    FileDialogCall call;
    call.title = L"Ostra one box";
    call.folder = tempFolder();
    call.save = false;
    call.labels = {u"Only option"};
    call.states = {JNI_FALSE};
    bool grouped = true;
    bool boxShown = false;
    DialogDriver driver(call.title, [&](HWND dialog) {
        grouped = !children(dialog, L"Static", L"Options:").empty() || !children(dialog, L"Button", L"Options:").empty();
        boxShown = !children(dialog, L"Button", L"Only option").empty();
        clickText(dialog, L"Cancel");
    });
    CHECK(call.run() == nullptr);
    CHECK(driver.found());
    CHECK(boxShown);
    CHECK(!grouped);
    CoUninitialize();
}

TEST_CASE(VistaTaskDialog, buttonsVerificationAndCancel)
{
    LoadLibraryW(L"comctl32.dll"); // the Java VM has it loaded already
    auto show = bind<TaskDialogFn>("VistaTaskDialog", "show0", 52);
    auto run = [&](jint flags, const wchar_t* verification, std::function<void(HWND)> act) {
        DialogDriver driver(L"Ostra task dialog", act);
        const jint result = show(env(), nullptr, 0, vm().string(L"Ostra task dialog"), vm().string(L"Install now?"),
                                 vm().string(L"The program will be installed."), flags, 32515 /* IDI_WARNING */, 0,
                                 verification ? vm().string(verification) : nullptr,
                                 vm().strings({u"Install", u"Later", u"Never"}), 0);
        CHECK(driver.found());
        return result;
    };
    CHECK_EQ(run(0, nullptr, [](HWND dialog) { clickText(dialog, L"Later"); }), 2);
    CHECK_EQ(run(0, L"Do not ask again", [](HWND dialog) {
                 tick(dialog, L"Do not ask again");
                 clickText(dialog, L"Later");
             }),
             -2);
    CHECK_EQ(run(0, L"Do not ask again", [](HWND dialog) { clickText(dialog, L"Never"); }), 3);
    CHECK_EQ(run(TDF_ALLOW_DIALOG_CANCELLATION, nullptr, [](HWND dialog) {
                 // Escape, to the control with the focus. Wine's task dialog
                 // ignores the IDCANCEL that Escape makes when it has no Cancel
                 // button; there the user closes it with the title bar's close
                 // box, which the flag enables as well.
                 GUITHREADINFO info = {};
                 info.cbSize = sizeof info;
                 GetGUIThreadInfo(GetWindowThreadProcessId(dialog, NULL), &info);
                 HWND target = info.hwndFocus ? info.hwndFocus : dialog;
                 PostMessageW(target, WM_KEYDOWN, VK_ESCAPE, 0x00010001);
                 PostMessageW(target, WM_KEYUP, VK_ESCAPE, 0xC0010001);
                 for (int i = 0; i < 20 && IsWindow(dialog); ++i)
                     Sleep(50);
                 if (IsWindow(dialog)) {
                     printf("    note: Escape did not end the task dialog; closing it with its close box\n");
                     PostMessageW(dialog, WM_SYSCOMMAND, SC_CLOSE, 0);
                 }
             }),
             1000);
}

TEST_CASE(VistaTaskDialog, ownedDialogStaysWithItsOwner)
{
    LoadLibraryW(L"comctl32.dll");
    HWND owner = CreateWindowW(L"STATIC", L"Ostra task owner", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 100, 100, 600, 400,
                               NULL, NULL, NULL, NULL);
    REQUIRE(owner != NULL);
    HWND seenOwner = NULL;
    bool insideOwner = false;
    DialogDriver driver(L"Ostra owned dialog", [&](HWND dialog) {
        // Past five timer notifications, the repositioning no longer activates.
        Sleep(1600);
        seenOwner = GetWindow(dialog, GW_OWNER);
        RECT ownerRect, dialogRect;
        GetWindowRect(owner, &ownerRect);
        GetWindowRect(dialog, &dialogRect);
        // Wine places an owned task dialog centred on its owner or at its
        // corner; either way inside it, never centred on the screen.
        insideOwner = dialogRect.left >= ownerRect.left && dialogRect.right <= ownerRect.right
            && dialogRect.top >= ownerRect.top && dialogRect.bottom <= ownerRect.bottom;
        clickText(dialog, L"Install");
    });
    const jint result = bind<TaskDialogFn>("VistaTaskDialog", "show0", 52)(
        env(), nullptr, javaHandle(owner), vm().string(L"Ostra owned dialog"), vm().string(L"Owned"), nullptr, 0,
        32516 /* IDI_INFORMATION */, 200, nullptr, vm().strings({u"Install"}), 0);
    CHECK(driver.found());
    CHECK_EQ(result, 1);
    CHECK(seenOwner == owner);
    CHECK(insideOwner); // positioned relative to the owner
    DestroyWindow(owner);
}

TEST_CASE(ObjectPicker, ownerSearchAndMissingPicker)
{
    auto show = bind<PickerFn>("ObjectPicker", "show0", 28);
    // No visible window of this process (and no console): nothing to own the
    // picker, so the one line is printed and the result is null.
    jobjectArray lonely = nullptr;
    const std::string printed = capturedOutput([&] {
        lonely = show(env(), nullptr, JNI_FALSE, JNI_TRUE, JNI_TRUE, JNI_FALSE, JNI_TRUE);
    });
    CHECK(lonely == nullptr);
    CHECK_EQ(printed, std::string("could not find window\n"));

    // With a window the search succeeds; Wine has no object picker to show,
    // so the result is null there as well.
    HWND window = CreateWindowW(L"STATIC", L"Ostra picker owner", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0, 100, 100,
                                NULL, NULL, NULL, NULL);
    REQUIRE(window != NULL);
    jobjectArray picked = nullptr;
    const std::string found = capturedOutput([&] {
        picked = show(env(), nullptr, JNI_TRUE, JNI_TRUE, JNI_TRUE, JNI_TRUE, JNI_FALSE);
    });
    CHECK_EQ(found, std::string());
    CHECK(picked == nullptr);
    DestroyWindow(window);
}

namespace {
HANDLE g_consoleSearchStarted = NULL;

// The library's pause in its console search: says that the search has begun
// before it lets the pause pass.
void WINAPI pauseInConsoleSearch(DWORD milliseconds)
{
    SetEvent(g_consoleSearchStarted);
    Sleep(milliseconds);
}

DWORD WINAPI showPicker(LPVOID)
{
    bind<PickerFn>("ObjectPicker", "show0", 28)(env(), nullptr, JNI_FALSE, JNI_TRUE, JNI_TRUE, JNI_FALSE, JNI_TRUE);
    return 0;
}
} // namespace

// The owner search looks for the console window once per process. A second
// first call, made while the first one searches, waits for that search
// instead of taking its unfinished result ("could not find window"). Runs
// in a child harness of its own with a console of its own.
TEST_CASE(ObjectPicker, concurrentFirstCallsShareTheConsoleSearch)
{
    if (GetEnvironmentVariableW(L"OSTRA_PICKER_CHILD", NULL, 0) == 0) {
        const std::string program = exePath();
        std::string line = "\"" + program + "\" =ObjectPicker.concurrentFirstCallsShareTheConsoleSearch";
        SetEnvironmentVariableW(L"OSTRA_PICKER_CHILD", L"1");
        STARTUPINFOA startup = {};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION child = {};
        const BOOL started = CreateProcessA(program.c_str(), &line[0], NULL, NULL, FALSE, CREATE_NEW_CONSOLE, NULL,
                                            NULL, &startup, &child);
        SetEnvironmentVariableW(L"OSTRA_PICKER_CHILD", NULL);
        REQUIRE(started);
        const DWORD waited = WaitForSingleObject(child.hProcess, 120000);
        DWORD status = 1;
        GetExitCodeProcess(child.hProcess, &status);
        if (waited != WAIT_OBJECT_0)
            TerminateProcess(child.hProcess, 1);
        CloseHandle(child.hProcess);
        CloseHandle(child.hThread);
        CHECK_EQ(waited, DWORD(WAIT_OBJECT_0));
        CHECK_EQ(status, DWORD(0));
        return;
    }
    REQUIRE(GetConsoleWindow() != NULL);
    g_consoleSearchStarted = CreateEventW(NULL, TRUE, FALSE, NULL);
    ImportPatch pause("Sleep", reinterpret_cast<void*>(&pauseInConsoleSearch));
    REQUIRE(pause.applied());
    const std::string printed = capturedOutput([] {
        HANDLE first = CreateThread(NULL, 0, showPicker, NULL, 0, NULL);
        WaitForSingleObject(g_consoleSearchStarted, 20000);
        HANDLE second = CreateThread(NULL, 0, showPicker, NULL, 0, NULL);
        HANDLE both[] = {first, second};
        WaitForMultipleObjects(2, both, TRUE, 60000);
        CloseHandle(first);
        CloseHandle(second);
    });
    CloseHandle(g_consoleSearchStarted);
    CHECK_EQ(printed, std::string());
}

TEST_CASE(VistaFileChooser, confirmedOpenGivesTheChosenFile)
{
    initializeCom();
    const std::wstring existing = tempFolder() + L"\\ostra-open.txt";
    CloseHandle(CreateFileW(existing.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL));
    FileDialogCall call;
    call.title = L"Ostra open dialog";
    call.folder = tempFolder();
    call.save = false;
    call.fileName = nullptr;
    call.filterNames = {u"Text files"};
    call.filterPatterns = {u"*.txt"};
    call.selectedFilter = 0;
    DialogDriver driver(call.title, [&](HWND dialog) {
        std::vector<HWND> edits = children(dialog, L"Edit");
        if (!edits.empty())
            SendMessageW(edits.front(), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(L"ostra-open.txt"));
        clickText(dialog, L"Choose");
    });
    const std::vector<std::wstring> paths = texts(call.run());
    CHECK(driver.found());
    REQUIRE(paths.size() == 1);
    CHECK(_wcsicmp(paths[0].c_str(), existing.c_str()) == 0);
    DeleteFileW(existing.c_str());
    CoUninitialize();
}
