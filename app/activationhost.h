#pragma once

#include <QList>
#include <QString>
#include <QUrl>

// The activation host: where a second start and the page's close elements
// reach the running client. It is a deployment value, called over HTTPS.
// Where it names a loopback host at the port of this client's own listener,
// it is that listener, and the calls take the scheme the listener serves
// (the shipped configuration serves plain HTTP on the loopback address).
class ActivationHost
{
public:
    explicit ActivationHost(const QString& hostAndPort);

    // The host in lower case (an IPv6 address in brackets) and the port
    // (443 when none is given).
    QString host() const { return m_host; }
    int port() const { return m_port; }
    bool isLoopback() const;

    // Start-up tells where its own listener runs and whether it serves TLS.
    // A loopback activation host at the port the machine's configuration
    // gives the listener (`configuredPort`) is this listener wherever it
    // runs: an account with a port of its own is reached there.
    void setLocalListener(const QString& listenerHost, int port, bool tls, int configuredPort = -1);

    // The URL of one call: path "/" and the query.
    QUrl url(const QString& query = QString()) const;
    // What a second start tries, in order. Before its own listener exists a
    // second copy cannot know what the running one serves: for a loopback
    // host, plain HTTP first (a TLS listener refuses it at once, where a
    // plain one would wait for the rest of a TLS greeting), then HTTPS.
    QList<QUrl> secondStartUrls() const;

private:
    QUrl urlWithScheme(const QString& scheme, const QString& query) const;

    QString m_host;
    int m_port = 443;
    bool m_plain = false;
};
