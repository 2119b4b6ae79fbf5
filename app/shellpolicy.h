#pragma once

#include <QSet>
#include <QString>
#include <QStringList>
#include <QUrl>

class QSettings;

// What the shell lets pages do. The application's origins (the start URL's,
// plus the configuration's "applicationOrigins") may navigate the windows,
// use the microphone and download; links of the telephony schemes (plus the
// configuration's "externalSchemes") go to the desktop's handler. Everything
// else is another site's, and gets none of it.
class ShellPolicy
{
public:
    explicit ShellPolicy(const QUrl& startUrl);

    // The "shell" group of the configuration file.
    void configure(QSettings* shellSettings);

    QStringList applicationOrigins() const;
    // The origin of a page or request URL (for blob: URLs, the origin they
    // name) is the application's.
    bool isApplication(const QUrl& url) const;
    bool isApplicationOrigin(const QString& origin) const { return m_origins.contains(origin); }
    bool isExternalScheme(const QString& scheme) const { return m_schemes.contains(scheme.toLower()); }

    // "scheme://host[:port]" of an http(s) URL, or of the URL a blob: URL
    // names; empty for anything else.
    static QString originOf(const QUrl& url);

private:
    QSet<QString> m_origins;
    QSet<QString> m_schemes;
};
