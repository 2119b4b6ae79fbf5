// Native dialogs. Not implemented yet: no dialog is shown; the file dialog
// and the object picker return null, the task dialog 0.
#include "jniutil.h"

extern "C" {

JNIEXPORT void JNICALL OSTRA_JNI(VistaFileChooser, initialize0)(JNIEnv*, jclass) {}

JNIEXPORT jobjectArray JNICALL OSTRA_JNI(VistaFileChooser, displayDialog0)(JNIEnv*, jclass, jlong, jstring, jstring,
                                                                          jstring, jstring, jint, jint, jboolean,
                                                                          jstring, jobjectArray, jobjectArray, jint,
                                                                          jobjectArray, jbooleanArray)
{
    return NULL;
}

JNIEXPORT jint JNICALL OSTRA_JNI(VistaTaskDialog, show0)(JNIEnv*, jclass, jlong, jstring, jstring, jstring, jint, jint,
                                                        jint, jstring, jobjectArray, jint)
{
    return 0;
}

JNIEXPORT jobjectArray JNICALL OSTRA_JNI(ObjectPicker, show0)(JNIEnv*, jclass, jboolean, jboolean, jboolean, jboolean,
                                                             jboolean)
{
    return NULL;
}

} // extern "C"
