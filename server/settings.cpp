#include "settings.h"
#include "locking.h"

#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <QMutex>
#include <QStandardPaths>

namespace quillon {

namespace {
QMutex& settingsMutex()
{
    static QMutex mutex;
    return mutex;
}

QHash<QSettings*, QSettings*>& overridden()
{
    static QHash<QSettings*, QSettings*> overrides;
    return overrides;
}
} // namespace

QVariant settingValue(QSettings* settings, const QString& key, const QVariant& defaultValue)
{
    MutexLocker locker(&settingsMutex());
    QSettings* overrides = overridden().value(settings);
    if (overrides && overrides->contains(key))
        return overrides->value(key);
    return settings->value(key, defaultValue);
}

void setOverrides(QSettings* settings, QSettings* overrides)
{
    MutexLocker locker(&settingsMutex());
    if (overrides)
        overridden().insert(settings, overrides);
    else
        overridden().remove(settings);
}

QString resolveAgainstSettingsFile(QSettings* settings, const QString& path)
{
    if (!QDir::isRelativePath(path) || settings->format() == QSettings::NativeFormat)
        return path;
    QFileInfo configFile(settings->fileName());
    return QFileInfo(configFile.absolutePath(), path).absoluteFilePath();
}

QString resolveUserFile(QSettings* settings, const QString& path)
{
    if (QDir::isRelativePath(path)) {
        const QString userDir = QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation);
        const QFileInfo own(userDir, path);
        if (!userDir.isEmpty() && own.isFile() && own.isReadable())
            return own.absoluteFilePath();
    }
    return resolveAgainstSettingsFile(settings, path);
}

} // namespace quillon
