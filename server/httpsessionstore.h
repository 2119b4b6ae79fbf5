#pragma once

#include "httpsession.h"

#include <QMap>
#include <QMutex>
#include <QObject>
#include <QTimer>

class QSettings;

namespace quillon {

class HttpRequest;
class HttpResponse;

// Cookie-based sessions; idle sessions are dropped by a timer. getSession and
// getSessionId are called from many worker threads at once.
class HttpSessionStore : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(HttpSessionStore)

public:
    HttpSessionStore(QSettings* settings, QObject* parent = nullptr);
    ~HttpSessionStore() override;

    HttpSession getSession(HttpRequest& request, HttpResponse& response, bool allowCreate = true);
    QByteArray getSessionId(HttpRequest& request, HttpResponse& response);

    int expirationTime() const { return m_expirationTime; }
    // One expiry pass at the given time; the timer calls it with the current time.
    void expireSessions(qint64 now);

private slots:
    void sessionTimerEvent();

private:
    void issueCookie(const HttpSession& session, HttpResponse& response);

    QMap<QByteArray, HttpSession> m_sessions;
    QSettings* m_settings;
    QTimer m_cleanupTimer;
    QByteArray m_cookieName;
    int m_expirationTime;
    QMutex m_mutex;
};

} // namespace quillon
