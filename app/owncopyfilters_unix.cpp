#include "owncopyfilters.h"

#include <QFile>

#include <pwd.h>
#include <unistd.h>

QStringList ownCopyFilters()
{
    QStringList filters;
    char buffer[1024];
    passwd entry;
    passwd* found = nullptr;
    if (getpwuid_r(getuid(), &entry, buffer, sizeof buffer, &found) == 0 && found)
        filters << QStringLiteral("/FI") << QStringLiteral("USERNAME eq %1").arg(QString::fromLocal8Bit(found->pw_name));
    QFile session(QStringLiteral("/proc/self/sessionid"));
    if (session.open(QIODevice::ReadOnly)) {
        const QByteArray id = session.readAll().trimmed();
        if (!id.isEmpty())
            filters << QStringLiteral("/FI") << QStringLiteral("SESSION eq %1").arg(QString::fromLatin1(id));
    }
    return filters;
}
