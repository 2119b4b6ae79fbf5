#include "listenerfile.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>
#include <QStandardPaths>

namespace listenerfile {

namespace {
bool write(QJsonObject record)
{
    const QString file = path();
    const QString dir = QFileInfo(file).absolutePath();
    if (!QDir().mkpath(dir))
        return false;
    QFile::setPermissions(dir, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    record.insert(QStringLiteral("pid"), QCoreApplication::applicationPid());
    QSaveFile out(file);
    if (!out.open(QIODevice::WriteOnly))
        return false;
    out.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    out.write(QJsonDocument(record).toJson(QJsonDocument::Compact) + '\n');
    return out.commit();
}

QJsonObject read()
{
    QFile file(path());
    if (!file.open(QIODevice::ReadOnly))
        return QJsonObject();
    return QJsonDocument::fromJson(file.read(4096)).object();
}
} // namespace

QString path()
{
#ifdef Q_OS_WIN
    return QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation) + QStringLiteral("/listener.json");
#else
    return QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation) + QStringLiteral("/TorvaneAPP/listener.json");
#endif
}

QString accountSettingsFile()
{
    return QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation) + QStringLiteral("/TorvaneAPP.ini");
}

bool writeListening(const QUrl& url)
{
    return write({{QStringLiteral("url"), url.toString()},
                  {QStringLiteral("scheme"), url.scheme()},
                  {QStringLiteral("host"), url.host()},
                  {QStringLiteral("port"), url.port()}});
}

bool writeFailure(int port, const QString& error)
{
    return write({{QStringLiteral("port"), port}, {QStringLiteral("error"), error}});
}

void remove()
{
    if (read().value(QStringLiteral("pid")).toVariant().toLongLong() == QCoreApplication::applicationPid())
        QFile::remove(path());
}

QUrl runningListener()
{
    const QJsonObject record = read();
    const QUrl url(record.value(QStringLiteral("url")).toString());
    return url.isValid() && (url.scheme() == QLatin1String("http") || url.scheme() == QLatin1String("https"))
        ? url
        : QUrl();
}

} // namespace listenerfile
