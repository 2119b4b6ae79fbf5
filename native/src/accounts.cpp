// Accounts, groups and access rights: who the installer runs as, elevated
// starts, local users and groups, SIDs as account names and profile
// folders, LSA account rights, and access-control entries on files and
// registry keys. Results that can fail in several ways are short texts the
// Java side parses.
#include "jniutil.h"

#include <aclapi.h>
#include <lm.h>
#include <ntsecapi.h>
#include <sddl.h>
#include <shellapi.h>
#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

namespace {

typedef BOOL(WINAPI* AllocateAndInitializeSidFn)(PSID_IDENTIFIER_AUTHORITY, BYTE, DWORD, DWORD, DWORD, DWORD, DWORD,
                                                 DWORD, DWORD, DWORD, PSID*);
typedef BOOL(WINAPI* EqualSidFn)(PSID, PSID);
typedef BOOL(WINAPI* GetTokenInformationFn)(HANDLE, TOKEN_INFORMATION_CLASS, LPVOID, DWORD, PDWORD);
typedef BOOL(WINAPI* OpenProcessTokenFn)(HANDLE, DWORD, PHANDLE);
typedef BOOL(WINAPI* OpenThreadTokenFn)(HANDLE, DWORD, BOOL, PHANDLE);
typedef BOOL(WINAPI* ConvertSidToStringSidFn)(PSID, LPWSTR*);
typedef BOOL(WINAPI* ConvertStringSidToSidFn)(LPCWSTR, PSID*);
typedef BOOL(WINAPI* LogonUserFn)(LPCWSTR, LPCWSTR, LPCWSTR, DWORD, DWORD, PHANDLE);
typedef NTSTATUS(NTAPI* LsaOpenPolicyFn)(PLSA_UNICODE_STRING, PLSA_OBJECT_ATTRIBUTES, ACCESS_MASK, PLSA_HANDLE);
typedef NTSTATUS(NTAPI* LsaAddAccountRightsFn)(LSA_HANDLE, PSID, PLSA_UNICODE_STRING, ULONG);
typedef NTSTATUS(NTAPI* LsaRemoveAccountRightsFn)(LSA_HANDLE, PSID, BOOLEAN, PLSA_UNICODE_STRING, ULONG);
typedef NTSTATUS(NTAPI* LsaCloseFn)(LSA_HANDLE);

// NetUserDel and NetLocalGroupDel share this shape.
typedef NET_API_STATUS(NET_API_FUNCTION* NetUserDelFn)(LPCWSTR, LPCWSTR);
typedef NET_API_STATUS(NET_API_FUNCTION* NetLocalGroupAddFn)(LPCWSTR, DWORD, LPBYTE, LPDWORD);
typedef NET_API_STATUS(NET_API_FUNCTION* NetLocalGroupGetInfoFn)(LPCWSTR, LPCWSTR, DWORD, LPBYTE*);
typedef NET_API_STATUS(NET_API_FUNCTION* NetApiBufferFreeFn)(LPVOID);
typedef NET_API_STATUS(NET_API_FUNCTION* NetUserAddFn)(LPCWSTR, DWORD, LPBYTE, LPDWORD);
typedef NET_API_STATUS(NET_API_FUNCTION* NetUserGetInfoFn)(LPCWSTR, LPCWSTR, DWORD, LPBYTE*);
typedef NET_API_STATUS(NET_API_FUNCTION* NetLocalGroupAddMembersFn)(LPCWSTR, LPCWSTR, DWORD, LPBYTE, DWORD);
typedef BOOL(WINAPI* GetUserProfileDirectoryFn)(HANDLE, LPWSTR, LPDWORD);

const DWORD kNameUnits = 8192;
const DWORD kSidBytes = 8192;
const size_t kResultUnits = 1024;

template <typename F>
F advapi(const char* name)
{
    return reinterpret_cast<F>(ostra::loadedFunction(L"advapi32.dll", name));
}

// The five functions every token query needs.
struct TokenApi
{
    AllocateAndInitializeSidFn allocateSid;
    EqualSidFn equalSid;
    GetTokenInformationFn tokenInformation;
    OpenProcessTokenFn openProcessToken;
    OpenThreadTokenFn openThreadToken;

