// Services. Not implemented yet: every method reports that the service
// control manager could not be opened (5000).
#include "jniutil.h"

namespace {
const jint kNoManager = 5000;
}

extern "C" {

JNIEXPORT jint JNICALL OSTRA_JNI(Win32Services, installService0)(JNIEnv*, jclass, jstring, jstring, jstring)
{
    return kNoManager;
}

JNIEXPORT jint JNICALL OSTRA_JNI(Win32Services, changeServiceConfig0)(JNIEnv*, jclass, jstring, jstring, jstring, jint,
                                                                      jint, jstring, jstring, jstring, jstring)
{
    return kNoManager;
}

JNIEXPORT jint JNICALL OSTRA_JNI(Win32Services, setRestartServiceConfig0)(JNIEnv*, jclass, jstring, jboolean, jint)
{
    return kNoManager;
}

JNIEXPORT jint JNICALL OSTRA_JNI(Win32Services, stopService0)(JNIEnv*, jclass, jstring) { return kNoManager; }
JNIEXPORT jint JNICALL OSTRA_JNI(Win32Services, startService0)(JNIEnv*, jclass, jstring) { return kNoManager; }
JNIEXPORT jint JNICALL OSTRA_JNI(Win32Services, uninstallService0)(JNIEnv*, jclass, jstring) { return kNoManager; }
JNIEXPORT jint JNICALL OSTRA_JNI(Win32Services, queryStatus0)(JNIEnv*, jclass, jstring) { return kNoManager; }
JNIEXPORT jint JNICALL OSTRA_JNI(Win32Services, getStartType0)(JNIEnv*, jclass, jstring) { return kNoManager; }

JNIEXPORT jstring JNICALL OSTRA_JNI(Win32Services, getServiceBinary0)(JNIEnv* env, jclass, jstring)
{
    return ostra::newJavaString(env, L" 5000");
}

} // extern "C"
