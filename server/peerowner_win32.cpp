#include "peerowner_win32.h"

#include <iphlpapi.h>
#include <stdlib.h>
#include <string.h>

namespace {

// The table grows between the size query and the read now and then.
constexpr int kTableTries = 4;
// Wine now and then lists an established connection without its owner
// (process 0) for a moment; the table is read again a few times before the
// peer counts as ownerless.
constexpr int kOwnerTries = 4;

void* readTable(ULONG family)
{
    DWORD size = 0;
    GetExtendedTcpTable(nullptr, &size, FALSE, family, TCP_TABLE_OWNER_PID_CONNECTIONS, 0);
    for (int attempt = 0; attempt < kTableTries; ++attempt) {
        size += 16 * sizeof(MIB_TCP6ROW_OWNER_PID);
        void* table = malloc(size);
        if (!table)
            return nullptr;
        const DWORD result = GetExtendedTcpTable(table, &size, FALSE, family, TCP_TABLE_OWNER_PID_CONNECTIONS, 0);
        if (result == NO_ERROR)
            return table;
        free(table);
        if (result != ERROR_INSUFFICIENT_BUFFER)
            return nullptr;
    }
    return nullptr;
}

// The table keeps ports in network byte order in the low half of a DWORD.
bool samePort(DWORD tablePort, USHORT port)
{
    return USHORT(tablePort & 0xffff) == port;
}

bool mappedIpv4(const sockaddr_in6* address, IN_ADDR* ipv4)
{
    static const unsigned char prefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    if (memcmp(address->sin6_addr.s6_addr, prefix, sizeof prefix) != 0)
        return false;
    memcpy(ipv4, address->sin6_addr.s6_addr + 12, 4);
    return true;
}

DWORD findIpv4(const IN_ADDR& localAddress, USHORT localPort, const IN_ADDR& peerAddress, USHORT peerPort, bool* listed)
{
    auto* table = static_cast<MIB_TCPTABLE_OWNER_PID*>(readTable(AF_INET));
    if (!table)
        return 0;
    DWORD owner = 0;
    for (DWORD i = 0; i < table->dwNumEntries && !owner; ++i) {
        const MIB_TCPROW_OWNER_PID& row = table->table[i];
        if (row.dwLocalAddr == peerAddress.s_addr && samePort(row.dwLocalPort, peerPort)
            && row.dwRemoteAddr == localAddress.s_addr && samePort(row.dwRemotePort, localPort)) {
            owner = row.dwOwningPid;
            *listed = true;
        }
    }
    free(table);
    return owner;
}

DWORD findIpv6(const sockaddr_in6* local, const sockaddr_in6* peer, bool* listed)
{
    auto* table = static_cast<MIB_TCP6TABLE_OWNER_PID*>(readTable(AF_INET6));
    if (!table)
        return 0;
    DWORD owner = 0;
    for (DWORD i = 0; i < table->dwNumEntries && !owner; ++i) {
        const MIB_TCP6ROW_OWNER_PID& row = table->table[i];
        if (memcmp(row.ucLocalAddr, peer->sin6_addr.s6_addr, 16) == 0 && samePort(row.dwLocalPort, peer->sin6_port)
            && memcmp(row.ucRemoteAddr, local->sin6_addr.s6_addr, 16) == 0
            && samePort(row.dwRemotePort, local->sin6_port)) {
            owner = row.dwOwningPid;
            *listed = true;
        }
    }
    free(table);
    return owner;
}

// One reading of the tables; `listed` says whether the connection was in them.
DWORD lookUpOwner(const sockaddr* local, const sockaddr* peer, bool* listed)
{
    if (local->sa_family == AF_INET && peer->sa_family == AF_INET) {
        const auto* l = reinterpret_cast<const sockaddr_in*>(local);
        const auto* p = reinterpret_cast<const sockaddr_in*>(peer);
        return findIpv4(l->sin_addr, l->sin_port, p->sin_addr, p->sin_port, listed);
    }
    if (local->sa_family != AF_INET6 || peer->sa_family != AF_INET6)
        return 0;
    const auto* l = reinterpret_cast<const sockaddr_in6*>(local);
    const auto* p = reinterpret_cast<const sockaddr_in6*>(peer);
    IN_ADDR localIpv4, peerIpv4;
    if (mappedIpv4(l, &localIpv4) && mappedIpv4(p, &peerIpv4)) {
        if (const DWORD owner = findIpv4(localIpv4, l->sin6_port, peerIpv4, p->sin6_port, listed))
            return owner;
    }
    return findIpv6(l, p, listed);
}

} // namespace

DWORD peerOwnerProcess(const sockaddr* local, const sockaddr* peer)
{
    for (int attempt = 1;; ++attempt) {
        bool listed = false;
        const DWORD owner = lookUpOwner(local, peer, &listed);
        if (owner || !listed || attempt == kOwnerTries)
            return owner;
        Sleep(DWORD(attempt));
    }
}

PSID processUserSid(DWORD processId)
{
    PSID copy = nullptr;
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId);
    HANDLE token = nullptr;
    TOKEN_USER* user = nullptr;
    DWORD size = 0;
    if (!process || !OpenProcessToken(process, TOKEN_QUERY, &token))
        goto cleanup;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    user = static_cast<TOKEN_USER*>(malloc(size ? size : 1));
    if (!user || !GetTokenInformation(token, TokenUser, user, size, &size))
        goto cleanup;
    size = GetLengthSid(user->User.Sid);
    copy = LocalAlloc(LMEM_FIXED, size);
    if (copy && !CopySid(size, copy, user->User.Sid)) {
        LocalFree(copy);
        copy = nullptr;
    }
cleanup:
    free(user);
    if (token)
        CloseHandle(token);
    if (process)
        CloseHandle(process);
    return copy;
}

int peerBelongsTo(const sockaddr* local, const sockaddr* peer, PSID account, PSID* owner)
{
    if (owner)
        *owner = nullptr;
    const DWORD processId = peerOwnerProcess(local, peer);
    if (!processId)
        return -1;
    PSID sid = processUserSid(processId);
    if (!sid)
        return -1;
    const int same = EqualSid(sid, account) ? 1 : 0;
    if (owner)
        *owner = sid;
    else
        LocalFree(sid);
    return same;
}
