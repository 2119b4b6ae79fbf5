#pragma once

#include <QHostAddress>
#include <QString>
#include <QStringList>

class QSettings;

namespace quillon {

// Which local programs a listener serves: on a machine shared by several
// accounts, only the programs of the account it runs as, and of the
// accounts the listener setting "allowedAccounts" names (names or ids,
// comma-separated; * for every account). A peer on another machine is not
// this filter's to judge. A local peer whose owner cannot be found is refused.
class PeerAccountFilter
{
public:
    explicit PeerAccountFilter(QSettings* settings);

    // False, with what was refused in `refusal`, for a peer to turn away
    // before anything of it is read.
    bool admits(const QHostAddress& local, quint16 localPort, const QHostAddress& peer, quint16 peerPort,
                QString* refusal) const;

private:
    bool m_everyAccount = false;
    QString m_ownId;
    QStringList m_allowed;
};

} // namespace quillon
