#include "downloadsaver.h"

#include "logging.h"
#include "shellpolicy.h"

#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>
#include <QStorageInfo>
#include <QUrl>
#include <QWebEngineDownloadItem>
#include <QWebEngineProfile>

namespace {
constexpr int kMostNumberedNames = 1000;
// Characters of a name, extension included; file systems allow 255 bytes.
constexpr int kMaxNameLength = 120;
// Room kept free on the disk beside what a download needs.
constexpr qint64 kFreeSpaceMargin = 64LL << 20;

// What opens or runs as a program when a user opens it.
const char* const kRunnableExtensions[] = {
    "desktop", "exe", "com", "scr", "pif", "lnk", "url", "hta", "bat", "cmd", "ps1", "psm1", "vbs", "vbe", "js",
    "jse", "wsf", "wsh", "msi", "msp", "msc", "cpl", "jar", "reg", "scf", "inf", "application", "gadget", "sh",
    "bash", "run", "appimage", "command", "py", "pl", "deb", "rpm", "dll", "so", "sys", "drv", "xpi", "crx"};

bool isReservedDeviceName(const QString& name)
{
    const QString base = name.section(QLatin1Char('.'), 0, 0).trimmed().toUpper();
    static const QStringList reserved = {QStringLiteral("CON"), QStringLiteral("PRN"), QStringLiteral("AUX"),
                                         QStringLiteral("NUL"), QStringLiteral("CONIN$"), QStringLiteral("CONOUT$")};
    if (reserved.contains(base))
        return true;
    return base.size() == 4 && (base.startsWith(QLatin1String("COM")) || base.startsWith(QLatin1String("LPT")))
        && base.at(3) >= QLatin1Char('0') && base.at(3) <= QLatin1Char('9');
}
} // namespace

DownloadSaver::DownloadSaver(QWebEngineProfile* profile, const ShellPolicy* policy, QObject* parent)
    : QObject(parent)
    , m_policy(policy)
{
    connect(profile, &QWebEngineProfile::downloadRequested, this, &DownloadSaver::handleDownloadRequested);
}

QString DownloadSaver::safeFileName(const QString& suggested)
{
    QString name = suggested.section(QLatin1Char('/'), -1).section(QLatin1Char('\\'), -1);
    QString kept;
    for (const QChar c : qAsConst(name)) {
        // Bidirectional overrides and marks are format characters.
        if (c.category() == QChar::Other_Control || c.category() == QChar::Other_Format
            || c.category() == QChar::Other_NotAssigned || c.category() == QChar::Other_Surrogate
            || c == QChar::LineSeparator || c == QChar::ParagraphSeparator)
            continue;
        if (QStringLiteral("<>:\"|?*").contains(c))
            kept += QLatin1Char('_');
        else
            kept += c;
    }
    name = kept.trimmed();
    while (name.startsWith(QLatin1Char('.')))
        name.remove(0, 1);
    while (name.endsWith(QLatin1Char('.')) || name.endsWith(QLatin1Char(' ')))
        name.chop(1);
    if (name.isEmpty())
        return QStringLiteral("download");
    if (isReservedDeviceName(name))
        name.prepend(QLatin1Char('_'));

    QString extension = name.contains(QLatin1Char('.')) ? name.section(QLatin1Char('.'), -1) : QString();
    for (const char* runnable : kRunnableExtensions) {
        if (extension.compare(QLatin1String(runnable), Qt::CaseInsensitive) == 0) {
            name += QStringLiteral(".download");
            extension = QStringLiteral("download");
            break;
        }
    }
    if (name.size() > kMaxNameLength) {
        const QString suffix = extension.isEmpty() || extension.size() > 20 ? QString() : QLatin1Char('.') + extension;
        name = name.left(kMaxNameLength - suffix.size()).trimmed() + suffix;
    }
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

void DownloadSaver::refuse(QWebEngineDownloadItem* download, const QString& why)
{
    qCWarning(lcClient, "DownloadSaver: refused %s: %s", qPrintable(download->url().toString(QUrl::RemoveUserInfo).left(200)),
              qPrintable(why));
    emit finished(tr("Download recusado: %1 (%2)").arg(safeFileName(download->downloadFileName()), why), true);
    download->cancel();
}

void DownloadSaver::handleDownloadRequested(QWebEngineDownloadItem* download)
{
    if (!download->page() || download->isSavePageDownload()) {
        qCDebug(lcClient, "DownloadSaver: refused %s, which no page of the application started",
                qPrintable(download->url().toString()));
        download->cancel();
        return;
    }
    // A data: URL names no origin at all: it may come from any frame.
    if (!m_policy->isApplication(download->url())) {
        refuse(download, tr("não vem da aplicação"));
        return;
    }
    if (download->totalBytes() > kMaxDownloadBytes) {
        refuse(download, tr("arquivo grande demais"));
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
    const QStorageInfo disk(directory);
    if (disk.isValid() && disk.bytesAvailable() < qMax<qint64>(download->totalBytes(), 0) + kFreeSpaceMargin) {
        refuse(download, tr("sem espaço no disco"));
        return;
    }
    download->setDownloadDirectory(directory);
    download->setDownloadFileName(name);
    m_inProgress.insert(QDir(directory).filePath(name));
    connect(download, &QWebEngineDownloadItem::finished, this, [this, download] { handleFinished(download); });
    // A download of unknown size is bounded while it arrives.
    connect(download, &QWebEngineDownloadItem::downloadProgress, this, [download](qint64 received, qint64) {
        if (received > kMaxDownloadBytes)
            download->cancel();
    });
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
