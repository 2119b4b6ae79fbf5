// Named-pipe transport between installer processes: whole data blocks with a
// 4-byte little-endian length prefix, and two process queries.
#include "jniutil.h"

#include <stdio.h>

using namespace ostra;

namespace {
const DWORD kPipeBufferSize = 65536;
const int kServerRetries = 600;
const int kClientRetries = 200;
const DWORD kRetryPause = 500;
const DWORD kFirstWait = 300000;
const DWORD kRetryWait = 1000;
} // namespace

extern "C" {

JNIEXPORT jlong JNICALL OSTRA_JNI(Win32CommunicationBackend, getInvalidHandle0)(JNIEnv*, jclass)
{
    return handleToJava(INVALID_HANDLE_VALUE);
}

JNIEXPORT jlong JNICALL OSTRA_JNI(Win32CommunicationBackend, createListener0)(JNIEnv* env, jclass, jstring name)
{
    wchar_t* pipeName = newWide(env, name);
    HANDLE pipe = CreateNamedPipeW(pipeName, PIPE_ACCESS_DUPLEX,
                                   PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1,
                                   kPipeBufferSize, kPipeBufferSize, 0, NULL);
    freeWide(pipeName);
    return handleToJava(pipe);
}

JNIEXPORT jboolean JNICALL OSTRA_JNI(Win32CommunicationBackend, connectNamedPipe0)(JNIEnv*, jclass, jlong handle)
{
    if (isInvalidHandle(handle))
        return JNI_FALSE;
    HANDLE pipe = handleFromJava(handle);
    for (int failures = 0;; ++failures) {
        if (ConnectNamedPipe(pipe, NULL) || GetLastError() == ERROR_PIPE_CONNECTED)
            return JNI_TRUE;
        if (failures == kServerRetries) {
            printf("could not connect named pipe %d\n", static_cast<int>(GetLastError()));
            return JNI_FALSE;
        }
        Sleep(kRetryPause);
    }
}

JNIEXPORT jlong JNICALL OSTRA_JNI(Win32CommunicationBackend, connectClient0)(JNIEnv* env, jclass, jstring name)
{
    wchar_t* pipeName = newWide(env, name);
    WaitNamedPipeW(pipeName, kFirstWait);
    jlong result = 0;
    for (int failures = 0;; ++failures) {
        HANDLE pipe = CreateFileW(pipeName, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
        if (pipe != INVALID_HANDLE_VALUE) {
            result = handleToJava(pipe);
            break;
        }
        if (failures == kClientRetries) {
            printf("could not open file %d %S\n", static_cast<int>(GetLastError()), pipeName);
            break;
        }
        Sleep(kRetryPause);
        WaitNamedPipeW(pipeName, kRetryWait);
    }
    freeWide(pipeName);
    return result;
}

JNIEXPORT jbyteArray JNICALL OSTRA_JNI(Win32CommunicationBackend, readDataBlock0)(JNIEnv* env, jclass, jlong handle)
{
    if (isInvalidHandle(handle))
        return NULL;
    HANDLE pipe = handleFromJava(handle);
    jint length = 0;
    DWORD read = 0;
    if (!ReadFile(pipe, &length, sizeof(length), &read, NULL) || read < sizeof(length))
        return NULL;
    // A negative length is a broken block: nothing is allocated for it.
    if (length < 0)
        return NULL;
    jbyteArray array = env->NewByteArray(length);
    if (!array)
        return NULL;
    jbyte* bytes = env->GetByteArrayElements(array, NULL);
    if (!bytes)
        return NULL;
    jint total = 0;
    while (total < length) {
        if (!ReadFile(pipe, bytes + total, static_cast<DWORD>(length - total), &read, NULL)) {
            env->ReleaseByteArrayElements(array, bytes, 0);
            env->DeleteLocalRef(array);
            return NULL;
        }
        total += static_cast<jint>(read);
    }
    env->ReleaseByteArrayElements(array, bytes, 0);
    return array;
}

JNIEXPORT jboolean JNICALL OSTRA_JNI(Win32CommunicationBackend, writeDataBlock0)(JNIEnv* env, jclass, jlong handle,
                                                                               jbyteArray payload)
{
    if (isInvalidHandle(handle))
        return JNI_FALSE;
    HANDLE pipe = handleFromJava(handle);
    const jint length = env->GetArrayLength(payload);
    DWORD written = 0;
    if (!WriteFile(pipe, &length, sizeof(length), &written, NULL) || written < sizeof(length))
        return JNI_FALSE;
    jbyte* bytes = env->GetByteArrayElements(payload, NULL);
    if (!bytes)
        return JNI_FALSE;
    jint total = 0;
    while (total < length) {
        if (!WriteFile(pipe, bytes + total, static_cast<DWORD>(length - total), &written, NULL)) {
            env->ReleaseByteArrayElements(payload, bytes, JNI_ABORT);
            return JNI_FALSE;
        }
        total += static_cast<jint>(written);
    }
    FlushFileBuffers(pipe);
    env->ReleaseByteArrayElements(payload, bytes, JNI_ABORT);
    return JNI_TRUE;
}

JNIEXPORT void JNICALL OSTRA_JNI(Win32CommunicationBackend, disconnectNamedPipe0)(JNIEnv*, jclass, jlong handle)
{
    if (!isInvalidHandle(handle))
        DisconnectNamedPipe(handleFromJava(handle));
}

JNIEXPORT void JNICALL OSTRA_JNI(Win32CommunicationBackend, closeHandle0)(JNIEnv*, jclass, jlong handle)
{
    if (!isInvalidHandle(handle))
        CloseHandle(handleFromJava(handle));
}

JNIEXPORT jboolean JNICALL OSTRA_JNI(Win32CommunicationBackend, isProcessAlive0)(JNIEnv*, jclass, jint pid)
{
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(pid));
    if (!process) {
        // The process exists but belongs to someone else.
        return GetLastError() == ERROR_ACCESS_DENIED ? JNI_TRUE : JNI_FALSE;
    }
    DWORD exitCode = 0;
    const BOOL ok = GetExitCodeProcess(process, &exitCode);
    CloseHandle(process);
    return ok && exitCode == STILL_ACTIVE ? JNI_TRUE : JNI_FALSE;
}

JNIEXPORT jint JNICALL OSTRA_JNI(Win32CommunicationBackend, getCurrentProcessId0)(JNIEnv*, jclass)
{
    return static_cast<jint>(GetCurrentProcessId());
}

} // extern "C"
