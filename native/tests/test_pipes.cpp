// The named-pipe transport: wire format, large transfers, broken partners,
// the invalid handle and the process queries.
#include "harness.h"

#include <string.h>

using namespace harness;

namespace {

typedef jlong(JNICALL* HandleFn)(JNIEnv*, jclass);
typedef jlong(JNICALL* NameFn)(JNIEnv*, jclass, jstring);
typedef jboolean(JNICALL* ConnectFn)(JNIEnv*, jclass, jlong);
typedef jbyteArray(JNICALL* ReadFn)(JNIEnv*, jclass, jlong);
typedef jboolean(JNICALL* WriteFn)(JNIEnv*, jclass, jlong, jbyteArray);
typedef void(JNICALL* VoidHandleFn)(JNIEnv*, jclass, jlong);
typedef jboolean(JNICALL* AliveFn)(JNIEnv*, jclass, jint);
typedef jint(JNICALL* PidFn)(JNIEnv*, jclass);

const char* kClass = "Win32CommunicationBackend";

std::wstring pipeName()
{
    static int counter = 0;
    wchar_t name[128];
    swprintf(name, 128, L"\\\\.\\pipe\\ostra-test-%lu-%d", GetCurrentProcessId(), ++counter);
    return name;
}

// A listening server end and a raw client end, connected.
struct RawPair;
struct Capture
{
    RawPair* pair;
    size_t count;
    std::vector<unsigned char> data;
};
DWORD WINAPI captureThread(void* parameter);

struct RawPair
{
    RawPair()
    {
        name = pipeName();
        server = bind<NameFn>(kClass, "createListener0", 12)(env(), nullptr, vm().string(name.c_str()));
        client = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
        ok = server != -1 && client != INVALID_HANDLE_VALUE
            && bind<ConnectFn>(kClass, "connectNamedPipe0", 16)(env(), nullptr, server);
    }
    ~RawPair()
    {
        if (client != INVALID_HANDLE_VALUE)
            CloseHandle(client);
        bind<VoidHandleFn>(kClass, "closeHandle0", 16)(env(), nullptr, server);
    }
    // Reads on another thread while the library writes: a write only
    // returns once the reader has taken the data.
    std::vector<unsigned char> captureWrite(jbyteArray payload, size_t count, bool* written)
    {
        Capture capture = {this, count, {}};
        HANDLE reader = CreateThread(NULL, 0, captureThread, &capture, 0, NULL);
        *written = bind<WriteFn>(kClass, "writeDataBlock0", 20)(env(), nullptr, server, payload);
        WaitForSingleObject(reader, 30000);
        CloseHandle(reader);
        return capture.data;
    }
    std::vector<unsigned char> readRaw(size_t count)
    {
        std::vector<unsigned char> data(count);
        size_t total = 0;
        DWORD read = 0;
        while (total < count && ReadFile(client, data.data() + total, static_cast<DWORD>(count - total), &read, NULL))
            total += read;
        data.resize(total);
        return data;
    }
    void writeRaw(const void* data, DWORD size)
    {
        DWORD written = 0;
        WriteFile(client, data, size, &written, NULL);
    }

    std::wstring name;
    jlong server = -1;
    HANDLE client = INVALID_HANDLE_VALUE;
    bool ok = false;
};

DWORD WINAPI captureThread(void* parameter)
{
    Capture* capture = static_cast<Capture*>(parameter);
    capture->data = capture->pair->readRaw(capture->count);
    return 0;
}

struct WriterArgs
{
    std::wstring name;
    std::vector<size_t> sizes;
    bool ok = false;
};

// A second "Java thread": connects as a client through the library and
// sends one block per size, each filled with a pattern of its index.
DWORD WINAPI writerThread(void* parameter)
{
    WriterArgs* args = static_cast<WriterArgs*>(parameter);
    fakejvm::Vm& javaVm = vm();
    jlong client = bind<NameFn>(kClass, "connectClient0", 12)(env(), nullptr, javaVm.string(args->name.c_str()));
    if (client == 0)
        return 1;
    auto write = bind<WriteFn>(kClass, "writeDataBlock0", 20);
    args->ok = true;
    for (size_t i = 0; i < args->sizes.size(); ++i) {
        std::vector<jbyte> block(args->sizes[i]);
        for (size_t j = 0; j < block.size(); ++j)
            block[j] = static_cast<jbyte>(i * 31 + j);
        if (!write(env(), nullptr, client, javaVm.bytes(block))) {
            args->ok = false;
            break;
        }
    }
    bind<VoidHandleFn>(kClass, "closeHandle0", 16)(env(), nullptr, client);
    return 0;
}

} // namespace

