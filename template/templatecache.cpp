#include "templatecache.h"
#include "locking.h"

#include "settings.h"

#include <QDateTime>
#include <QtDebug>

namespace quillon {

TemplateCache::TemplateCache(QSettings* settings, QObject* parent)
    : TemplateLoader(settings, parent)
{
    m_cache.setMaxCost(settingValue(settings, QStringLiteral("cacheSize"), "1000000").toInt());
    m_cacheTimeout = settingValue(settings, QStringLiteral("cacheTime"), "60000").toInt();
    qDebug("TemplateCache: timeout=%i, size=%i", m_cacheTimeout, m_cache.maxCost());
}

QString TemplateCache::tryFile(const QString& localizedName)
{
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    MutexLocker locker(&m_mutex);
    qDebug("TemplateCache: trying cached %s", qPrintable(localizedName));
    CacheEntry* entry = m_cache.object(localizedName);
    if (entry && (m_cacheTimeout == 0 || entry->created > now - m_cacheTimeout))
        return entry->document;

    const QString document = TemplateLoader::tryFile(localizedName);
    // Missing files are cached too (as empty documents). A document larger
    // than the cache is refused by it but still returned.
    m_cache.insert(localizedName, new CacheEntry{document, now}, document.size());
    return document;
}

} // namespace quillon
