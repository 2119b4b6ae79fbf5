#include "owncopyfilters.h"

#include <windows.h>

QStringList ownCopyFilters()
{
    QStringList filters;
    const QString user = qEnvironmentVariable("USERNAME");
    if (!user.isEmpty()) {
        const QString domain = qEnvironmentVariable("USERDOMAIN");
        filters << QStringLiteral("/FI")
                << QStringLiteral("USERNAME eq %1").arg(domain.isEmpty() ? user : domain + QLatin1Char('\\') + user);
    }
    DWORD session = 0;
    if (ProcessIdToSessionId(GetCurrentProcessId(), &session))
        filters << QStringLiteral("/FI") << QStringLiteral("SESSION eq %1").arg(session);
    return filters;
}
