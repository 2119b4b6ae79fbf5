// Pipe throughput through the library's block functions, side by side with a
// plain WriteFile/ReadFile loop moving the same length-prefixed blocks.
#include "fakejvm.h"

#include <stdio.h>
#include <string.h>
#include <vector>

namespace {

typedef jlong(JNICALL* NameFn)(JNIEnv*, jclass, jstring);
typedef jboolean(JNICALL* ConnectFn)(JNIEnv*, jclass, jlong);
typedef jbyteArray(JNICALL* ReadFn)(JNIEnv*, jclass, jlong);
typedef jboolean(JNICALL* WriteFn)(JNIEnv*, jclass, jlong, jbyteArray);
typedef void(JNICALL* CloseFn)(JNIEnv*, jclass, jlong);

HMODULE g_library;

FARPROC function(const char* method, int bytes)
{
    char name[200];
#ifdef _WIN64
    (void)bytes;
    snprintf(name, sizeof(name), "Java_com_ostrakit_runtime_installer_platform_win32_Win32CommunicationBackend_%s", method);
#else
    snprintf(name, sizeof(name), "_Java_com_ostrakit_runtime_installer_platform_win32_Win32CommunicationBackend_%s@%d",
             method, bytes);
#endif
    return GetProcAddress(g_library, name);
}

struct Job
{
    std::wstring name;
    size_t blockSize;
    size_t blocks;
    int mode;
};

enum Mode { Library, Plain, PlainWithFlush };

// The writing side: a client that sends `blocks` blocks.
DWORD WINAPI writer(void* parameter)
{
    Job* job = static_cast<Job*>(parameter);
    fakejvm::Vm& vm = fakejvm::current();
    std::vector<jbyte> data(job->blockSize, 42);
    if (job->mode == Library) {
        jlong client = reinterpret_cast<NameFn>(function("connectClient0", 12))(vm.env(), nullptr, vm.string(job->name.c_str()));
        WriteFn write = reinterpret_cast<WriteFn>(function("writeDataBlock0", 20));
        jbyteArray payload = vm.bytes(data);
        for (size_t i = 0; i < job->blocks; ++i)
            write(vm.env(), nullptr, client, payload);
        reinterpret_cast<CloseFn>(function("closeHandle0", 16))(vm.env(), nullptr, client);
    } else {
        WaitNamedPipeW(job->name.c_str(), 30000);
        HANDLE client = CreateFileW(job->name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
        const jint length = static_cast<jint>(job->blockSize);
        DWORD written;
        for (size_t i = 0; i < job->blocks; ++i) {
            WriteFile(client, &length, 4, &written, NULL);
            for (size_t total = 0; total < job->blockSize; total += written)
                WriteFile(client, data.data() + total, static_cast<DWORD>(job->blockSize - total), &written, NULL);
            if (job->mode == PlainWithFlush)
                FlushFileBuffers(client);
        }
        CloseHandle(client);
    }
    return 0;
}

double run(size_t blockSize, size_t totalBytes, int mode)
{
    static int counter = 0;
    wchar_t name[100];
    swprintf(name, 100, L"\\\\.\\pipe\\ostra-bench-%lu-%d", GetCurrentProcessId(), ++counter);
    Job job = {name, blockSize, totalBytes / blockSize, mode};
    fakejvm::Vm& vm = fakejvm::current();
    LARGE_INTEGER frequency, start, end;
    QueryPerformanceFrequency(&frequency);

    jlong server = reinterpret_cast<NameFn>(function("createListener0", 12))(vm.env(), nullptr, vm.string(name));
    HANDLE thread = CreateThread(NULL, 0, writer, &job, 0, NULL);
    reinterpret_cast<ConnectFn>(function("connectNamedPipe0", 16))(vm.env(), nullptr, server);
    QueryPerformanceCounter(&start);
    if (mode == Library) {
        ReadFn read = reinterpret_cast<ReadFn>(function("readDataBlock0", 16));
        for (size_t i = 0; i < job.blocks; ++i) {
            jbyteArray array = read(vm.env(), nullptr, server);
            fakejvm::Object* block = fakejvm::Vm::object(array);
            if (!block || block->bytes.size() != blockSize)
                return -1;
            vm.recycle(array);
        }
    } else {
        HANDLE pipe = reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(server));
        std::vector<jbyte> buffer(blockSize);
        DWORD read;
        for (size_t i = 0; i < job.blocks; ++i) {
            jint length;
            ReadFile(pipe, &length, 4, &read, NULL);
            for (size_t total = 0; total < blockSize; total += read)
                ReadFile(pipe, buffer.data() + total, static_cast<DWORD>(blockSize - total), &read, NULL);
        }
    }
    QueryPerformanceCounter(&end);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    reinterpret_cast<CloseFn>(function("closeHandle0", 16))(vm.env(), nullptr, server);
    const double seconds = double(end.QuadPart - start.QuadPart) / double(frequency.QuadPart);
    return double(totalBytes) / seconds / (1024.0 * 1024.0);
}

} // namespace

int main()
{
    g_library = LoadLibraryW(L"ostranative.dll");
    if (!g_library) {
        printf("cannot load ostranative.dll\n");
        return 1;
    }
    fakejvm::Vm vm;
    const size_t sizes[] = {4096, 65536, 1 << 20};
    printf("| block | library MiB/s | plain loop MiB/s | ratio | plain loop with FlushFileBuffers MiB/s | ratio |\n"
           "|---:|---:|---:|---:|---:|---:|\n");
    for (size_t size : sizes) {
        const size_t total = size == 4096 ? (64u << 20) : (256u << 20);
        double best[3] = {0, 0, 0};
        for (int round = 0; round < 3; ++round) {
            for (int mode = Library; mode <= PlainWithFlush; ++mode) {
                const double rate = run(size, mode == Library || mode == PlainWithFlush ? total / 4 : total, mode);
                if (rate > best[mode])
                    best[mode] = rate;
            }
        }
        printf("| %zu | %.0f | %.0f | %.2f | %.0f | %.2f |\n", size, best[Library], best[Plain],
               best[Library] / best[Plain], best[PlainWithFlush], best[Library] / best[PlainWithFlush]);
    }
    return 0;
}
