// Processes, windows and system. Not implemented yet: every method reports
// failure (null, 0, -1, false, or ERROR_CALL_NOT_IMPLEMENTED).
#include "jniutil.h"

extern "C" {

JNIEXPORT void JNICALL OSTRA_JNI(Misc, reboot0)(JNIEnv*, jclass) {}
JNIEXPORT jobjectArray JNICALL OSTRA_JNI(Misc, getRunningModules0)(JNIEnv*, jclass, jboolean) { return NULL; }
JNIEXPORT jobjectArray JNICALL OSTRA_JNI(Misc, getEnvVarPairs0)(JNIEnv*, jclass) { return NULL; }
JNIEXPORT void JNICALL OSTRA_JNI(Misc, broadcastSettingChange0)(JNIEnv*, jclass) {}
JNIEXPORT jlong JNICALL OSTRA_JNI(Misc, getPhysicalMemory0)(JNIEnv*, jclass) { return 0; }
JNIEXPORT jlong JNICALL OSTRA_JNI(Misc, getFreeDiskSpace0)(JNIEnv*, jclass, jstring) { return -1; }

JNIEXPORT jboolean JNICALL OSTRA_JNI(Misc, moveWithDelayUntilReboot0)(JNIEnv*, jclass, jstring, jstring)
{
    return JNI_FALSE;
}

JNIEXPORT void JNICALL OSTRA_JNI(Misc, toFront0)(JNIEnv*, jclass) {}
JNIEXPORT jint JNICALL OSTRA_JNI(Misc, terminateProcesses0)(JNIEnv*, jclass, jintArray, jboolean, jint) { return 0; }

JNIEXPORT jstring JNICALL OSTRA_JNI(Misc, getWindowTitle0)(JNIEnv* env, jclass, jint)
{
    return ostra::newJavaString(env, L"");
}

JNIEXPORT jint JNICALL OSTRA_JNI(Misc, launch0)(JNIEnv*, jclass, jstring, jstring)
{
    return ERROR_CALL_NOT_IMPLEMENTED;
}

JNIEXPORT jlong JNICALL OSTRA_JNI(WinGuiHelper, getHwnd0)(JNIEnv*, jclass, jobject, jobject) { return 0; }

} // extern "C"
