#include "peeraccount.h"

#include <QByteArray>

#include <cerrno>
#include <cstring>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace quillon {

namespace {
// How long the kernel may take to answer one lookup.
constexpr int kReplyTimeoutMs = 1000;

QString accountName(uid_t uid)
{
    char buffer[1024];
    passwd entry;
    passwd* found = nullptr;
    if (getpwuid_r(uid, &entry, buffer, sizeof buffer, &found) == 0 && found)
        return QString::fromLocal8Bit(found->pw_name);
    return QStringLiteral("uid %1").arg(uid);
}

// One netlink socket per thread, kept for its lookups.
thread_local int t_diagnostics = -1;

void dropDiagnosticsSocket()
{
    if (t_diagnostics >= 0)
        ::close(t_diagnostics);
    t_diagnostics = -1;
}

int diagnosticsSocket()
{
    if (t_diagnostics < 0) {
        t_diagnostics = ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
        if (t_diagnostics >= 0) {
            const timeval timeout = {kReplyTimeoutMs / 1000, (kReplyTimeoutMs % 1000) * 1000};
            ::setsockopt(t_diagnostics, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        }
    }
    return t_diagnostics;
}

// The address in the byte order and layout inet_diag expects.
bool putAddress(const QHostAddress& address, int family, __be32 (&to)[4])
{
    std::memset(to, 0, sizeof to);
    if (family == AF_INET) {
        bool ipv4 = false;
        const quint32 value = address.toIPv4Address(&ipv4);
        if (!ipv4)
            return false;
        to[0] = htonl(value);
        return true;
    }
    if (address.protocol() != QAbstractSocket::IPv6Protocol)
        return false;
    const Q_IPV6ADDR bytes = address.toIPv6Address();
    std::memcpy(to, bytes.c, 16);
    return true;
}

// One exact lookup through the kernel's socket diagnostics (sock_diag):
// the TCP socket whose own end is `peer` and whose other end is `local`.
bool lookUp(int family, const QHostAddress& local, quint16 localPort, const QHostAddress& peer, quint16 peerPort,
            uid_t* owner)
{
    struct
    {
        nlmsghdr header;
        inet_diag_req_v2 request;
    } query = {};
    query.header.nlmsg_len = sizeof query;
    query.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    query.header.nlmsg_flags = NLM_F_REQUEST;
    query.request.sdiag_family = __u8(family);
    query.request.sdiag_protocol = IPPROTO_TCP;
    // Sockets in TIME_WAIT and half-open ones report no owner (uid 0).
    query.request.idiag_states = ~((1u << TCP_TIME_WAIT) | (1u << TCP_SYN_RECV) | (1u << 12));
    query.request.id.idiag_sport = htons(peerPort);
    query.request.id.idiag_dport = htons(localPort);
    query.request.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
    query.request.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
    if (!putAddress(peer, family, query.request.id.idiag_src) || !putAddress(local, family, query.request.id.idiag_dst))
        return false;

    const int diag = diagnosticsSocket();
    if (diag < 0)
        return false;
    sockaddr_nl kernel = {};
    kernel.nl_family = AF_NETLINK;
    bool found = false;
    alignas(nlmsghdr) char reply[8192];
    if (::sendto(diag, &query, sizeof query, 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel) == ssize_t(sizeof query)) {
        ssize_t length = ::recv(diag, reply, sizeof reply, 0);
        for (auto* message = reinterpret_cast<nlmsghdr*>(reply); length > 0 && NLMSG_OK(message, quint32(length));
             message = NLMSG_NEXT(message, length)) {
            if (message->nlmsg_type != SOCK_DIAG_BY_FAMILY)
                break; // NLMSG_ERROR: no such socket, or none may be seen
            const auto* socketInfo = static_cast<const inet_diag_msg*>(NLMSG_DATA(message));
            *owner = socketInfo->idiag_uid;
            found = true;
            break;
        }
    } else {
        dropDiagnosticsSocket();
    }
    return found;
}
} // namespace

PeerAccount PeerAccount::ownerOf(const QHostAddress& local, quint16 localPort, const QHostAddress& peer, quint16 peerPort)
{
    PeerAccount account;
    uid_t owner = 0;
    bool ipv4 = false;
    peer.toIPv4Address(&ipv4);
    // A v4-mapped peer of an IPv6 listener is usually an IPv4 socket; it may
    // also be a dual-stack IPv6 one.
    const bool found = (ipv4 && lookUp(AF_INET, local, localPort, peer, peerPort, &owner))
        || (peer.protocol() == QAbstractSocket::IPv6Protocol && local.protocol() == QAbstractSocket::IPv6Protocol
            && lookUp(AF_INET6, local, localPort, peer, peerPort, &owner));
    if (!found)
        return account;
    account.found = true;
    account.id = QString::number(owner);
    return account;
}

PeerAccount PeerAccount::current()
{
    PeerAccount account;
    account.found = true;
    account.id = QString::number(::getuid());
    return account;
}

QString PeerAccount::name() const
{
    bool number = false;
    const uint uid = id.toUInt(&number);
    return number ? accountName(uid) : id;
}

} // namespace quillon
