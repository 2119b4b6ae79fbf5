#pragma once

#include <QByteArray>
#include <QMap>
#include <QReadWriteLock>
#include <QVariant>

namespace quillon {

// A handle to one session's variables. Copies share the data; the data is
// deleted with its last handle. All operations are thread-safe.
class HttpSession
{
public:
    explicit HttpSession(bool canStore = false);
    HttpSession(const HttpSession& other);
    HttpSession& operator=(const HttpSession& other);
    virtual ~HttpSession();

    QByteArray id() const;
    bool isNull() const { return m_data == nullptr; }
    void set(const QByteArray& key, const QVariant& value);
    QVariant get(const QByteArray& key) const;
    bool contains(const QByteArray& key) const;
    qint64 lastAccess() const;
    void setLastAccess();

private:
    struct HttpSessionData
    {
        QByteArray id;
        qint64 lastAccess = 0;
        int refCount = 0;
        mutable QReadWriteLock lock;
        QMap<QByteArray, QVariant> values;
    };

    void release();

    HttpSessionData* m_data = nullptr;
};

} // namespace quillon
