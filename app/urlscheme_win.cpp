#include "urlscheme.h"

#include <QDir>
#include <QSettings>

void registerUrlScheme(const QString& executable)
{
    const QString path = QDir::toNativeSeparators(executable);
    QSettings settings(QStringLiteral("HKEY_CURRENT_USER\\Software\\Classes\\") + QStringLiteral("zolapp"),
                       QSettings::NativeFormat);
    settings.setValue(QStringLiteral("Default"), QStringLiteral("download manager"));
    settings.setValue(QStringLiteral("URL Protocol"), QString());
    settings.beginGroup(QStringLiteral("DefaultIcon"));
    settings.setValue(QStringLiteral("Default"), QStringLiteral("%1,1").arg(path));
    settings.endGroup();
    settings.beginGroup(QStringLiteral("shell"));
    settings.beginGroup(QStringLiteral("open"));
    settings.beginGroup(QStringLiteral("command"));
    settings.setValue(QStringLiteral("Default"), windowsOpenCommand(path));
}
