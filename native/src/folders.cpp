// Special folders and file versions. Not implemented yet: no folder is
// known and no version can be read.
#include "jniutil.h"

extern "C" {

JNIEXPORT jint JNICALL OSTRA_JNI(FileVersion, compare0)(JNIEnv*, jclass, jstring, jstring) { return 3; }

JNIEXPORT jstring JNICALL OSTRA_JNI(FolderInfo, getSpecialFolder0)(JNIEnv*, jclass, jint, jboolean) { return NULL; }
JNIEXPORT jstring JNICALL OSTRA_JNI(FolderInfo, getPathFromRegistry0)(JNIEnv*, jclass, jstring) { return NULL; }
JNIEXPORT jstring JNICALL OSTRA_JNI(FolderInfo, getWindowsDirectory0)(JNIEnv*, jclass) { return NULL; }
JNIEXPORT jstring JNICALL OSTRA_JNI(FolderInfo, getSystemDirectory0)(JNIEnv*, jclass) { return NULL; }
JNIEXPORT jint JNICALL OSTRA_JNI(FolderInfo, getDriveType0)(JNIEnv*, jclass, jstring) { return 0; }

JNIEXPORT jstring JNICALL OSTRA_JNI(FolderInfo, getShortPathName0)(JNIEnv*, jclass, jstring path)
{
    return path;
}

JNIEXPORT jstring JNICALL OSTRA_JNI(FolderInfo, getDownloadsDirectory0)(JNIEnv*, jclass) { return NULL; }

} // extern "C"