TEST_CASE(Pipes, invalidHandle)
{
    CHECK_EQ(bind<HandleFn>(kClass, "getInvalidHandle0", 8)(env(), nullptr), jlong(-1));
    // Only the low 32 bits count, and the call touches nothing.
    SetLastError(4242);
    CHECK(bind<ReadFn>(kClass, "readDataBlock0", 16)(env(), nullptr, -1) == nullptr);
    CHECK(bind<ReadFn>(kClass, "readDataBlock0", 16)(env(), nullptr, 0x12345678FFFFFFFFLL) == nullptr);
    CHECK(!bind<WriteFn>(kClass, "writeDataBlock0", 20)(env(), nullptr, -1, vm().bytes({1})));
    CHECK(!bind<ConnectFn>(kClass, "connectNamedPipe0", 16)(env(), nullptr, -1));
    bind<VoidHandleFn>(kClass, "disconnectNamedPipe0", 16)(env(), nullptr, -1);
    bind<VoidHandleFn>(kClass, "closeHandle0", 16)(env(), nullptr, -1);
    CHECK_EQ(GetLastError(), DWORD(4242));
    CHECK_EQ(vm().newByteArrayCalls, 0);
}

TEST_CASE(Pipes, wireFormatOfEmptyAnd300ByteBlocks)
{
    RawPair pair;
    REQUIRE(pair.ok);
    bool written = false;
    CHECK(pair.captureWrite(vm().bytes({}), 4, &written) == (std::vector<unsigned char>{0, 0, 0, 0}));
    CHECK(written);
    std::vector<jbyte> payload(300);
    for (size_t i = 0; i < payload.size(); ++i)
        payload[i] = static_cast<jbyte>(i);
    const std::vector<unsigned char> wire = pair.captureWrite(vm().bytes(payload), 304, &written);
    CHECK(written);
    REQUIRE(wire.size() == 304);
    CHECK(std::vector<unsigned char>(wire.begin(), wire.begin() + 4) == (std::vector<unsigned char>{0x2C, 0x01, 0, 0}));
    CHECK(memcmp(wire.data() + 4, payload.data(), 300) == 0);

    // And the other way round: raw blocks read through the library.
    auto read = bind<ReadFn>(kClass, "readDataBlock0", 16);
    pair.writeRaw("\0\0\0\0", 4);
    fakejvm::Object* empty = fakejvm::Vm::object(read(env(), nullptr, pair.server));
    REQUIRE(empty);
    CHECK(empty->bytes.empty());
    pair.writeRaw("\3\0\0\0abc", 7);
    fakejvm::Object* three = fakejvm::Vm::object(read(env(), nullptr, pair.server));
    REQUIRE(three);
    CHECK(three->bytes == (std::vector<jbyte>{'a', 'b', 'c'}));
}

TEST_CASE(Pipes, negativeLengthGivesNullWithoutAllocating)
{
    RawPair pair;
    REQUIRE(pair.ok);
    vm().newByteArrayCalls = 0;
    pair.writeRaw("\xff\xff\xff\xff", 4);
    CHECK(bind<ReadFn>(kClass, "readDataBlock0", 16)(env(), nullptr, pair.server) == nullptr);
    CHECK_EQ(vm().newByteArrayCalls, 0);
}

TEST_CASE(Pipes, sixtyFourMebibytesInMixedBlocksArriveIntact)
{
    WriterArgs args;
    args.name = pipeName();
    const size_t pattern[] = {0, 1, 4095, 65536, 65537, 1 << 20, 3, 300000, 7 << 20};
    size_t total = 0;
    for (size_t i = 0; total < (64u << 20); ++i) {
        const size_t size = pattern[i % (sizeof(pattern) / sizeof(pattern[0]))];
        args.sizes.push_back(size);
        total += size;
    }
    jlong server = bind<NameFn>(kClass, "createListener0", 12)(env(), nullptr, vm().string(args.name.c_str()));
    REQUIRE(server != -1);
    HANDLE thread = CreateThread(NULL, 0, writerThread, &args, 0, NULL);
    CHECK(bind<ConnectFn>(kClass, "connectNamedPipe0", 16)(env(), nullptr, server));
    auto read = bind<ReadFn>(kClass, "readDataBlock0", 16);
    size_t received = 0;
    bool intact = true;
    for (size_t i = 0; i < args.sizes.size(); ++i) {
        fakejvm::Object* block = fakejvm::Vm::object(read(env(), nullptr, server));
        if (!block || block->bytes.size() != args.sizes[i]) {
            intact = false;
            break;
        }
        for (size_t j = 0; j < block->bytes.size(); ++j) {
            if (block->bytes[j] != static_cast<jbyte>(i * 31 + j)) {
                intact = false;
                break;
            }
        }
        received += block->bytes.size();
        std::vector<jbyte>().swap(block->bytes);
    }
    WaitForSingleObject(thread, 60000);
    CloseHandle(thread);
    CHECK(intact);
    CHECK(args.ok);
    CHECK_EQ(received, total);
    // The partner has closed: the next read gives null, the next write false.
    CHECK(read(env(), nullptr, server) == nullptr);
    CHECK(!bind<WriteFn>(kClass, "writeDataBlock0", 20)(env(), nullptr, server, vm().bytes({1, 2})));
    bind<VoidHandleFn>(kClass, "disconnectNamedPipe0", 16)(env(), nullptr, server);
    bind<VoidHandleFn>(kClass, "closeHandle0", 16)(env(), nullptr, server);
}

