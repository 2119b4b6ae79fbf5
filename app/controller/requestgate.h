#pragma once

#include <QSet>
#include <QString>
#include <QStringList>
#include <QUrl>

class ActivationHost;
class QSettings;

namespace quillon {
class HttpRequest;
class HttpResponse;
} // namespace quillon

// The one check that every request to the local server passes before any
// controller runs. A request must name this listener in its Host header (a
// page of another site that rebinds its own name to the loopback address
// names itself). A request that a browser marks as coming from a page runs
// only when that page's origin is allowed: the server's own pages, the
// hosted application's origin and the listener's "allowedOrigins" ("*"
// allows every origin). Requests that carry none of those marks (local
// programs, scripts) pass. Cross-origin preflights are answered here and
// never reach a controller.
class RequestGate
{
public:
    // Loopback names only, and no origin but the server's own.
    RequestGate();
    // The listener group's "host" and "allowedOrigins", the application's
    // origins and the activation host the client itself calls.
    RequestGate(QSettings* listenerSettings, const QStringList& applicationOrigins, const ActivationHost& activationHost);

    // Once the listener runs: a Host header with a port must name this one.
    void setListeningPort(int port) { m_port = port; }

    // True when the request may go on; otherwise its answer has been written.
    bool admit(const quillon::HttpRequest& request, quillon::HttpResponse& response) const;

    // "scheme://host[:port]", lower case, without the scheme's default port;
    // empty for what is not an http(s) origin.
    static QString originOf(const QUrl& url);

private:
    bool hostAllowed(const QByteArray& hostHeader) const;
    QString pageOrigin(const quillon::HttpRequest& request, bool* fromPage) const;
    bool originAllowed(const QString& origin, const QByteArray& hostHeader) const;
    void answerPreflight(const quillon::HttpRequest& request, const QString& origin,
                         quillon::HttpResponse& response) const;

    QSet<QString> m_hostNames;
    QString m_activationName;
    int m_activationPort = 0;
    QSet<QString> m_origins;
    bool m_anyOrigin = false;
    int m_port = 0;
};
