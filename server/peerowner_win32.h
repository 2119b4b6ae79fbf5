// Plain Win32, without Qt, so that it is tested on its own under Wine: who
// owns the other end of a TCP connection between two programs of this
// machine, from the system's TCP table and the owning process's token.
#pragma once

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

// The process that owns the TCP socket whose own end is `peer` and whose
// other end is `local` (IPv4 or IPv6, an IPv4-mapped address looked up as
// IPv4 first); 0 when there is none.
DWORD peerOwnerProcess(const sockaddr* local, const sockaddr* peer);

// The user SID of a process as a copy the caller frees with LocalFree, or
// null when its token cannot be read (a process of another account that
// this one may not query).
PSID processUserSid(DWORD processId);

// Whether the peer's socket belongs to `account`: 1 yes, 0 another account,
// -1 no owner found (no such socket, or its process cannot be queried). The
// owner's SID is stored in `owner` when not null (free it with LocalFree).
int peerBelongsTo(const sockaddr* local, const sockaddr* peer, PSID account, PSID* owner);