TEST_CASE(Pipes, serverCanTakeANewClientAfterDisconnect)
{
    WriterArgs args;
    args.name = pipeName();
    args.sizes = {5, 0};
    jlong server = bind<NameFn>(kClass, "createListener0", 12)(env(), nullptr, vm().string(args.name.c_str()));
    REQUIRE(server != -1);
    auto read = bind<ReadFn>(kClass, "readDataBlock0", 16);
    for (int round = 0; round < 2; ++round) {
        HANDLE thread = CreateThread(NULL, 0, writerThread, &args, 0, NULL);
        CHECK(bind<ConnectFn>(kClass, "connectNamedPipe0", 16)(env(), nullptr, server));
        fakejvm::Object* first = fakejvm::Vm::object(read(env(), nullptr, server));
        fakejvm::Object* second = fakejvm::Vm::object(read(env(), nullptr, server));
        CHECK(first && first->bytes.size() == 5);
        CHECK(second && second->bytes.empty());
        WaitForSingleObject(thread, 30000);
        CloseHandle(thread);
        CHECK(args.ok);
        bind<VoidHandleFn>(kClass, "disconnectNamedPipe0", 16)(env(), nullptr, server);
    }
    bind<VoidHandleFn>(kClass, "closeHandle0", 16)(env(), nullptr, server);
}

TEST_CASE(Pipes, processQueries)
{
    auto alive = bind<AliveFn>(kClass, "isProcessAlive0", 12);
    const jint self = bind<PidFn>(kClass, "getCurrentProcessId0", 8)(env(), nullptr);
    CHECK_EQ(static_cast<DWORD>(self), GetCurrentProcessId());
    CHECK(alive(env(), nullptr, self));

    std::string command = "\"" + exePath() + "\" --exit-now";
    STARTUPINFOA startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION child = {};
    REQUIRE(CreateProcessA(NULL, &command[0], NULL, NULL, FALSE, 0, NULL, NULL, &startup, &child));
    WaitForSingleObject(child.hProcess, 30000);
    // Exited, but its process object still exists (the handle is open).
    CHECK(!alive(env(), nullptr, static_cast<jint>(child.dwProcessId)));
    CloseHandle(child.hThread);
    CloseHandle(child.hProcess);
    CHECK(!alive(env(), nullptr, 0x7FFFFFF0));
}

namespace {
std::vector<DWORD> g_pauses;
std::vector<DWORD> g_waits;
void WINAPI recordPause(DWORD milliseconds) { g_pauses.push_back(milliseconds); }
BOOL WINAPI recordWait(LPCWSTR, DWORD milliseconds)
{
    g_waits.push_back(milliseconds);
    SetLastError(ERROR_FILE_NOT_FOUND);
    return FALSE;
}
} // namespace

// The library's pauses and waits are recorded instead of spent: a first
// wait of five minutes for the name, then 200 retries of a half-second
// pause and a one-second wait, then 0.
TEST_CASE(Pipes, clientGivesUpOnANameThatNeverAppears)
{
    g_pauses.clear();
    g_waits.clear();
    ImportPatch pause("Sleep", reinterpret_cast<void*>(&recordPause));
    ImportPatch wait("WaitNamedPipeW", reinterpret_cast<void*>(&recordWait));
    REQUIRE(pause.applied() && wait.applied());
    const std::string output = capturedOutput([&] {
        CHECK_EQ(bind<NameFn>(kClass, "connectClient0", 12)(env(), nullptr, vm().string(pipeName().c_str())),
                 jlong(0));
    });
    CHECK(output.find("could not open file 2 ") == 0);
    CHECK(g_pauses == std::vector<DWORD>(200, 500));
    std::vector<DWORD> waits(201, 1000);
    waits[0] = 300000;
    CHECK(g_waits == waits);
}
