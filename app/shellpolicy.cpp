#include "shellpolicy.h"

#include "logging.h"
#include "requestgate.h"

#include <QSettings>
#include <QtDebug>

namespace {
// What a telephony application links to.
const char* const kTelephonySchemes[] = {"tel", "sip", "sips", "callto"};
// Never handed out, whatever the configuration says: they reach files,
// shares, programs and this client itself.
const char* const kNeverExternal[] = {"http", "https", "file", "smb", "nfs", "ftp", "search-ms", "ms-msdt",
                                      "javascript", "data", "blob", "about", "zolapp", "vbscript", "jar"};
} // namespace

ShellPolicy::ShellPolicy(const QUrl& startUrl)
{
    const QString start = originOf(startUrl);
    if (!start.isEmpty())
        m_origins.insert(start);
    for (const char* scheme : kTelephonySchemes)
        m_schemes.insert(QLatin1String(scheme));
}

void ShellPolicy::configure(QSettings* shellSettings)
{
    for (const QString& entry : shellSettings->value(QStringLiteral("applicationOrigins")).toStringList()) {
        const QString origin = originOf(QUrl(entry.trimmed()));
        if (!origin.isEmpty())
            m_origins.insert(origin);
        else if (!entry.trimmed().isEmpty())
            qCWarning(lcClient, "ShellPolicy: applicationOrigins: %s is not an origin", qPrintable(entry));
    }
    for (const QString& entry : shellSettings->value(QStringLiteral("externalSchemes")).toStringList()) {
        const QString scheme = entry.trimmed().toLower();
        bool forbidden = scheme.isEmpty();
        for (const char* never : kNeverExternal)
            forbidden = forbidden || scheme == QLatin1String(never);
        if (forbidden)
            qCWarning(lcClient, "ShellPolicy: externalSchemes: %s is never handed to the desktop", qPrintable(entry));
        else
            m_schemes.insert(scheme);
    }
}

QStringList ShellPolicy::applicationOrigins() const
{
    QStringList origins = m_origins.values();
    origins.sort();
    return origins;
}

QString ShellPolicy::originOf(const QUrl& url)
{
    if (url.scheme() == QLatin1String("blob"))
        return RequestGate::originOf(QUrl(url.path()));
    return RequestGate::originOf(url);
}

bool ShellPolicy::isApplication(const QUrl& url) const
{
    const QString origin = originOf(url);
    return !origin.isEmpty() && m_origins.contains(origin);
}
