// Native dialogs: the common file dialog (with filters and extra check
// boxes), the task dialog (custom buttons, verification box), and the
// directory-services object picker.
#include "jniutil.h"
#include "nativetable.h"

#include <commctrl.h>
#include <objbase.h>
#include <objsel.h>
#include <sddl.h>
#include <shobjidl.h>
#include <stdio.h>
#include <stdlib.h>

namespace {

typedef HRESULT(WINAPI* CreateItemFn)(PCWSTR, IBindCtx*, REFIID, void**);
typedef HRESULT(WINAPI* CreateItemArrayFn)(IShellItem*, REFIID, void**);
typedef HRESULT(WINAPI* TaskDialogIndirectFn)(const TASKDIALOGCONFIG*, int*, int*, BOOL*);
typedef BOOL(WINAPI* ConvertSidToStringSidFn)(PSID, LPWSTR*);

const UINT kOptionsGroup = 100000;
const int kFirstCustomButton = 101;

// Process-wide, filled once found.
CreateItemFn createItem = NULL;
CreateItemArrayFn createItemArray = NULL;
TaskDialogIndirectFn taskDialogIndirect = NULL;
ConvertSidToStringSidFn sidToString = NULL;
HWND consoleWindow = NULL;
INIT_ONCE consoleSearch = INIT_ONCE_STATIC_INIT;

// Wide copies of the strings of a Java String[] (null elements stay null).
struct WideArray
{
    wchar_t** items;
    jsize count;

    WideArray(JNIEnv* env, jobjectArray array)
        : items(NULL)
        , count(array && !env->ExceptionCheck() ? env->GetArrayLength(array) : 0)
    {
        if (count > 0)
            items = static_cast<wchar_t**>(calloc(static_cast<size_t>(count), sizeof(wchar_t*)));
        if (!items) {
            count = 0;
            return;
        }
        for (jsize i = 0; i < count; ++i) {
            jstring text = static_cast<jstring>(env->GetObjectArrayElement(array, i));
            items[i] = ostra::newWide(env, text);
            if (text)
                env->DeleteLocalRef(text);
            if (env->ExceptionCheck())
                break;
        }
    }
    ~WideArray()
    {
        for (jsize i = 0; i < count; ++i)
            ostra::freeWide(items[i]);
        free(items);
    }

private:
    WideArray(const WideArray&);
    WideArray& operator=(const WideArray&);
};

bool shellItemFunctions()
{
    if (createItem && createItemArray)
        return true;
    HMODULE shell = LoadLibraryA("shell32.dll");
    if (!shell)
        return false;
    CreateItemFn item = reinterpret_cast<CreateItemFn>(GetProcAddress(shell, "SHCreateItemFromParsingName"));
    CreateItemArrayFn array =
        reinterpret_cast<CreateItemArrayFn>(GetProcAddress(shell, "SHCreateShellItemArrayFromShellItem"));
    if (!item || !array)
        return false;
    createItem = item;
    createItemArray = array;
    return true;
}

// The chosen items as file-system paths; an item without one stays null.
jobjectArray pathsOf(JNIEnv* env, IShellItemArray* items)
{
    DWORD count = 0;
    if (FAILED(items->GetCount(&count)))
        return NULL;
    jclass stringClass = ostra::findClass(env, "java/lang/String");
    if (!stringClass)
        return NULL;
    jobjectArray result = env->NewObjectArray(static_cast<jsize>(count), stringClass, NULL);
    env->DeleteLocalRef(stringClass);
    for (DWORD i = 0; result && i < count; ++i) {
        IShellItem* item = NULL;
        if (FAILED(items->GetItemAt(i, &item)))
            continue;
        PWSTR path = NULL;
        if (SUCCEEDED(item->GetDisplayName(SIGDN_FILESYSPATH, &path)) && path && path[0]) {
            jstring text = ostra::newJavaString(env, path);
            if (text) {
                env->SetObjectArrayElement(result, static_cast<jsize>(i), text);
                env->DeleteLocalRef(text);
            } else {
                env->DeleteLocalRef(result);
                result = NULL;
            }
        }
        CoTaskMemFree(path);
        item->Release();
    }
    return result;
}

struct TaskDialogContext
{
    HWND owner;
    int timerNotifications;
};

HRESULT CALLBACK keepAboveOwner(HWND dialog, UINT notification, WPARAM, LPARAM, LONG_PTR data)
{
    if (notification == TDN_TIMER) {
        TaskDialogContext* context = reinterpret_cast<TaskDialogContext*>(data);
        UINT flags = SWP_NOSIZE | SWP_NOMOVE;
        // Activating only for the first five repositionings.
        if (++context->timerNotifications > 5)
            flags |= SWP_NOACTIVATE;
        SetWindowPos(dialog, context->owner, 0, 0, 0, 0, flags);
    }
    return S_OK;
}

struct OwnerSearch
{
    DWORD processId;
    HWND console;
    HWND found;
};

BOOL CALLBACK lastVisibleWindow(HWND window, LPARAM parameter)
{
    OwnerSearch* search = reinterpret_cast<OwnerSearch*>(parameter);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner == search->processId && window != search->console && IsWindowVisible(window))
        search->found = window;
    return TRUE;
}

