#include "httpsessionstore.h"
#include "locking.h"

#include "httprequest.h"
#include "httpresponse.h"
#include "logging.h"
#include "settings.h"

#include <QDateTime>
#include <QtDebug>

namespace quillon {

namespace {
constexpr int kExpiryInterval = 60000;
}

HttpSessionStore::HttpSessionStore(QSettings* settings, QObject* parent)
    : QObject(parent)
    , m_settings(settings)
{
    connect(&m_cleanupTimer, &QTimer::timeout, this, &HttpSessionStore::sessionTimerEvent);
    m_cleanupTimer.start(kExpiryInterval);
    m_cookieName = settingValue(m_settings, QStringLiteral("cookieName"), "sessionid").toByteArray();
    m_expirationTime = settingValue(m_settings, QStringLiteral("expirationTime"), 3600000).toInt();
    qCDebug(lcSessions, "HttpSessionStore: Sessions expire after %i milliseconds", m_expirationTime);
}

HttpSessionStore::~HttpSessionStore()
{
    m_cleanupTimer.stop();
}

QByteArray HttpSessionStore::getSessionId(HttpRequest& request, HttpResponse& response)
{
    MutexLocker locker(&m_mutex);
    // A session created earlier for this same request is found in the response.
    QByteArray sessionId = response.cookies().value(m_cookieName).value();
    if (sessionId.isEmpty())
        sessionId = request.cookie(m_cookieName);
    if (!sessionId.isEmpty() && !m_sessions.contains(sessionId)) {
        qCDebug(lcSessions, "HttpSessionStore: received invalid session cookie with ID %s", sessionId.constData());
        sessionId.clear();
    }
    return sessionId;
}

HttpSession HttpSessionStore::getSession(HttpRequest& request, HttpResponse& response, bool allowCreate)
{
    const QByteArray sessionId = getSessionId(request, response);
    MutexLocker locker(&m_mutex);
    if (!sessionId.isEmpty()) {
        auto it = m_sessions.constFind(sessionId);
        if (it != m_sessions.constEnd()) {
            HttpSession session = it.value();
            locker.unlock();
            issueCookie(session, response);
            session.setLastAccess();
            return session;
        }
    }
    if (allowCreate) {
        HttpSession session(true);
        qCDebug(lcSessions, "HttpSessionStore: create new session with ID %s", session.id().constData());
        m_sessions.insert(session.id(), session);
        issueCookie(session, response);
        return session;
    }
    return HttpSession();
}

void HttpSessionStore::issueCookie(const HttpSession& session, HttpResponse& response)
{
    const QByteArray name = settingValue(m_settings, QStringLiteral("cookieName"), "sessionid").toByteArray();
    const QByteArray path = settingValue(m_settings, QStringLiteral("cookiePath")).toByteArray();
    const QByteArray comment = settingValue(m_settings, QStringLiteral("cookieComment")).toByteArray();
    const QByteArray domain = settingValue(m_settings, QStringLiteral("cookieDomain")).toByteArray();
    response.setCookie(HttpCookie(name, session.id(), m_expirationTime / 1000, path, comment, domain, false, false));
}

void HttpSessionStore::sessionTimerEvent()
{
    expireSessions(QDateTime::currentMSecsSinceEpoch());
}

void HttpSessionStore::expireSessions(qint64 now)
{
    MutexLocker locker(&m_mutex);
    for (auto it = m_sessions.begin(); it != m_sessions.end();) {
        if (now - it.value().lastAccess() > qint64(m_expirationTime)) {
            qCDebug(lcSessions, "HttpSessionStore: session %s expired", it.key().constData());
            it = m_sessions.erase(it);
        } else {
            ++it;
        }
    }
}

} // namespace quillon
