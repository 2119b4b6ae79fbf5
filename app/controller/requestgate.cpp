#include "requestgate.h"

#include "activationhost.h"
#include "httprequest.h"
#include "httpresponse.h"
#include "logging.h"
#include "settings.h"

#include <QHostAddress>

#include <cctype>
#include <QtDebug>

namespace {
constexpr int kPreflightMaxAge = 600; // seconds a browser may keep a preflight's answer
const QByteArray kAllowedMethods = "GET, POST, HEAD";

// The name (lower case, an IPv6 address in brackets) and port of a Host
// header or authority; false when it is not one.
bool splitAuthority(const QByteArray& authority, QString* name, int* port)
{
    QByteArray host = authority;
    QByteArray portText;
    if (host.startsWith('[')) {
        const int close = host.indexOf(']');
        if (close < 0)
            return false;
        portText = host.mid(close + 1);
        host = host.left(close + 1);
        if (!portText.isEmpty() && !portText.startsWith(':'))
            return false;
        portText = portText.mid(1);
    } else {
        const int colon = host.lastIndexOf(':');
        if (colon >= 0) {
            portText = host.mid(colon + 1);
            host = host.left(colon);
        }
    }
    if (host.isEmpty())
        return false;
    for (const char c : host) {
        // RFC 3986 reg-name and IP literals; no spaces, slashes or controls.
        if (!(isalnum(uchar(c)) || c == '.' || c == '-' || c == '_' || c == '[' || c == ']' || c == ':'))
            return false;
    }
    *port = 0;
    if (authority.contains(':') && !authority.endsWith(']')) {
        bool ok = false;
        *port = portText.toInt(&ok);
        if (!ok || portText.isEmpty() || portText.startsWith('+') || portText.startsWith('-') || *port <= 0
            || *port > 65535)
            return false;
    }
    *name = QString::fromLatin1(host).toLower();
    return true;
}

void refuse(quillon::HttpResponse& response, int status, const QByteArray& text, const QByteArray& contentType,
            const QByteArray& body)
{
    response.setStatus(status, text);
    response.setHeader("Content-Type", contentType);
    response.write(body, true);
}
} // namespace

RequestGate::RequestGate()
    : m_hostNames({QStringLiteral("localhost"), QStringLiteral("127.0.0.1"), QStringLiteral("[::1]")})
{
}

RequestGate::RequestGate(QSettings* listenerSettings, const QStringList& applicationOrigins,
                         const ActivationHost& activationHost)
    : RequestGate()
{
    QString host = quillon::settingValue(listenerSettings, QStringLiteral("host")).toString().trimmed().toLower();
    const QHostAddress address(host);
    if (!host.isEmpty() && !(address == QHostAddress::AnyIPv4 || address == QHostAddress::AnyIPv6)) {
        if (address.protocol() == QAbstractSocket::IPv6Protocol)
            host = QLatin1Char('[') + host + QLatin1Char(']');
        m_hostNames.insert(host);
    }
    m_activationName = activationHost.host();
    m_activationPort = activationHost.port();

    for (const QString& application : applicationOrigins)
        m_origins.insert(application);
    const QStringList listed =
        quillon::settingValue(listenerSettings, QStringLiteral("allowedOrigins")).toStringList();
    for (const QString& entry : listed) {
        const QString trimmed = entry.trimmed();
        const QString origin = originOf(QUrl(trimmed));
        if (trimmed == QLatin1String("*"))
            m_anyOrigin = true;
        else if (!origin.isEmpty())
            m_origins.insert(origin);
        else if (!trimmed.isEmpty())
            qCWarning(lcClient, "RequestGate: allowedOrigins: %s is not an origin", qPrintable(trimmed));
    }
}

QString RequestGate::originOf(const QUrl& url)
{
    const QString scheme = url.scheme().toLower();
    if ((scheme != QLatin1String("http") && scheme != QLatin1String("https")) || url.host().isEmpty())
        return QString();
    QString host = url.host().toLower();
    if (host.contains(QLatin1Char(':')))
        host = QLatin1Char('[') + host + QLatin1Char(']');
    const int defaultPort = scheme == QLatin1String("https") ? 443 : 80;
    const int port = url.port(defaultPort);
    return scheme + QStringLiteral("://") + host
        + (port == defaultPort ? QString() : QLatin1Char(':') + QString::number(port));
}

bool RequestGate::hostAllowed(const QByteArray& hostHeader) const
{
    QString name;
    int port = 0;
    if (!splitAuthority(hostHeader, &name, &port))
        return false;
    const bool ownPort = port == 0 || m_port == 0 || port == m_port;
    if (m_hostNames.contains(name))
        return ownPort;
    if (!m_activationName.isEmpty() && name == m_activationName)
        return ownPort || port == m_activationPort;
    return false;
}

