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
        account.id = QStringLiteral("the owner of process %1, which this account may not look into").arg(processId);
        return account;
    }
    const PeerAccount account = describe(sid);
    LocalFree(sid);
    return account;
}

QString PeerAccount::name() const
{
    PSID sid = nullptr;
    if (!ConvertStringSidToSidW(reinterpret_cast<LPCWSTR>(id.utf16()), &sid))
        return id;
    wchar_t name[256], domain[256];
    DWORD nameSize = 256, domainSize = 256;
    SID_NAME_USE use;
    QString result = id;
    if (LookupAccountSidW(nullptr, sid, name, &nameSize, domain, &domainSize, &use))
        result = QString::fromWCharArray(domain) + QLatin1Char('\\') + QString::fromWCharArray(name);
    LocalFree(sid);
    return result;
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