    TokenApi()
        : allocateSid(advapi<AllocateAndInitializeSidFn>("AllocateAndInitializeSid"))
        , equalSid(advapi<EqualSidFn>("EqualSid"))
        , tokenInformation(advapi<GetTokenInformationFn>("GetTokenInformation"))
        , openProcessToken(advapi<OpenProcessTokenFn>("OpenProcessToken"))
        , openThreadToken(advapi<OpenThreadTokenFn>("OpenThreadToken"))
    {
    }
    bool complete() const
    {
        return allocateSid && equalSid && tokenInformation && openProcessToken && openThreadToken;
    }

    // The impersonation token of the thread, else the process token.
    bool openCurrentToken(HANDLE* token) const
    {
        return openThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, token)
            || openProcessToken(GetCurrentProcess(), TOKEN_QUERY, token);
    }

    enum Read { Read_Ok, Read_SizeFailed, Read_Failed };
    // One kind of token information in a heap buffer the caller frees.
    Read read(HANDLE token, TOKEN_INFORMATION_CLASS kind, void** buffer) const
    {
        DWORD size = 0;
        if (!tokenInformation(token, kind, NULL, 0, &size) && GetLastError() != ERROR_INSUFFICIENT_BUFFER)
            return Read_SizeFailed;
        *buffer = malloc(size ? size : 1);
        if (!*buffer)
            return Read_Failed;
        if (!tokenInformation(token, kind, *buffer, size, &size)) {
            free(*buffer);
            *buffer = NULL;
            return Read_Failed;
        }
        return Read_Ok;
    }
};

bool isServiceSid(const wchar_t* sid, const wchar_t** accountName)
{
    static const wchar_t* const kServices[][2] = {
        {L"S-1-5-18", L"NT AUTHORITY\\System"},
        {L"S-1-5-19", L"NT AUTHORITY\\LocalService"},
        {L"S-1-5-20", L"NT AUTHORITY\\NetworkService"},
    };
    if (!sid)
        return false;
    for (size_t i = 0; i < sizeof kServices / sizeof kServices[0]; ++i) {
        if (wcscmp(sid, kServices[i][0]) == 0) {
            if (accountName)
                *accountName = kServices[i][1];
            return true;
        }
    }
    return false;
}

bool isBuiltinSid(const wchar_t* sid)
{
    return sid && wcsncmp(sid, L"S-1-5-32-", 9) == 0;
}

// An account (a SID text or a name) as a SID the caller frees with LocalFree.
PSID accountSid(const wchar_t* account, ConvertStringSidToSidFn stringToSid)
{
    if (!account)
        return NULL;
    PSID sid = NULL;
    if (stringToSid && stringToSid(account, &sid))
        return sid;
    sid = LocalAlloc(LPTR, kSidBytes);
    wchar_t* domain = static_cast<wchar_t*>(malloc(kNameUnits * sizeof(wchar_t)));
    DWORD sidSize = kSidBytes;
    DWORD domainUnits = kNameUnits;
    SID_NAME_USE use;
    const bool found = sid && domain && LookupAccountNameW(NULL, account, sid, &sidSize, domain, &domainUnits, &use);
    free(domain);
    if (!found && sid) {
        LocalFree(sid);
        sid = NULL;
    }
    return sid;
}

// netapi32.dll, taken when loaded or loaded now (and kept).
HMODULE netapi()
{
    HMODULE module = GetModuleHandleW(L"netapi32.dll");
    return module ? module : LoadLibraryW(L"netapi32.dll");
}

template <typename F>
F netapiFunction(const char* name)
{
    HMODULE module = netapi();
    return module ? reinterpret_cast<F>(GetProcAddress(module, name)) : NULL;
}

