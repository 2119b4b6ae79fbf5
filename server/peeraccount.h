#pragma once

#include <QHostAddress>
#include <QString>

namespace quillon {

// The account that owns a socket of this machine: the other end of a
// connection between two local programs.
struct PeerAccount
{
    // False when no local socket has that address (a peer on another
    // machine, or one that has gone meanwhile).
    bool found = false;
    // The user id (Unix) or the user's SID (Windows).
    QString id;

    // The owner of the socket whose own end is `peer` and whose other end is
    // `local`, looked up by that exact pair of addresses.
    static PeerAccount ownerOf(const QHostAddress& local, quint16 localPort, const QHostAddress& peer,
                               quint16 peerPort);
    // The account this program runs as.
    static PeerAccount current();
    // The account's name, for messages.
    QString name() const;
};

} // namespace quillon
