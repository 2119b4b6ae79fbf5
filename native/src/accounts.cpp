// Accounts, groups and access rights. Not implemented yet: every method
// reports failure the way its callers expect (false, null, -1, 0).
#include "jniutil.h"

extern "C" {

JNIEXPORT jboolean JNICALL OSTRA_JNI(Win32UserInfo, isMemberOfGroup0)(JNIEnv*, jclass, jint) { return JNI_FALSE; }

JNIEXPORT jboolean JNICALL OSTRA_JNI(Win32UserInfo, executeElevated0)(JNIEnv*, jclass, jstring, jstring, jstring, jint)
{
    return JNI_FALSE;
}

JNIEXPORT jint JNICALL OSTRA_JNI(Win32UserInfo, getElevationType0)(JNIEnv*, jclass) { return 0; }

JNIEXPORT jstring JNICALL OSTRA_JNI(Win32UserInfo, addUser0)(JNIEnv*, jclass, jstring, jstring, jstring, jstring,
                                                            jstring, jboolean, jboolean)
{
    return NULL;
}

JNIEXPORT jint JNICALL OSTRA_JNI(Win32UserInfo, deleteUser0)(JNIEnv*, jclass, jstring, jstring) { return -1; }
JNIEXPORT jint JNICALL OSTRA_JNI(Win32UserInfo, deleteLocalGroup0)(JNIEnv*, jclass, jstring, jstring) { return -1; }

JNIEXPORT jstring JNICALL OSTRA_JNI(Win32UserInfo, getAccountName0)(JNIEnv* env, jclass, jstring, jboolean)
{
    return ostra::newJavaString(env, L"");
}

JNIEXPORT jstring JNICALL OSTRA_JNI(Win32UserInfo, getUserProfileDirectory0)(JNIEnv* env, jclass, jstring, jstring)
{
    return ostra::newJavaString(env, L" could not load library 0");
}

JNIEXPORT jstring JNICALL OSTRA_JNI(Win32UserInfo, getUserSid0)(JNIEnv*, jclass) { return NULL; }

JNIEXPORT jboolean JNICALL OSTRA_JNI(Win32UserInfo, setLsaAccountRight0)(JNIEnv*, jclass, jstring, jstring, jboolean)
{
    return JNI_FALSE;
}

JNIEXPORT jboolean JNICALL OSTRA_JNI(ACLHandling, addACE)(JNIEnv*, jclass, jstring, jboolean, jboolean, jboolean,
                                                         jboolean, jboolean, jint, jstring)
{
    return JNI_FALSE;
}

} // extern "C"
