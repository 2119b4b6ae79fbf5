#include "templateloader.h"

#include "logging.h"
#include "settings.h"

#include <QFile>
#include <QRegularExpression>
#include <QSet>
#include <QSettings>
#include <QStringList>
#include <QTextCodec>
#include <QtDebug>

#include <algorithm>

namespace quillon {

namespace {
// RFC 5646 4.4.1: 35 characters hold every tag that matters in practice.
constexpr int kMaxLanguageTagLength = 35;
// Browsers send a handful of languages; more only costs file look-ups.
constexpr int kMaxLanguages = 32;

// Only language tags become part of a file name: no separators, no dots, no
// control characters. An empty tag keeps the plain "name-" candidate.
bool isLanguageTag(const QString& tag)
{
    if (tag.size() > kMaxLanguageTagLength)
        return false;
    return std::all_of(tag.cbegin(), tag.cend(), [](QChar c) {
        const ushort u = c.unicode();
        return (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || (u >= '0' && u <= '9') || u == '-' || u == '_';
    });
}
} // namespace

TemplateLoader::TemplateLoader(QSettings* settings, QObject* parent)
    : QObject(parent)
{
    m_templatePath = resolveAgainstSettingsFile(settings, settingValue(settings, QStringLiteral("path"), ".").toString());
    m_fileNameSuffix = settingValue(settings, QStringLiteral("suffix"), ".tpl").toString();
    const QString encoding = settingValue(settings, QStringLiteral("encoding")).toString();
    if (encoding.isEmpty()) {
        m_textCodec = QTextCodec::codecForLocale();
    } else {
        m_textCodec = QTextCodec::codecForName(encoding.toLocal8Bit());
        if (!m_textCodec) {
            qCCritical(lcTemplates, "TemplateLoader: unknown encoding %s, using the system locale's codec", qPrintable(encoding));
            m_textCodec = QTextCodec::codecForLocale();
        }
    }
    qCDebug(lcTemplates, "TemplateLoader: path=%s, codec=%s", qPrintable(m_templatePath), m_textCodec->name().constData());
}

TemplateLoader::~TemplateLoader() = default;

QString TemplateLoader::tryFile(const QString& localizedName)
{
    const QString fileName = m_templatePath + QLatin1Char('/') + localizedName + m_fileNameSuffix;
    qCDebug(lcTemplates, "TemplateCache: trying file %s", qPrintable(fileName));
    QFile file(fileName);
    if (!file.exists())
        return QString();
    file.open(QIODevice::ReadOnly);
    const QString document = m_textCodec->toUnicode(file.readAll());
    file.close();
    if (file.error() != QFileDevice::NoError) {
        qCCritical(lcTemplates, "TemplateLoader: cannot load file %s, %s", qPrintable(fileName), qPrintable(file.errorString()));
        return QString();
    }
    return document;
}

Template TemplateLoader::getTemplate(const QString& templateName, const QString& locales)
{
    QSet<QString> tried;
    const QStringList languages = locales.split(QLatin1Char(','), Qt::SkipEmptyParts).mid(0, kMaxLanguages);

    const auto tryCandidate = [&](const QString& suffix, QString* document) {
        if (!isLanguageTag(suffix))
            return QString();
        const QString localizedName = templateName + QLatin1Char('-') + suffix;
        if (tried.contains(localizedName))
            return QString();
        *document = tryFile(localizedName);
        if (document->isEmpty()) {
            tried.insert(localizedName);
            return QString();
        }
        return localizedName;
    };

    static const QRegularExpression qualityPart(QStringLiteral(";.*"));
    static const QRegularExpression regionPart(QStringLiteral("[;_-].*"));
    QString document;
    for (const QString& language : languages) {
        const QString locale = QString(language).remove(qualityPart).replace(QLatin1Char('-'), QLatin1Char('_')).trimmed();
        const QString found = tryCandidate(locale, &document);
        if (!found.isEmpty())
            return Template(document, found);
    }
    for (const QString& language : languages) {
        const QString locale = QString(language).remove(regionPart).trimmed();
        const QString found = tryCandidate(locale, &document);
        if (!found.isEmpty())
            return Template(document, found);
    }
    document = tryFile(templateName);
    if (!document.isEmpty())
        return Template(document, templateName);
    qCCritical(lcTemplates, "TemplateCache: cannot find template %s", qPrintable(templateName));
    return Template(QString(), templateName);
}

} // namespace quillon
