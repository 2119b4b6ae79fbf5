#pragma once

#include "httprequesthandler.h"

#include <QCache>
#include <QMutex>
#include <QString>

class QSettings;

namespace quillon {

// Answers a request with the file under the document root named by the
// request path, keeping small files in a memory cache shared by all threads.
class StaticFileController : public HttpRequestHandler
{
    Q_OBJECT
    Q_DISABLE_COPY(StaticFileController)

public:
    StaticFileController(QSettings* settings, QObject* parent = nullptr);

    void service(HttpRequest& request, HttpResponse& response) override;

    QString documentRoot() const { return m_docroot; }

    // True when the path could leave the document root.
    static bool isForbiddenPath(const QByteArray& path);

private:
    struct CacheEntry
    {
        QByteArray document;
        qint64 created = 0;
        QByteArray filename;
    };

    void setContentType(const QString& fileName, HttpResponse& response) const;
    void setCacheControl(HttpResponse& response) const;

    QString m_encoding;
    QString m_docroot;
    int m_maxAge;
    int m_cacheTimeout;
    int m_maxCachedFileSize;
    QCache<QString, CacheEntry> m_cache;
    QMutex m_mutex;
};

} // namespace quillon
