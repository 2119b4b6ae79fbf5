#include "downloadsaver.h"

#include "logging.h"

#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>
#include <QUrl>
#include <QWebEngineDownloadItem>
#include <QWebEngineProfile>

namespace {
constexpr int kMostNumberedNames = 1000;
}

DownloadSaver::DownloadSaver(QWebEngineProfile* profile, QObject* parent)
    : QObject(parent)
{
    connect(profile, &QWebEngineProfile::downloadRequested, this, &DownloadSaver::handleDownloadRequested);
}

QString DownloadSaver::safeFileName(const QString& suggested)
{
    QString name = suggested.section(QLatin1Char('/'), -1).section(QLatin1Char('\\'), -1).trimmed();
    name.remove(QChar(0));
    if (name.isEmpty() || name == QLatin1String(".") || name == QLatin1String(".."))
        return QStringLiteral("download");
    return name;
}

QString DownloadSaver::uniqueFileName(const QString& directory, const QString& fileName, const QSet<QString>& taken)
{
    const QDir dir(directory);
    const QFileInfo info(fileName);
    const QString base = info.completeBaseName();
    const QString suffix = info.suffix().isEmpty() ? QString() : QLatin1Char('.') + info.suffix();
    for (int n = 0; n <= kMostNumberedNames; ++n) {
        const QString candidate = n == 0 ? fileName : QStringLiteral("%1 (%2)%3").arg(base).arg(n).arg(suffix);
        const QString path = dir.filePath(candidate);
        if (!taken.contains(path) && !QFileInfo::exists(path) && !QFileInfo(path).isSymLink())
            return candidate;
    }
    return QString();
}

void DownloadSaver::handleDownloadRequested(QWebEngineDownloadItem* download)
{
    if (!download->page() || download->isSavePageDownload()) {
        qCDebug(lcClient, "DownloadSaver: refused %s, which no page of the application started",
                qPrintable(download->url().toString()));
        download->cancel();
        return;
    }
    const QString directory = QStandardPaths::writableLocation(QStandardPaths::DownloadLocation);
    const QString name = uniqueFileName(directory, safeFileName(download->downloadFileName()), m_inProgress);
    if (directory.isEmpty() || name.isEmpty() || !QDir().mkpath(directory)) {
        qCWarning(lcClient, "DownloadSaver: no place in %s for %s", qPrintable(directory),
                  qPrintable(download->downloadFileName()));
        emit finished(tr("Download falhou: %1").arg(download->downloadFileName()), true);
        download->cancel();
        return;
    }
    download->setDownloadDirectory(directory);
    download->setDownloadFileName(name);
    m_inProgress.insert(QDir(directory).filePath(name));
    connect(download, &QWebEngineDownloadItem::finished, this, [this, download] { handleFinished(download); });
    download->accept();
    qCDebug(lcClient, "DownloadSaver: saving %s as %s", qPrintable(download->url().toString()),
            qPrintable(QDir(directory).filePath(name)));
}

void DownloadSaver::handleFinished(QWebEngineDownloadItem* download)
{
    const QString path = QDir(download->downloadDirectory()).filePath(download->downloadFileName());
    m_inProgress.remove(path);
    if (download->state() == QWebEngineDownloadItem::DownloadCompleted) {
        qCDebug(lcClient, "DownloadSaver: saved %s", qPrintable(path));
        emit finished(tr("Download concluído: %1").arg(path), false);
    } else {
        qCWarning(lcClient, "DownloadSaver: %s failed: %s", qPrintable(path), qPrintable(download->interruptReasonString()));
        emit finished(tr("Download falhou: %1 (%2)").arg(path, download->interruptReasonString()), true);
    }
}
