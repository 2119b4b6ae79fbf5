#include "settings.h"
#include "locking.h"

#include <QDir>
#include <QFileInfo>
#include <QMutex>


namespace quillon {

namespace {
QMutex& settingsMutex()
{
    static QMutex mutex;
    return mutex;
}
} // namespace

QVariant settingValue(QSettings* settings, const QString& key, const QVariant& defaultValue)
{
    MutexLocker locker(&settingsMutex());
    return settings->value(key, defaultValue);
}

QString resolveAgainstSettingsFile(QSettings* settings, const QString& path)
{
    if (!QDir::isRelativePath(path) || settings->format() == QSettings::NativeFormat)
        return path;
    QFileInfo configFile(settings->fileName());
    return QFileInfo(configFile.absolutePath(), path).absoluteFilePath();
}

} // namespace quillon
