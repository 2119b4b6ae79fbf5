#include "peeraccount.h"

#include "peerowner_win32.h"

#include <sddl.h>

namespace quillon {

namespace {
void toSocketAddress(const QHostAddress& address, quint16 port, sockaddr_storage* to)
{
    ZeroMemory(to, sizeof *to);
    bool ipv4 = false;
    const quint32 value = address.toIPv4Address(&ipv4);
    if (ipv4 && address.protocol() == QAbstractSocket::IPv4Protocol) {
        auto* in = reinterpret_cast<sockaddr_in*>(to);
        in->sin_family = AF_INET;
        in->sin_port = htons(port);
        in->sin_addr.s_addr = htonl(value);
        return;
    }
    auto* in6 = reinterpret_cast<sockaddr_in6*>(to);
    in6->sin6_family = AF_INET6;
    in6->sin6_port = htons(port);
    const Q_IPV6ADDR bytes = address.toIPv6Address();
    memcpy(in6->sin6_addr.s6_addr, bytes.c, 16);
}

PeerAccount describe(PSID sid)
{
    PeerAccount account;
    account.found = true;
    LPWSTR text = nullptr;
    if (ConvertSidToStringSidW(sid, &text)) {
        account.id = QString::fromWCharArray(text);
        LocalFree(text);
    }
    wchar_t name[256], domain[256];
    DWORD nameSize = 256, domainSize = 256;
    SID_NAME_USE use;
    if (LookupAccountSidW(nullptr, sid, name, &nameSize, domain, &domainSize, &use))
        account.name = QString::fromWCharArray(domain) + QLatin1Char('\\') + QString::fromWCharArray(name);
    else
        account.name = account.id;
    return account;
}
} // namespace

PeerAccount PeerAccount::ownerOf(const QHostAddress& local, quint16 localPort, const QHostAddress& peer, quint16 peerPort)
{
    sockaddr_storage localAddress, peerAddress;
    toSocketAddress(local, localPort, &localAddress);
    toSocketAddress(peer, peerPort, &peerAddress);
    const DWORD processId = peerOwnerProcess(reinterpret_cast<sockaddr*>(&localAddress),
                                             reinterpret_cast<sockaddr*>(&peerAddress));
    if (!processId)
        return PeerAccount();
    PSID sid = processUserSid(processId);
    if (!sid) {
        // A process whose token this account may not read is not its own.
        PeerAccount account;
        account.found = true;
        account.id = QStringLiteral("process %1").arg(processId);
        account.name = QStringLiteral("an account this one may not look into");
        return account;
    }
    const PeerAccount account = describe(sid);
    LocalFree(sid);
    return account;
}

PeerAccount PeerAccount::current()
{
    PSID sid = processUserSid(GetCurrentProcessId());
    if (!sid)
        return PeerAccount();
    const PeerAccount account = describe(sid);
    LocalFree(sid);
    return account;
}

} // namespace quillon
