/* Machine-dependent JNI types for 32-bit (and, for tests, 64-bit) Windows.
 * JNIEXPORT is empty on purpose: the library's export table comes from its
 * module-definition file alone, so no function is exported twice. */
#ifndef _JAVASOFT_JNI_MD_H_
#define _JAVASOFT_JNI_MD_H_

#define JNIEXPORT
#define JNIIMPORT
#define JNICALL __stdcall

typedef long jint;
typedef long long jlong;
typedef signed char jbyte;

#endif
