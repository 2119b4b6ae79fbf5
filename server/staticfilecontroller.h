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
    // True when Windows would take the path for something other than a file
    // under the root: a drive letter, a UNC prefix or any colon (alternate
    // data streams), a reserved device name (CON, NUL, COM1, LPT1.txt ...),
    // a name that ends in a dot or a space (Windows drops them), or an 8.3
    // short name (NAME~1), which can alias another name. Refused on Windows.
    static bool isWindowsPathHazard(const QByteArray& path);

private:
    struct CacheEntry
    {
        QByteArray document;
        qint64 created = 0;
        QByteArray filename;
    };

    void setContentType(const QString& fileName, HttpResponse& response) const;
    void setCacheControl(HttpResponse& response) const;
    bool isUnderRoot(const QString& fileName) const;

    QString m_encoding;
    QString m_docroot;
    // The root with links and short names resolved (Windows only).
    QString m_canonicalRoot;
    int m_maxAge;
    int m_cacheTimeout;
    int m_maxCachedFileSize;
    QCache<QString, CacheEntry> m_cache;
    QMutex m_mutex;
};

} // namespace quillon