// NetUserDel or NetLocalGroupDel: the Net API status, or -1 when the
// function is unavailable.
jint netDelete(JNIEnv* env, const char* function, jstring server, jstring name)
{
    NetUserDelFn remove = netapiFunction<NetUserDelFn>(function);
    if (!remove)
        return -1;
    wchar_t* host = ostra::newWide(env, server);
    wchar_t* object = ostra::newWide(env, name);
    const NET_API_STATUS status = remove(host, object);
    ostra::freeWide(object);
    ostra::freeWide(host);
    return static_cast<jint>(status);
}

void appendText(wchar_t* text, size_t capacity, const wchar_t* format, const wchar_t* a, const wchar_t* b)
{
    const size_t used = wcslen(text);
    if (used + 1 < capacity)
        ostra::formatText(text + used, capacity - used, format, a, b);
}

} // namespace

extern "C" {

JNIEXPORT jstring JNICALL OSTRA_JNI(Win32UserInfo, getUserSid0)(JNIEnv* env, jclass)
{
    TokenApi api;
    ConvertSidToStringSidFn sidToString = advapi<ConvertSidToStringSidFn>("ConvertSidToStringSidW");
    if (!api.complete() || !sidToString)
        return NULL;
    HANDLE token;
    if (!api.openCurrentToken(&token))
        return NULL;
    void* buffer = NULL;
    jstring result = NULL;
    if (api.read(token, TokenUser, &buffer) == TokenApi::Read_Ok) {
        wchar_t* text = NULL;
        if (sidToString(static_cast<TOKEN_USER*>(buffer)->User.Sid, &text)) {
            result = ostra::newJavaString(env, text);
            LocalFree(text);
        }
        free(buffer);
    }
    CloseHandle(token);
    return result;
}

JNIEXPORT jboolean JNICALL OSTRA_JNI(Win32UserInfo, isMemberOfGroup0)(JNIEnv*, jclass, jint relativeId)
{
    // When the membership cannot be found out, the caller counts as a member.
    TokenApi api;
    if (!api.complete())
        return JNI_TRUE;
    SID_IDENTIFIER_AUTHORITY ntAuthority = SECURITY_NT_AUTHORITY;
    PSID group = NULL;
    if (!api.allocateSid(&ntAuthority, 2, SECURITY_BUILTIN_DOMAIN_RID, static_cast<DWORD>(relativeId), 0, 0, 0, 0, 0,
                         0, &group))
        return JNI_TRUE;
    HANDLE token;
    if (!api.openCurrentToken(&token)) {
        FreeSid(group);
        return JNI_TRUE;
    }
    void* buffer = NULL;
    jboolean member = JNI_FALSE;
    switch (api.read(token, TokenGroups, &buffer)) {
    case TokenApi::Read_SizeFailed:
        member = JNI_TRUE;
        break;
    case TokenApi::Read_Failed:
        break;
    case TokenApi::Read_Ok: {
        const TOKEN_GROUPS* groups = static_cast<TOKEN_GROUPS*>(buffer);
        for (DWORD i = 0; i < groups->GroupCount && !member; ++i) {
            const DWORD state = groups->Groups[i].Attributes & (SE_GROUP_ENABLED | SE_GROUP_USE_FOR_DENY_ONLY);
            if (api.equalSid(groups->Groups[i].Sid, group) && state == SE_GROUP_ENABLED)
                member = JNI_TRUE;
        }
        free(buffer);
        break;
    }
    }
    CloseHandle(token);
    FreeSid(group);
    return member;
}

JNIEXPORT jint JNICALL OSTRA_JNI(Win32UserInfo, getElevationType0)(JNIEnv*, jclass)
{
    TokenApi api;
    if (!api.complete())
        return 0;
    HANDLE token;
    if (!api.openProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return 0;
    DWORD type = 0;
    DWORD size = 0;
    if (!api.tokenInformation(token, TokenElevationType, &type, sizeof type, &size))
        type = 0;
    CloseHandle(token);
    return static_cast<jint>(type);
}

JNIEXPORT jboolean JNICALL OSTRA_JNI(Win32UserInfo, executeElevated0)(JNIEnv* env, jclass, jstring file,
                                                                     jstring parameters, jstring directory,
                                                                     jint showCommand)
{
    wchar_t* program = ostra::newWide(env, file);
    wchar_t* arguments = ostra::newWide(env, parameters);
    wchar_t* folder = ostra::newWide(env, directory);
    const INT_PTR result =
        reinterpret_cast<INT_PTR>(ShellExecuteW(NULL, L"runas", program, arguments, folder, showCommand));
    ostra::freeWide(folder);
    ostra::freeWide(arguments);
    ostra::freeWide(program);
    return result > 32 ? JNI_TRUE : JNI_FALSE;
}

JNIEXPORT jstring JNICALL OSTRA_JNI(Win32UserInfo, addUser0)(JNIEnv* env, jclass, jstring userName, jstring password,
                                                            jstring comment, jstring groupName, jstring groupComment,
                                                            jboolean createGroup, jboolean failIfGroupExists)
{
    ConvertSidToStringSidFn sidToString = advapi<ConvertSidToStringSidFn>("ConvertSidToStringSidW");
    NetLocalGroupAddFn groupAdd = netapiFunction<NetLocalGroupAddFn>("NetLocalGroupAdd");
    NetLocalGroupGetInfoFn groupGetInfo = netapiFunction<NetLocalGroupGetInfoFn>("NetLocalGroupGetInfo");
    NetApiBufferFreeFn bufferFree = netapiFunction<NetApiBufferFreeFn>("NetApiBufferFree");
    NetUserAddFn userAdd = netapiFunction<NetUserAddFn>("NetUserAdd");
    NetUserGetInfoFn userGetInfo = netapiFunction<NetUserGetInfoFn>("NetUserGetInfo");
    NetLocalGroupAddMembersFn addMembers = netapiFunction<NetLocalGroupAddMembersFn>("NetLocalGroupAddMembers");
    if (!sidToString || !groupAdd || !groupGetInfo || !bufferFree || !userAdd || !userGetInfo || !addMembers
        || !netapiFunction<NetUserDelFn>("NetUserDel") || !netapiFunction<NetUserDelFn>("NetLocalGroupDel"))
        return NULL;

    wchar_t* name = ostra::newWide(env, userName);
    wchar_t* secret = ostra::newWide(env, password);
    wchar_t* remark = ostra::newWide(env, comment);
    wchar_t* group = ostra::newWide(env, groupName);
    wchar_t* groupRemark = ostra::newWide(env, groupComment);
    wchar_t text[kResultUnits];
    text[0] = 0;
    bool groupCreated = false;

    if (group) {
        if (createGroup) {
            LOCALGROUP_INFO_1 info;
            info.lgrpi1_name = group;
            info.lgrpi1_comment = groupRemark;
            const NET_API_STATUS status = groupAdd(NULL, 1, reinterpret_cast<LPBYTE>(&info), NULL);
            const bool exists = status == ERROR_ALIAS_EXISTS || status == NERR_GroupExists;
            if (status == NERR_Success)
                groupCreated = true;
            else if (!exists || failIfGroupExists)
                ostra::formatText(text, kResultUnits, L"%d %d", 1, static_cast<int>(status));
        } else {
            LPBYTE info = NULL;
            const NET_API_STATUS status = groupGetInfo(NULL, group, 1, &info);
            if (status != NERR_Success)
                ostra::formatText(text, kResultUnits, L"%d %d", 6, static_cast<int>(status));
            if (info)
                bufferFree(info);
        }
    }

    USER_INFO_23* created = NULL;
    if (!text[0]) {
        USER_INFO_1 user;
        user.usri1_name = name;
        user.usri1_password = secret;
        user.usri1_password_age = 0;
        user.usri1_priv = USER_PRIV_USER;
        user.usri1_home_dir = NULL;
        user.usri1_comment = remark;
        user.usri1_flags = UF_SCRIPT;
        user.usri1_script_path = NULL;
        DWORD parameterError = 0;
        const NET_API_STATUS status = userAdd(NULL, 1, reinterpret_cast<LPBYTE>(&user), &parameterError);
        if (status != NERR_Success)
            ostra::formatText(text, kResultUnits, L"%d %d %d", 2, static_cast<int>(status),
                              static_cast<int>(parameterError));
    }
    if (!text[0]) {
        const NET_API_STATUS status = userGetInfo(NULL, name, 23, reinterpret_cast<LPBYTE*>(&created));
        if (status != NERR_Success)
            ostra::formatText(text, kResultUnits, L"%d %d", 3, static_cast<int>(status));
    }
    if (!text[0] && group && created) {
        LOCALGROUP_MEMBERS_INFO_0 member;
        member.lgrmi0_sid = created->usri23_user_sid;
        const NET_API_STATUS status = addMembers(NULL, group, 0, reinterpret_cast<LPBYTE>(&member), 1);
        if (status != NERR_Success && status != ERROR_MEMBER_IN_ALIAS)
            ostra::formatText(text, kResultUnits, L"%d %d", 4, static_cast<int>(status));
    }
    if (!text[0] && created) {
        wchar_t* userSid = NULL;
        if (!sidToString(created->usri23_user_sid, &userSid)) {
            ostra::formatText(text, kResultUnits, L"%d", 5);
        } else {
            ostra::formatText(text, kResultUnits, L"%ls", userSid);
            LocalFree(userSid);
            if (group) {
                PSID groupSid = malloc(kSidBytes);
                wchar_t* domain = static_cast<wchar_t*>(malloc(kNameUnits * sizeof(wchar_t)));
                DWORD sidSize = kSidBytes;
                DWORD domainUnits = kNameUnits;
                SID_NAME_USE use;
                wchar_t* groupText = NULL;
                if (groupSid && domain
                    && LookupAccountNameW(NULL, group, groupSid, &sidSize, domain, &domainUnits, &use)
                    && sidToString(groupSid, &groupText)) {
                    appendText(text, kResultUnits, L" %ls %ls", groupText, groupCreated ? L"true" : L"false");
                    LocalFree(groupText);
                }
                free(domain);
                free(groupSid);
            }
        }
    }
    if (created)
        bufferFree(created);
    ostra::freeWide(groupRemark);
    ostra::freeWide(group);
    ostra::freeWide(remark);
    ostra::freeWide(secret);
    ostra::freeWide(name);
    return text[0] ? ostra::newJavaString(env, text) : NULL;
}

JNIEXPORT jint JNICALL OSTRA_JNI(Win32UserInfo, deleteUser0)(JNIEnv* env, jclass, jstring server, jstring userName)
{
    return netDelete(env, "NetUserDel", server, userName);
}

JNIEXPORT jint JNICALL OSTRA_JNI(Win32UserInfo, deleteLocalGroup0)(JNIEnv* env, jclass, jstring server,
                                                                  jstring groupName)
{
    return netDelete(env, "NetLocalGroupDel", server, groupName);
}

JNIEXPORT jstring JNICALL OSTRA_JNI(Win32UserInfo, getAccountName0)(JNIEnv* env, jclass, jstring sidText,
                                                                   jboolean nameOnly)
{
    wchar_t* sid = ostra::newWide(env, sidText);
    const wchar_t* serviceName = NULL;
    if (isServiceSid(sid, &serviceName)) {
        ostra::freeWide(sid);
        return ostra::newJavaString(env, serviceName);
    }
    ConvertStringSidToSidFn stringToSid = advapi<ConvertStringSidToSidFn>("ConvertStringSidToSidW");
    if (!stringToSid) {
        ostra::freeWide(sid);
        return ostra::newJavaString(env, L"");
    }
    wchar_t* name = static_cast<wchar_t*>(malloc(kNameUnits * sizeof(wchar_t)));
    wchar_t* domain = static_cast<wchar_t*>(malloc(kNameUnits * sizeof(wchar_t)));
    wchar_t* text = static_cast<wchar_t*>(malloc((2 * kNameUnits + 2) * sizeof(wchar_t)));
    if (!name || !domain || !text) {
        free(text);
        free(domain);
        free(name);
        ostra::freeWide(sid);
        return NULL;
    }
    const size_t capacity = 2 * kNameUnits + 2;
    PSID binary = NULL;
    DWORD nameUnits = kNameUnits;
    DWORD domainUnits = kNameUnits;
    SID_NAME_USE use;
    if (!stringToSid(sid, &binary) || !LookupAccountSidW(NULL, binary, name, &nameUnits, domain, &domainUnits, &use))
        ostra::formatText(text, capacity, L" %d", static_cast<int>(GetLastError()));
    else if (nameOnly)
        ostra::formatText(text, capacity, L"%ls", name);
    else if (isBuiltinSid(sid) || !domain[0])
        ostra::formatText(text, capacity, L".\\%ls", name);
    else
        ostra::formatText(text, capacity, L"%ls\\%ls", domain, name);
    if (binary)
        LocalFree(binary);
    jstring result = ostra::newJavaString(env, text);
    free(text);
    free(domain);
    free(name);
    ostra::freeWide(sid);
    return result;
}

JNIEXPORT jstring JNICALL OSTRA_JNI(Win32UserInfo, getUserProfileDirectory0)(JNIEnv* env, jclass, jstring sidText,
                                                                            jstring password)
{
    const size_t kTextUnits = 8192;
    wchar_t* text = static_cast<wchar_t*>(calloc(kTextUnits, sizeof(wchar_t)));
    wchar_t* name = static_cast<wchar_t*>(malloc(kNameUnits * sizeof(wchar_t)));
    wchar_t* domain = static_cast<wchar_t*>(malloc(kNameUnits * sizeof(wchar_t)));
    if (!text || !name || !domain) {
        free(domain);
        free(name);
        free(text);
        return NULL;
    }
    wchar_t* sid = ostra::newWide(env, sidText);
    wchar_t* secret = ostra::newWide(env, password);
    HMODULE advapi32 = GetModuleHandleW(L"advapi32.dll");
    HMODULE userenv = LoadLibraryW(L"Userenv.dll");
    if (!advapi32 || !userenv) {
        ostra::formatText(text, kTextUnits, L" could not load library %d", static_cast<int>(GetLastError()));
    } else if (isServiceSid(sid, NULL)) {
        ostra::formatText(text, kTextUnits, L" no user account");
    } else {
        ConvertStringSidToSidFn stringToSid =
            reinterpret_cast<ConvertStringSidToSidFn>(GetProcAddress(advapi32, "ConvertStringSidToSidW"));
        LogonUserFn logonUser = reinterpret_cast<LogonUserFn>(GetProcAddress(advapi32, "LogonUserW"));
        GetUserProfileDirectoryFn profileDirectory =
            reinterpret_cast<GetUserProfileDirectoryFn>(GetProcAddress(userenv, "GetUserProfileDirectoryW"));
        PSID binary = NULL;
        DWORD nameUnits = kNameUnits;
        DWORD domainUnits = kNameUnits;
        SID_NAME_USE use;
        HANDLE token = NULL;
        if (!stringToSid || !logonUser || !profileDirectory) {
            ostra::formatText(text, kTextUnits, L" could not get functions %d", static_cast<int>(GetLastError()));
        } else if (!stringToSid(sid, &binary)) {
            ostra::formatText(text, kTextUnits, L" could not convert sid %d", static_cast<int>(GetLastError()));
        } else if (!LookupAccountSidW(NULL, binary, name, &nameUnits, domain, &domainUnits, &use)) {
            ostra::formatText(text, kTextUnits, L" could not look up account name %d", static_cast<int>(GetLastError()));
        } else {
            if (isBuiltinSid(sid) || !domain[0])
                wcscpy(domain, L".");
            if (!logonUser(name, domain, secret, LOGON32_LOGON_NETWORK, LOGON32_PROVIDER_DEFAULT, &token)) {
                ostra::formatText(text, kTextUnits, L" could not get token %d", static_cast<int>(GetLastError()));
            } else {
                DWORD units = static_cast<DWORD>(kTextUnits);
                if (!profileDirectory(token, text, &units))
                    ostra::formatText(text, kTextUnits, L" could not get user profile dir %d",
                                      static_cast<int>(GetLastError()));
                text[kTextUnits - 1] = 0;
                CloseHandle(token);
            }
        }
        if (binary)
            LocalFree(binary);
    }
    if (userenv)
        FreeLibrary(userenv);
    jstring result = ostra::newJavaString(env, text);
    ostra::freeWide(secret);
    ostra::freeWide(sid);
    free(domain);
    free(name);
    free(text);
    return result;
}

JNIEXPORT jboolean JNICALL OSTRA_JNI(Win32UserInfo, setLsaAccountRight0)(JNIEnv* env, jclass, jstring account,
                                                                        jstring right, jboolean add)
{
    LsaOpenPolicyFn openPolicy = advapi<LsaOpenPolicyFn>("LsaOpenPolicy");
    LsaAddAccountRightsFn addRights = advapi<LsaAddAccountRightsFn>("LsaAddAccountRights");
    LsaRemoveAccountRightsFn removeRights = advapi<LsaRemoveAccountRightsFn>("LsaRemoveAccountRights");
    LsaCloseFn close = advapi<LsaCloseFn>("LsaClose");
    if (!openPolicy || !addRights || !removeRights || !close)
        return JNI_FALSE;
    wchar_t* accountText = ostra::newWide(env, account);
    PSID sid = accountSid(accountText, advapi<ConvertStringSidToSidFn>("ConvertStringSidToSidW"));
    ostra::freeWide(accountText);
    if (!sid)
        return JNI_FALSE;

    LSA_OBJECT_ATTRIBUTES attributes;
    ZeroMemory(&attributes, sizeof attributes);
    LSA_HANDLE policy = NULL;
    bool ok = false;
    if (openPolicy(NULL, &attributes, POLICY_CREATE_ACCOUNT | POLICY_LOOKUP_NAMES, &policy) == 0) {
        wchar_t* rightText = ostra::newWide(env, right);
        wchar_t empty[1] = {0};
        wchar_t* rightName = rightText ? rightText : empty;
        const size_t units = wcslen(rightName);
        LSA_UNICODE_STRING lsaRight;
        lsaRight.Buffer = rightName;
        lsaRight.Length = static_cast<USHORT>(units * sizeof(wchar_t));
        lsaRight.MaximumLength = static_cast<USHORT>((units + 1) * sizeof(wchar_t));
        const NTSTATUS status = add ? addRights(policy, sid, &lsaRight, 1)
                                    : removeRights(policy, sid, rightText == NULL, &lsaRight, 1);
        ok = status == 0;
        close(policy);
        ostra::freeWide(rightText);
    }
    LocalFree(sid);
    return ok ? JNI_TRUE : JNI_FALSE;
}

JNIEXPORT jboolean JNICALL OSTRA_JNI(ACLHandling, addACE)(JNIEnv* env, jclass, jstring path, jboolean registryKey,
                                                         jboolean genericRead, jboolean genericWrite,
                                                         jboolean genericExecute, jboolean genericAll,
                                                         jint trustee, jstring account)
{
    const SE_OBJECT_TYPE type = registryKey ? SE_REGISTRY_KEY : SE_FILE_OBJECT;
    DWORD mask = 0;
    if (genericRead)
        mask |= GENERIC_READ;
    if (genericWrite)
        mask |= GENERIC_WRITE;
    if (genericExecute)
        mask |= GENERIC_EXECUTE;
    if (genericAll)
        mask |= GENERIC_ALL;

    PSID sid = NULL;
    const bool localAllocated = trustee == 3;
    if (trustee == 3) {
        wchar_t* accountText = ostra::newWide(env, account);
        sid = accountSid(accountText, advapi<ConvertStringSidToSidFn>("ConvertStringSidToSidW"));
        ostra::freeWide(accountText);
    } else {
        AllocateAndInitializeSidFn allocateSid = advapi<AllocateAndInitializeSidFn>("AllocateAndInitializeSid");
        SID_IDENTIFIER_AUTHORITY authority = SECURITY_WORLD_SID_AUTHORITY;
        DWORD subAuthority = SECURITY_WORLD_RID;
        if (trustee == 1) {
            SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
            authority = nt;
            subAuthority = SECURITY_AUTHENTICATED_USER_RID;
        } else if (trustee == 5) {
            SID_IDENTIFIER_AUTHORITY two = {{0, 0, 0, 0, 0, 2}};
            authority = two;
            subAuthority = 547;
        }
        if (!allocateSid || !allocateSid(&authority, 1, subAuthority, 0, 0, 0, 0, 0, 0, 0, &sid))
            sid = NULL;
    }
    if (!sid)
        return JNI_FALSE;

    wchar_t* objectName = ostra::newWide(env, path);
    DWORD status;
    PACL oldDacl = NULL;
    PACL newDacl = NULL;
    PSECURITY_DESCRIPTOR descriptor = NULL;
    if (!objectName) {
        status = ERROR_INVALID_PARAMETER;
    } else {
        status = GetNamedSecurityInfoW(objectName, type, DACL_SECURITY_INFORMATION, NULL, NULL, &oldDacl, NULL,
                                       &descriptor);
        if (status != ERROR_SUCCESS) {
            printf("GetNamedSecurityInfo Error %lu %ls\n", static_cast<unsigned long>(status), objectName);
        } else {
            EXPLICIT_ACCESS_W access;
            ZeroMemory(&access, sizeof access);
            access.grfAccessPermissions = mask;
            access.grfAccessMode = GRANT_ACCESS;
            access.grfInheritance = SUB_CONTAINERS_AND_OBJECTS_INHERIT;
            access.Trustee.pMultipleTrustee = NULL;
            access.Trustee.MultipleTrusteeOperation = NO_MULTIPLE_TRUSTEE;
            access.Trustee.TrusteeForm = TRUSTEE_IS_SID;
            access.Trustee.TrusteeType = TRUSTEE_IS_WELL_KNOWN_GROUP;
            access.Trustee.ptstrName = static_cast<LPWSTR>(sid);
            status = SetEntriesInAclW(1, &access, oldDacl, &newDacl);
            if (status != ERROR_SUCCESS) {
                printf("SetEntriesInAcl Error %lu\n", static_cast<unsigned long>(status));
            } else {
                status = SetNamedSecurityInfoW(objectName, type, DACL_SECURITY_INFORMATION, NULL, NULL, newDacl, NULL);
                if (status != ERROR_SUCCESS)
                    printf("SetNamedSecurityInfo Error %lu\n", static_cast<unsigned long>(status));
            }
        }
        fflush(stdout);
    }
    if (descriptor)
        LocalFree(descriptor);
    if (newDacl)
        LocalFree(newDacl);
    if (localAllocated)
        LocalFree(sid);
    else
        FreeSid(sid);
    ostra::freeWide(objectName);
    return status == ERROR_SUCCESS ? JNI_TRUE : JNI_FALSE;
}

} // extern "C"