// The origin of the page a browser sent the request from. Origin when the
// browser gives it; else, for a request it marks as coming from another
// page (Sec-Fetch-Site), or one that names a referring page, the Referer's.
QString RequestGate::pageOrigin(const quillon::HttpRequest& request, bool* fromPage) const
{
    const QByteArray origin = request.header("Origin");
    if (!origin.isEmpty()) {
        *fromPage = true;
        const QString parsed = originOf(QUrl(QString::fromLatin1(origin)));
        return parsed.isEmpty() ? QString::fromLatin1(origin) : parsed;
    }
    const QByteArray site = request.header("Sec-Fetch-Site").toLower();
    const QByteArray referer = request.header("Referer");
    if (site == "none" || site == "same-origin") {
        *fromPage = false;
        return QString();
    }
    *fromPage = !site.isEmpty() || !referer.isEmpty();
    return originOf(QUrl(QString::fromLatin1(referer)));
}

bool RequestGate::originAllowed(const QString& origin, const QByteArray& hostHeader) const
{
    if (m_anyOrigin || m_origins.contains(origin))
        return true;
    // The server's own pages.
    const int scheme = origin.indexOf(QStringLiteral("://"));
    if (scheme < 0 || hostHeader.isEmpty())
        return false;
    QString ownName, originName;
    int ownPort = 0, originPort = 0;
    if (!splitAuthority(hostHeader, &ownName, &ownPort)
        || !splitAuthority(origin.mid(scheme + 3).toLatin1(), &originName, &originPort))
        return false;
    const int defaultPort = origin.startsWith(QLatin1String("https")) ? 443 : 80;
    return ownName == originName && (ownPort ? ownPort : defaultPort) == (originPort ? originPort : defaultPort);
}

bool RequestGate::admit(const quillon::HttpRequest& request, quillon::HttpResponse& response) const
{
    const QList<QByteArray> hosts = request.headerMap().values("host");
    if (hosts.size() > 1 || (hosts.isEmpty() && request.version() != "HTTP/1.0")) {
        qCWarning(lcClient, "RequestGate: refused a request without exactly one Host header");
        refuse(response, 400, "Bad Request", "text/plain; charset=UTF-8", "400 Bad Request: one Host header is required\n");
        return false;
    }
    const QByteArray host = hosts.value(0);
    if (!host.isEmpty() && !hostAllowed(host)) {
        qCWarning(lcClient, "RequestGate: refused a request for host %s", host.left(256).constData());
        refuse(response, 403, "Forbidden", "text/plain; charset=UTF-8", "403 Forbidden: unknown host\n");
        return false;
    }

    bool fromPage = false;
    const QString origin = pageOrigin(request, &fromPage);
    const bool allowed = !fromPage || originAllowed(origin, host);
    if (!allowed) {
        const QString shown = origin.isEmpty() ? QStringLiteral("(unknown)") : origin.left(256);
        qCWarning(lcClient, "RequestGate: refused a request from the page origin %s", qPrintable(shown));
        refuse(response, 403, "Forbidden", "application/json; charset=UTF-8",
               "{\"status\":false,\"error\":\"origin not allowed\"}");
        return false;
    }
    if (request.method() == "OPTIONS" && !request.header("Access-Control-Request-Method").isEmpty()) {
        answerPreflight(request, origin, response);
        return false;
    }
    if (!request.header("Origin").isEmpty()) {
        response.setHeader("Access-Control-Allow-Origin", request.header("Origin"));
        response.setHeader("Vary", "Origin");
    }
    return true;
}

void RequestGate::answerPreflight(const quillon::HttpRequest& request, const QString& origin,
                                  quillon::HttpResponse& response) const
{
    if (origin.isEmpty()) {
        refuse(response, 403, "Forbidden", "application/json; charset=UTF-8",
               "{\"status\":false,\"error\":\"origin not allowed\"}");
        return;
    }
    response.setStatus(204, "No Content");
    response.setHeader("Access-Control-Allow-Origin", request.header("Origin"));
    response.setHeader("Access-Control-Allow-Methods", kAllowedMethods);
    const QByteArray headers = request.header("Access-Control-Request-Headers");
    if (!headers.isEmpty())
        response.setHeader("Access-Control-Allow-Headers", headers);
    if (request.header("Access-Control-Request-Private-Network").compare("true", Qt::CaseInsensitive) == 0)
        response.setHeader("Access-Control-Allow-Private-Network", "true");
    response.setHeader("Access-Control-Max-Age", QByteArray::number(kPreflightMaxAge));
    response.setHeader("Vary", "Origin");
    response.write(QByteArray(), true);
}
