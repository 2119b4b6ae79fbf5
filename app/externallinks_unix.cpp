// The freedesktop way: the user's default application for
// x-scheme-handler/<scheme> (xdg-mime), started with the link by xdg-open.
// Without a default, xdg-open would hand the link to a web browser instead.
#include "externallinks.h"

#include "logging.h"

#include <QProcess>
#include <QTimer>

namespace {
constexpr int kQueryTimeoutMs = 5000;
}

void ExternalLinks::open(const QUrl& url)
{
    const QString link = url.toString(QUrl::FullyEncoded);
    auto* query = new QProcess(this);
    QTimer::singleShot(kQueryTimeoutMs, query, &QProcess::kill);
    connect(query, &QProcess::errorOccurred, this, [query, link](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart) {
            qCDebug(lcClient, "ExternalLinks: no xdg-mime to find a handler for %s", qPrintable(link));
            query->deleteLater();
        }
    });
    connect(query, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), this,
            [query, link, scheme = url.scheme()](int exitCode, QProcess::ExitStatus status) {
                query->deleteLater();
                const QString handler = QString::fromUtf8(query->readAllStandardOutput()).trimmed();
                if (status != QProcess::NormalExit || exitCode != 0 || handler.isEmpty()) {
                    qCDebug(lcClient, "ExternalLinks: no handler for %s links, %s not opened", qPrintable(scheme),
                            qPrintable(link));
                    return;
                }
                if (QProcess::startDetached(QStringLiteral("xdg-open"), {link}))
                    qCDebug(lcClient, "ExternalLinks: %s handed to %s", qPrintable(link), qPrintable(handler));
                else
                    qCWarning(lcClient, "ExternalLinks: xdg-open cannot be started for %s", qPrintable(link));
            });
    query->start(QStringLiteral("xdg-mime"),
                 {QStringLiteral("query"), QStringLiteral("default"), QStringLiteral("x-scheme-handler/") + url.scheme()});
}
