#include "externallinks.h"

#include <QCoreApplication>
#include <QDesktopServices>

namespace {
// What the browser engine loads itself (or refuses): never the desktop's.
const char* const kEngineSchemes[] = {"http", "https", "file", "data", "blob", "about", "javascript", "ftp", "ws",
                                      "wss", "filesystem", "view-source", "qrc", "chrome", "chrome-error", "devtools"};
} // namespace

ExternalLinks* ExternalLinks::instance()
{
    static ExternalLinks* links = new ExternalLinks(QCoreApplication::instance());
    return links;
}

ExternalLinks::ExternalLinks(QObject* parent)
    : QObject(parent)
{
}

ExternalLinks::~ExternalLinks()
{
    for (const QString& scheme : qAsConst(m_watched))
        QDesktopServices::unsetUrlHandler(scheme);
}

bool ExternalLinks::isExternal(const QUrl& url)
{
    const QString scheme = url.scheme();
    if (scheme.isEmpty())
        return false;
    for (const char* engineScheme : kEngineSchemes)
        if (scheme == QLatin1String(engineScheme))
            return false;
    return true;
}

void ExternalLinks::watch(const QString& scheme)
{
    if (m_watched.contains(scheme))
        return;
    m_watched.insert(scheme);
    QDesktopServices::setUrlHandler(scheme, this, "open");
}