// The console window of this process, found by giving the console a unique
// title for a moment. Searched once; a concurrent first caller waits for the
// search to end instead of taking its unfinished result.
void searchConsoleWindow()
{
    wchar_t oldTitle[1024];
    if (GetConsoleTitleW(oldTitle, 1024) == 0)
        return;
    wchar_t title[64];
    ostra::formatText(title, 64, L"%d/%d", static_cast<int>(GetTickCount()), static_cast<int>(GetCurrentProcessId()));
    SetConsoleTitleW(title);
    Sleep(40);
    consoleWindow = FindWindowW(NULL, title);
    SetConsoleTitleW(oldTitle);
}

HWND findConsoleWindow()
{
    ostra::runOnce(&consoleSearch, searchConsoleWindow);
    return consoleWindow;
}

jobject newResult(JNIEnv* env, jclass resultClass, jmethodID constructor, const wchar_t* name, const wchar_t* path,
                  const wchar_t* objectClass, const wchar_t* principal, const wchar_t* sid)
{
    jstring texts[5];
    const wchar_t* values[5] = {name, path, objectClass, principal, sid};
    for (int i = 0; i < 5; ++i)
        texts[i] = values[i] ? ostra::newJavaString(env, values[i]) : NULL;
    jobject result = env->ExceptionCheck()
        ? NULL
        : env->NewObject(resultClass, constructor, texts[0], texts[1], texts[2], texts[3], texts[4]);
    for (int i = 0; i < 5; ++i) {
        if (texts[i])
            env->DeleteLocalRef(texts[i]);
    }
    return result;
}

} // namespace

