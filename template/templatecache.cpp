#include "templatecache.h"

#include "locking.h"
#include "logging.h"
#include "settings.h"

#include <QDateTime>
#include <QtDebug>

namespace quillon {

namespace {
constexpr int kMaxRememberedMisses = 256;
}

TemplateCache::TemplateCache(QSettings* settings, QObject* parent)
    : TemplateLoader(settings, parent)
{
    m_cache.setMaxCost(settingValue(settings, QStringLiteral("cacheSize"), "1000000").toInt());
    m_misses.setMaxCost(kMaxRememberedMisses);
    m_cacheTimeout = settingValue(settings, QStringLiteral("cacheTime"), "60000").toInt();
    qCDebug(lcTemplates, "TemplateCache: timeout=%i, size=%i", m_cacheTimeout, m_cache.maxCost());
}

QString TemplateCache::tryFile(const QString& localizedName)
{
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    MutexLocker locker(&m_mutex);
    qCDebug(lcTemplates, "TemplateCache: trying cached %s", qPrintable(localizedName));
    const auto isFresh = [&](qint64 created) { return m_cacheTimeout == 0 || created > now - m_cacheTimeout; };
    if (const CacheEntry* entry = m_cache.object(localizedName); entry && isFresh(entry->created))
        return entry->document;
    if (const qint64* missed = m_misses.object(localizedName); missed && isFresh(*missed))
        return QString();

    const QString document = TemplateLoader::tryFile(localizedName);
    // A document larger than the cache is refused by it but still returned.
    if (document.isEmpty()) {
        m_cache.remove(localizedName);
        m_misses.insert(localizedName, new qint64(now));
    } else {
        m_misses.remove(localizedName);
        m_cache.insert(localizedName, new CacheEntry{document, now}, document.size());
    }
    return document;
}

} // namespace quillon
