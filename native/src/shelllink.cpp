// Shell links: shortcut files made through the shell's COM objects,
// optionally marked to run their target as administrator, and the shell
// notifications that make Explorer and the Start menu show them.
#include "jniutil.h"

#include <objbase.h>
#include <shlobj.h>
#include <shobjidl.h>

namespace {

// IShellLinkW and IShellLinkA share their setters' shape; the two creators
// differ only in the interface and the text type.
template <typename Link> struct LinkTraits;
template <> struct LinkTraits<IShellLinkW>
{
    static const IID& iid() { return IID_IShellLinkW; }
};
template <> struct LinkTraits<IShellLinkA>
{
    static const IID& iid() { return IID_IShellLinkA; }
};

// Adds SLDF_RUNAS_USER to the link's flags. S_OK or the failing status.
HRESULT markRunAsAdministrator(IUnknown* link)
{
    IShellLinkDataList* dataList = NULL;
    HRESULT result = link->QueryInterface(IID_IShellLinkDataList, reinterpret_cast<void**>(&dataList));
    if (FAILED(result))
        return result;
    DWORD flags = 0;
    result = dataList->GetFlags(&flags);
    if (SUCCEEDED(result))
        result = dataList->SetFlags(flags | SLDF_RUNAS_USER);
    dataList->Release();
    return result;
}

// Saves the link to `linkPath` (after the run-as mark when asked for).
// Releases the link on every path.
template <typename Link>
bool persist(JNIEnv* env, Link* link, jstring linkPath, jboolean runAsAdministrator)
{
    IPersistFile* file = NULL;
    if (FAILED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file)))) {
        link->Release();
        return false;
    }
    HRESULT result = S_OK;
    if (runAsAdministrator)
        result = markRunAsAdministrator(link);
    if (SUCCEEDED(result)) {
        wchar_t* path = ostra::newWide(env, linkPath);
        result = file->Save(path, TRUE);
        ostra::freeWide(path);
    }
    file->Release();
    link->Release();
    return SUCCEEDED(result);
}

template <typename Link>
Link* newLink()
{
    Link* link = NULL;
    if (FAILED(CoCreateInstance(CLSID_ShellLink, NULL, CLSCTX_INPROC_SERVER, LinkTraits<Link>::iid(),
                                reinterpret_cast<void**>(&link))))
        return NULL;
    return link;
}

// Calls `setter` with the ANSI text of a byte array (NULL for a null array),
// then releases the array without copying back.
template <typename Setter>
void withAnsi(JNIEnv* env, jbyteArray bytes, Setter setter)
{
    if (!bytes) {
        setter(static_cast<const char*>(NULL));
        return;
    }
    jbyte* text = env->GetByteArrayElements(bytes, NULL);
    setter(reinterpret_cast<const char*>(text));
    if (text)
        env->ReleaseByteArrayElements(bytes, text, JNI_ABORT);
}

} // namespace

extern "C" {

JNIEXPORT jboolean JNICALL OSTRA_JNI(ShellLink, createWide0)(JNIEnv* env, jclass, jstring linkPath, jstring targetPath,
                                                            jstring workingDirectory, jstring iconFile,
                                                            jstring arguments, jboolean runAsAdministrator,
                                                            jstring description, jint showCommand)
{
    IShellLinkW* link = newLink<IShellLinkW>();
    if (!link)
        return JNI_FALSE;
    wchar_t* target = ostra::newWide(env, targetPath);
    wchar_t* directory = ostra::newWide(env, workingDirectory);
    wchar_t* icon = ostra::newWide(env, iconFile);
    wchar_t* args = ostra::newWide(env, arguments);
    wchar_t* text = ostra::newWide(env, description);
    link->SetPath(target);
    link->SetWorkingDirectory(directory);
    if (icon)
        link->SetIconLocation(icon, 0);
    if (args)
        link->SetArguments(args);
    if (text)
        link->SetDescription(text);
    link->SetShowCmd(showCommand);
    ostra::freeWide(text);
    ostra::freeWide(args);
    ostra::freeWide(icon);
    ostra::freeWide(directory);
    ostra::freeWide(target);
    return persist(env, link, linkPath, runAsAdministrator) ? JNI_TRUE : JNI_FALSE;
}

JNIEXPORT jboolean JNICALL OSTRA_JNI(ShellLink, create0)(JNIEnv* env, jclass, jstring linkPath, jbyteArray targetPath,
                                                        jbyteArray workingDirectory, jbyteArray iconFile,
                                                        jbyteArray arguments, jboolean runAsAdministrator,
                                                        jbyteArray description)
{
    IShellLinkA* link = newLink<IShellLinkA>();
    if (!link)
        return JNI_FALSE;
    withAnsi(env, targetPath, [link](const char* text) { link->SetPath(text); });
    withAnsi(env, workingDirectory, [link](const char* text) { link->SetWorkingDirectory(text); });
    if (iconFile)
        withAnsi(env, iconFile, [link](const char* text) { link->SetIconLocation(text, 0); });
    if (arguments)
        withAnsi(env, arguments, [link](const char* text) { link->SetArguments(text); });
    if (description)
        withAnsi(env, description, [link](const char* text) { link->SetDescription(text); });
    return persist(env, link, linkPath, runAsAdministrator) ? JNI_TRUE : JNI_FALSE;
}

JNIEXPORT jboolean JNICALL OSTRA_JNI(ShellLink, changeNotify0)(JNIEnv* env, jclass, jbyteArray createdItem,
                                                              jbyteArray updatedFolder)
{
    jbyte* created = createdItem ? env->GetByteArrayElements(createdItem, NULL) : NULL;
    jbyte* folder = updatedFolder ? env->GetByteArrayElements(updatedFolder, NULL) : NULL;
    SHChangeNotify(SHCNE_CREATE, SHCNF_PATHW, created, NULL);
    SHChangeNotify(SHCNE_UPDATEDIR, SHCNF_PATHW | SHCNF_FLUSH, folder, NULL);
    if (folder)
        env->ReleaseByteArrayElements(updatedFolder, folder, JNI_ABORT);
    if (created)
        env->ReleaseByteArrayElements(createdItem, created, JNI_ABORT);
    return JNI_TRUE;
}

JNIEXPORT jboolean JNICALL OSTRA_JNI(ShellLink, initialize0)(JNIEnv*, jclass)
{
    CoInitialize(NULL);
    return JNI_TRUE;
}

JNIEXPORT jboolean JNICALL OSTRA_JNI(ShellLink, uninitialize)(JNIEnv*, jclass)
{
    CoUninitialize();
    return JNI_TRUE;
}

} // extern "C"