extern "C" {

JNIEXPORT void JNICALL OSTRA_JNI(VistaFileChooser, initialize0)(JNIEnv*, jclass)
{
    CoInitialize(NULL);
}

JNIEXPORT jobjectArray JNICALL OSTRA_JNI(VistaFileChooser, displayDialog0)(
    JNIEnv* env, jclass, jlong owner, jstring title, jstring okLabel, jstring initialFolder, jstring initialFileName,
    jint optionsToSet, jint optionsToClear, jboolean save, jstring defaultExtension, jobjectArray filterNames,
    jobjectArray filterPatterns, jint selectedFilter, jobjectArray checkBoxLabels, jbooleanArray checkBoxStates)
{
    WideArray names(env, filterNames);
    WideArray patterns(env, filterPatterns);
    WideArray labels(env, checkBoxLabels);
    jboolean* states =
        checkBoxStates && !env->ExceptionCheck() ? env->GetBooleanArrayElements(checkBoxStates, NULL) : NULL;
    const jsize stateCount = states ? env->GetArrayLength(checkBoxStates) : 0;
    wchar_t* titleText = ostra::newWide(env, title);
    wchar_t* okText = ostra::newWide(env, okLabel);
    wchar_t* folder = ostra::newWide(env, initialFolder);
    wchar_t* fileName = ostra::newWide(env, initialFileName);
    wchar_t* extension = ostra::newWide(env, defaultExtension);

    // One filter per name; a name without its pattern is left out.
    const jsize filterCount = names.count < patterns.count ? names.count : patterns.count;
    COMDLG_FILTERSPEC* filters =
        filterCount > 0 ? static_cast<COMDLG_FILTERSPEC*>(calloc(static_cast<size_t>(filterCount), sizeof *filters))
                        : NULL;
    for (jsize i = 0; filters && i < filterCount; ++i) {
        filters[i].pszName = names.items[i] ? names.items[i] : L"";
        filters[i].pszSpec = patterns.items[i] ? patterns.items[i] : L"";
    }

    jobjectArray result = NULL;
    IFileDialog* dialog = NULL;
    HRESULT created = E_FAIL;
    // A copy that failed for want of memory shows no dialog.
    if (!env->ExceptionCheck() && shellItemFunctions()) {
        created = save ? CoCreateInstance(CLSID_FileSaveDialog, NULL, CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER,
                                          IID_IFileDialog, reinterpret_cast<void**>(&dialog))
                       : CoCreateInstance(CLSID_FileOpenDialog, NULL, CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER,
                                          IID_IFileOpenDialog, reinterpret_cast<void**>(&dialog));
    }
    if (SUCCEEDED(created) && dialog) {
        FILEOPENDIALOGOPTIONS options = 0;
        dialog->GetOptions(&options);
        dialog->SetOptions((options | static_cast<DWORD>(optionsToSet)) & ~static_cast<DWORD>(optionsToClear));
        if (filters) {
            dialog->SetFileTypes(static_cast<UINT>(filterCount), filters);
            if (selectedFilter >= 0)
                dialog->SetFileTypeIndex(static_cast<UINT>(selectedFilter) + 1);
        }
        IFileDialogCustomize* customize = NULL;
        if (labels.count > 0
            && SUCCEEDED(dialog->QueryInterface(IID_IFileDialogCustomize, reinterpret_cast<void**>(&customize)))) {
            const bool grouped = labels.count > 1;
            if (grouped)
                customize->StartVisualGroup(kOptionsGroup, L"Options:");
            for (jsize i = 0; i < labels.count; ++i) {
                const BOOL checked = i < stateCount && states[i];
                customize->AddCheckButton(static_cast<DWORD>(i + 1), labels.items[i] ? labels.items[i] : L"", checked);
            }
            if (grouped)
                customize->EndVisualGroup();
        }
        if (extension)
            dialog->SetDefaultExtension(extension);
        if (titleText)
            dialog->SetTitle(titleText);
        if (okText)
            dialog->SetOkButtonLabel(okText);
        dialog->ClearClientData();
        if (folder) {
            IShellItem* folderItem = NULL;
            if (SUCCEEDED(createItem(folder, NULL, IID_IShellItem, reinterpret_cast<void**>(&folderItem)))) {
                dialog->SetFolder(folderItem);
                folderItem->Release();
            }
        }
        if (fileName)
            dialog->SetFileName(fileName);

        if (SUCCEEDED(dialog->Show(reinterpret_cast<HWND>(ostra::handleFromJava(owner))))) {
            for (jsize i = 0; customize && i < labels.count && i < stateCount; ++i) {
                BOOL checked = FALSE;
                if (SUCCEEDED(customize->GetCheckButtonState(static_cast<DWORD>(i + 1), &checked)))
                    states[i] = checked ? JNI_TRUE : JNI_FALSE;
            }
            IShellItemArray* items = NULL;
            if (save) {
                IShellItem* item = NULL;
                if (SUCCEEDED(dialog->GetResult(&item))) {
                    createItemArray(item, IID_IShellItemArray, reinterpret_cast<void**>(&items));
                    item->Release();
                }
            } else {
                static_cast<IFileOpenDialog*>(dialog)->GetResults(&items);
            }
            if (items) {
                result = pathsOf(env, items);
                items->Release();
            }
        }
        if (customize)
            customize->Release();
        dialog->Release();
    }

    // Mode 0: the states go back to Java in every case.
    if (states)
        env->ReleaseBooleanArrayElements(checkBoxStates, states, 0);
    free(filters);
    ostra::freeWide(extension);
    ostra::freeWide(fileName);
    ostra::freeWide(folder);
    ostra::freeWide(okText);
    ostra::freeWide(titleText);
    return result;
}

JNIEXPORT jint JNICALL OSTRA_JNI(VistaTaskDialog, show0)(JNIEnv* env, jclass, jlong ownerHandle, jstring windowTitle,
                                                        jstring mainInstruction, jstring content, jint flags,
                                                        jint iconId, jint width, jstring verificationText,
                                                        jobjectArray buttonLabels, jint defaultButton)
{
    if (!taskDialogIndirect)
        taskDialogIndirect = reinterpret_cast<TaskDialogIndirectFn>(
            ostra::loadedFunction(L"Comctl32.dll", "TaskDialogIndirect"));
    if (!taskDialogIndirect)
        return 0;
    HWND owner = reinterpret_cast<HWND>(ostra::handleFromJava(ownerHandle));
    wchar_t* title = ostra::newWide(env, windowTitle);
    wchar_t* instruction = ostra::newWide(env, mainInstruction);
    wchar_t* text = ostra::newWide(env, content);
    wchar_t* verification = ostra::newWide(env, verificationText);
    WideArray labels(env, buttonLabels);
    TASKDIALOG_BUTTON* buttons =
        labels.count > 0 ? static_cast<TASKDIALOG_BUTTON*>(calloc(static_cast<size_t>(labels.count), sizeof *buttons))
                         : NULL;
    for (jsize i = 0; buttons && i < labels.count; ++i) {
        buttons[i].nButtonID = kFirstCustomButton + i;
        buttons[i].pszButtonText = labels.items[i] ? labels.items[i] : L"";
    }

    TASKDIALOGCONFIG config;
    ZeroMemory(&config, sizeof config);
    config.cbSize = sizeof config;
    config.hwndParent = owner;
    config.dwFlags = static_cast<TASKDIALOG_FLAGS>(flags) | TDF_USE_HICON_MAIN | TDF_CALLBACK_TIMER;
    if (owner && !IsIconic(owner))
        config.dwFlags |= TDF_POSITION_RELATIVE_TO_WINDOW;
    config.hMainIcon = LoadIconW(NULL, MAKEINTRESOURCEW(iconId));
    config.pszWindowTitle = title;
    config.pszMainInstruction = instruction;
    config.pszContent = text;
    config.cxWidth = static_cast<UINT>(width);
    config.cButtons = buttons ? static_cast<UINT>(labels.count) : 0;
    config.pButtons = buttons;
    config.nDefaultButton = kFirstCustomButton + defaultButton;
    config.pszVerificationText = verification;
    TaskDialogContext context = {owner, 0};
    if (owner) {
        config.pfCallback = keepAboveOwner;
        config.lpCallbackData = reinterpret_cast<LONG_PTR>(&context);
    }
    int button = 0;
    BOOL verified = FALSE;
    taskDialogIndirect(&config, &button, NULL, &verified);

    const jint code = button >= kFirstCustomButton ? button - 100 : 1000;
    free(buttons);
    ostra::freeWide(verification);
    ostra::freeWide(text);
    ostra::freeWide(instruction);
    ostra::freeWide(title);
    return verified ? -code : code;
}

JNIEXPORT jobjectArray JNICALL OSTRA_JNI(ObjectPicker, show0)(JNIEnv* env, jclass, jboolean multiSelect,
                                                             jboolean groups, jboolean users,
                                                             jboolean wellKnownPrincipals, jboolean localComputerOnly)
{
    if (!sidToString)
        sidToString =
            reinterpret_cast<ConvertSidToStringSidFn>(ostra::loadedFunction(L"advapi32.dll", "ConvertSidToStringSidW"));
    if (!sidToString)
        return NULL;

    OwnerSearch search = {GetCurrentProcessId(), findConsoleWindow(), NULL};
    EnumWindows(lastVisibleWindow, reinterpret_cast<LPARAM>(&search));
    HWND owner = search.found ? search.found : search.console;
    if (!owner) {
        printf("could not find window\n");
        fflush(stdout);
        return NULL;
    }
    if (FAILED(CoInitialize(NULL)))
        return NULL;

    jobjectArray result = NULL;
    IDsObjectPicker* picker = NULL;
    if (SUCCEEDED(CoCreateInstance(CLSID_DsObjectPicker, NULL, CLSCTX_INPROC_SERVER, IID_IDsObjectPicker,
                                   reinterpret_cast<void**>(&picker)))) {
        DSOP_SCOPE_INIT_INFO scope;
        ZeroMemory(&scope, sizeof scope);
        scope.cbSize = sizeof scope;
        scope.flType = localComputerOnly ? DSOP_SCOPE_TYPE_TARGET_COMPUTER : 0x36F;
        scope.flScope = DSOP_SCOPE_FLAG_DEFAULT_FILTER_USERS | DSOP_SCOPE_FLAG_DEFAULT_FILTER_GROUPS;
        ULONG uplevel = 0;
        ULONG downlevel = 0;
        if (groups) {
            uplevel |= 0x3F4;
            downlevel |= DSOP_DOWNLEVEL_FILTER_LOCAL_GROUPS | DSOP_DOWNLEVEL_FILTER_GLOBAL_GROUPS;
        }
        if (users) {
            uplevel |= DSOP_FILTER_USERS;
            downlevel |= DSOP_DOWNLEVEL_FILTER_USERS;
        }
        if (wellKnownPrincipals) {
            uplevel |= DSOP_FILTER_WELL_KNOWN_PRINCIPALS;
            downlevel |= groups ? DSOP_DOWNLEVEL_FILTER_ALL_WELLKNOWN_SIDS
                                : DSOP_DOWNLEVEL_FILTER_SYSTEM | DSOP_DOWNLEVEL_FILTER_LOCAL_SERVICE
                                      | DSOP_DOWNLEVEL_FILTER_NETWORK_SERVICE;
        }
        scope.FilterFlags.Uplevel.flBothModes = uplevel;
        scope.FilterFlags.flDownlevel = downlevel;

        PCWSTR attributes[] = {L"objectSID"};
        DSOP_INIT_INFO init;
        ZeroMemory(&init, sizeof init);
        init.cbSize = sizeof init;
        init.pwzTargetComputer = NULL;
        init.cDsScopeInfos = 1;
        init.aDsScopeInfos = &scope;
        init.flOptions = multiSelect ? DSOP_FLAG_MULTISELECT : 0;
        init.cAttributesToFetch = 1;
        init.apwzAttributeNames = attributes;

        IDataObject* data = NULL;
        if (SUCCEEDED(picker->Initialize(&init)) && picker->InvokeDialog(owner, &data) == S_OK && data) {
            FORMATETC format = {static_cast<CLIPFORMAT>(RegisterClipboardFormatW(L"CFSTR_DSOP_DS_SELECTION_LIST")),
                                NULL, DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
            STGMEDIUM medium;
            ZeroMemory(&medium, sizeof medium);
            if (SUCCEEDED(data->GetData(&format, &medium))) {
                DS_SELECTION_LIST* list = static_cast<DS_SELECTION_LIST*>(GlobalLock(medium.hGlobal));
                jclass resultClass = list ? ostra::findClass(env, OSTRA_CLASS_PREFIX "ObjectPicker$Result") : NULL;
                jmethodID constructor =
                    resultClass ? ostra::findMethod(env, resultClass, "<init>",
                                                   "(Ljava/lang/String;Ljava/lang/String;Ljava/lang/String;"
                                                   "Ljava/lang/String;Ljava/lang/String;)V")
                                : NULL;
                if (constructor)
                    result = env->NewObjectArray(static_cast<jsize>(list->cItems), resultClass, NULL);
                for (ULONG i = 0; result && i < list->cItems; ++i) {
                    const DS_SELECTION& selection = list->aDsSelection[i];
                    wchar_t* sid = NULL;
                    VARIANT* fetched = selection.pvarFetchedAttributes;
                    if (fetched && (V_VT(fetched) & VT_ARRAY) && V_ARRAY(fetched)) {
                        void* bytes = NULL;
                        if (SUCCEEDED(SafeArrayAccessData(V_ARRAY(fetched), &bytes))) {
                            if (!sidToString(static_cast<PSID>(bytes), &sid))
                                sid = NULL;
                            SafeArrayUnaccessData(V_ARRAY(fetched));
                        }
                    }
                    jobject object = newResult(env, resultClass, constructor, selection.pwzName, selection.pwzADsPath,
                                               selection.pwzClass, selection.pwzUPN, sid);
                    if (sid)
                        LocalFree(sid);
                    if (!object) {
                        env->DeleteLocalRef(result);
                        result = NULL;
                        break;
                    }
                    env->SetObjectArrayElement(result, static_cast<jsize>(i), object);
                    env->DeleteLocalRef(object);
                }
                if (resultClass)
                    env->DeleteLocalRef(resultClass);
                if (list)
                    GlobalUnlock(medium.hGlobal);
                ReleaseStgMedium(&medium);
            }
            data->Release();
        }
        picker->Release();
    }
    CoUninitialize();
    fflush(stdout);
    return result;
}

} // extern "C"
