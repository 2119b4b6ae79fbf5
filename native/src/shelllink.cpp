// Shell links. Not implemented yet: every method reports failure.
#include "jniutil.h"

extern "C" {

JNIEXPORT jboolean JNICALL OSTRA_JNI(ShellLink, createWide0)(JNIEnv*, jclass, jstring, jstring, jstring, jstring,
                                                            jstring, jboolean, jstring, jint)
{
    return JNI_FALSE;
}

JNIEXPORT jboolean JNICALL OSTRA_JNI(ShellLink, create0)(JNIEnv*, jclass, jstring, jbyteArray, jbyteArray, jbyteArray,
                                                        jbyteArray, jboolean, jbyteArray)
{
    return JNI_FALSE;
}

JNIEXPORT jboolean JNICALL OSTRA_JNI(ShellLink, changeNotify0)(JNIEnv*, jclass, jbyteArray, jbyteArray)
{
    return JNI_FALSE;
}

JNIEXPORT jboolean JNICALL OSTRA_JNI(ShellLink, initialize0)(JNIEnv*, jclass) { return JNI_FALSE; }
JNIEXPORT jboolean JNICALL OSTRA_JNI(ShellLink, uninitialize)(JNIEnv*, jclass) { return JNI_FALSE; }

} // extern "C"
