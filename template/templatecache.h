#pragma once

#include "templateloader.h"

#include <QCache>
#include <QMutex>

namespace quillon {

// A TemplateLoader that keeps file contents in memory for "cacheTime"
// milliseconds, shared by all worker threads.
class TemplateCache : public TemplateLoader
{
    Q_OBJECT
    Q_DISABLE_COPY(TemplateCache)

public:
    TemplateCache(QSettings* settings, QObject* parent = nullptr);

protected:
    QString tryFile(const QString& localizedName) override;

private:
    struct CacheEntry
    {
        QString document;
        qint64 created;
    };

    int m_cacheTimeout;
    QCache<QString, CacheEntry> m_cache;
    // Names without a file, with the time they were looked for: kept apart
    // and bounded by count, since a miss costs nothing in m_cache.
    QCache<QString, qint64> m_misses;
    QMutex m_mutex;
};

} // namespace quillon
