#include "httpsession.h"

#include "locking.h"
#include "logging.h"

#include <QDateTime>
#include <QUuid>
#include <QtDebug>

namespace quillon {

HttpSession::HttpSession(bool canStore)
{
    if (!canStore)
        return;
    m_data = new HttpSessionData;
    m_data->id = QUuid::createUuid().toString().toLocal8Bit();
    m_data->refCount = 1;
    m_data->lastAccess = QDateTime::currentMSecsSinceEpoch();
}

HttpSession::HttpSession(const HttpSession& other)
    : m_data(other.m_data)
{
    if (m_data) {
        WriteLocker locker(&m_data->lock);
        m_data->refCount++;
    }
}

HttpSession& HttpSession::operator=(const HttpSession& other)
{
    HttpSessionData* previous = m_data;
    m_data = other.m_data;
    if (m_data) {
        WriteLocker locker(&m_data->lock);
        m_data->refCount++;
        m_data->lastAccess = QDateTime::currentMSecsSinceEpoch();
    }
    if (previous) {
        bool last;
        {
            WriteLocker locker(&previous->lock);
            last = --previous->refCount == 0;
        }
        if (last)
            delete previous;
    }
    return *this;
}

HttpSession::~HttpSession()
{
    release();
}

void HttpSession::release()
{
    if (!m_data)
        return;
    bool last;
    {
        WriteLocker locker(&m_data->lock);
        last = --m_data->refCount == 0;
    }
    if (last) {
        qCDebug(lcSessions, "HttpSession: deleting data");
        delete m_data;
    }
    m_data = nullptr;
}

QByteArray HttpSession::id() const
{
    return m_data ? m_data->id : QByteArray();
}

void HttpSession::set(const QByteArray& key, const QVariant& value)
{
    if (!m_data)
        return;
    WriteLocker locker(&m_data->lock);
    m_data->values.insert(key, value);
}

QVariant HttpSession::get(const QByteArray& key) const
{
    if (!m_data)
        return QVariant();
    ReadLocker locker(&m_data->lock);
    return m_data->values.value(key);
}

bool HttpSession::contains(const QByteArray& key) const
{
    if (!m_data)
        return false;
    ReadLocker locker(&m_data->lock);
    return m_data->values.contains(key);
}

qint64 HttpSession::lastAccess() const
{
    if (!m_data)
        return 0;
    ReadLocker locker(&m_data->lock);
    return m_data->lastAccess;
}

void HttpSession::setLastAccess()
{
    if (!m_data)
        return;
    WriteLocker locker(&m_data->lock);
    m_data->lastAccess = QDateTime::currentMSecsSinceEpoch();
}

} // namespace quillon
