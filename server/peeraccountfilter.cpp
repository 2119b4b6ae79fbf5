#include "peeraccountfilter.h"

#include "peeraccount.h"
#include "settings.h"

#include <QNetworkInterface>

namespace quillon {

PeerAccountFilter::PeerAccountFilter(QSettings* settings)
    : m_ownId(PeerAccount::current().id)
{
    for (const QString& entry : settingValue(settings, QStringLiteral("allowedAccounts")).toStringList()) {
        const QString account = entry.trimmed();
        if (account == QLatin1String("*"))
            m_everyAccount = true;
        else if (!account.isEmpty())
            m_allowed.append(account);
    }
}

bool PeerAccountFilter::admits(const QHostAddress& local, quint16 localPort, const QHostAddress& peer,
                               quint16 peerPort, QString* refusal) const
{
    if (m_everyAccount)
        return true;
    if (peer.isNull()) {
        *refusal = QStringLiteral("a peer whose address cannot be read");
        return false;
    }
    const PeerAccount owner = PeerAccount::ownerOf(local, localPort, peer, peerPort);
    if (owner.found) {
        if (owner.id == m_ownId || m_allowed.contains(owner.id))
            return true;
        const QString name = owner.name();
        if (m_allowed.contains(name, Qt::CaseInsensitive))
            return true;
        *refusal = QStringLiteral("a program of the account %1 (%2)").arg(name, owner.id);
        return false;
    }
    // Fail closed for this machine's own addresses, loopback or not.
    if (peer.isLoopback() || QNetworkInterface::allAddresses().contains(peer)) {
        *refusal = QStringLiteral("a local program whose account cannot be found (%1 port %2)")
                       .arg(peer.toString())
                       .arg(peerPort);
        return false;
    }
    return true;
}

} // namespace quillon
