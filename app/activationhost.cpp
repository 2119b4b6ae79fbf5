#include "activationhost.h"

#include <QHostAddress>

ActivationHost::ActivationHost(const QString& hostAndPort)
{
    const QUrl parsed(QStringLiteral("https://") + hostAndPort + QLatin1Char('/'));
    m_host = parsed.host().toLower();
    if (m_host.contains(QLatin1Char(':')))
        m_host = QLatin1Char('[') + m_host + QLatin1Char(']');
    m_port = parsed.port(443);
}

bool ActivationHost::isLoopback() const
{
    if (m_host == QLatin1String("localhost"))
        return true;
    QString address = m_host;
    if (address.startsWith(QLatin1Char('[')))
        address = address.mid(1, address.size() - 2);
    return QHostAddress(address).isLoopback();
}

void ActivationHost::setLocalListener(const QString& listenerHost, int port, bool tls, int configuredPort)
{
    if (isLoopback() && configuredPort == m_port && port > 0)
        m_port = port;
    const QString host = listenerHost.toLower();
    const bool sameHost = isLoopback() || (!host.isEmpty() && (host == m_host || QLatin1Char('[') + host + QLatin1Char(']') == m_host));
    m_plain = sameHost && port == m_port && !tls;
}

QUrl ActivationHost::urlWithScheme(const QString& scheme, const QString& query) const
{
    QUrl url(scheme + QStringLiteral("://") + m_host + (m_port == 443 && scheme == QLatin1String("https") ? QString() : QLatin1Char(':') + QString::number(m_port)) + QLatin1Char('/'));
    if (!query.isEmpty())
        url.setQuery(query);
    return url;
}

QUrl ActivationHost::url(const QString& query) const
{
    return urlWithScheme(m_plain ? QStringLiteral("http") : QStringLiteral("https"), query);
}

QList<QUrl> ActivationHost::secondStartUrls() const
{
    if (!isLoopback())
        return {urlWithScheme(QStringLiteral("https"), QString())};
    return {urlWithScheme(QStringLiteral("http"), QString()), urlWithScheme(QStringLiteral("https"), QString())};
}
