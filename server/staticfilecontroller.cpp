#include "staticfilecontroller.h"
#include "locking.h"

#include "httprequest.h"
#include "httpresponse.h"
#include "logging.h"
#include "settings.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QtDebug>

#include <memory>

namespace quillon {

namespace {
constexpr qint64 kCopyBlockSize = 65536;
#ifdef Q_OS_WIN
constexpr bool kWindowsFileNames = true;
#else
constexpr bool kWindowsFileNames = false;
#endif

// Names Windows opens as devices in every folder, with any extension.
bool isDeviceName(const QByteArray& name)
{
    const QByteArray stem = name.left(name.indexOf('.') < 0 ? name.size() : name.indexOf('.')).trimmed().toUpper();
    for (const char* device : {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$", "CLOCK$"}) {
        if (stem == device)
            return true;
    }
    // COM1-9 and LPT1-9, and their superscript forms (UTF-8 of ¹²³).
    if ((stem.startsWith("COM") || stem.startsWith("LPT")) && stem.size() >= 4) {
        const QByteArray number = stem.mid(3);
        return (number.size() == 1 && number[0] >= '0' && number[0] <= '9') || number == "\xC2\xB9"
            || number == "\xC2\xB2" || number == "\xC2\xB3";
    }
    return false;
}
} // namespace

StaticFileController::StaticFileController(QSettings* settings, QObject* parent)
    : HttpRequestHandler(parent)
{
    m_maxAge = settingValue(settings, QStringLiteral("maxAge"), "60000").toInt();
    m_encoding = settingValue(settings, QStringLiteral("encoding"), "UTF-8").toString();
    m_docroot = settingValue(settings, QStringLiteral("path"), ".").toString();
    if (!m_docroot.startsWith(QLatin1String(":/")) && !m_docroot.startsWith(QLatin1String("qrc://")))
        m_docroot = resolveAgainstSettingsFile(settings, m_docroot);
    if (kWindowsFileNames)
        m_canonicalRoot = QFileInfo(m_docroot).canonicalFilePath();
    qCDebug(lcStaticFiles, "StaticFileController: docroot=%s, encoding=%s, maxAge=%i", qPrintable(m_docroot), qPrintable(m_encoding),
           m_maxAge);
    m_maxCachedFileSize = settingValue(settings, QStringLiteral("maxCachedFileSize"), "65536").toInt();
    m_cache.setMaxCost(settingValue(settings, QStringLiteral("cacheSize"), "1000000").toInt());
    m_cacheTimeout = settingValue(settings, QStringLiteral("cacheTime"), "60000").toInt();
    qCDebug(lcStaticFiles, "StaticFileController: cache timeout=%i, size=%i", m_cacheTimeout, m_cache.maxCost());
}

bool StaticFileController::isForbiddenPath(const QByteArray& path)
{
    // A backslash is a path separator on Windows; a path without a leading
    // slash would be glued to the root's own name; a NUL byte would cut it.
    return path.contains("/..") || path.contains("\\..") || !path.startsWith('/') || path.contains('\0');
}

bool StaticFileController::isWindowsPathHazard(const QByteArray& path)
{
    if (path.contains(':') || path.startsWith("//") || path.startsWith("\\\\") || path.startsWith("/\\"))
        return true;
    for (const QByteArray& name : path.split('/')) {
        for (const QByteArray& part : name.split('\\')) {
            if (part.isEmpty())
                continue;
            if (part.endsWith('.') || part.endsWith(' ') || isDeviceName(part))
                return true;
            const int tilde = part.indexOf('~');
            if (tilde >= 0 && tilde + 1 < part.size() && part.at(tilde + 1) >= '0' && part.at(tilde + 1) <= '9')
                return true;
        }
    }
    return false;
}

bool StaticFileController::isUnderRoot(const QString& fileName) const
{
    // A root made after start-up is resolved when it is needed.
    const QString root = m_canonicalRoot.isEmpty() ? QFileInfo(m_docroot).canonicalFilePath() : m_canonicalRoot;
    const QString file = QFileInfo(fileName).canonicalFilePath();
    return !root.isEmpty() && !file.isEmpty()
        && (file.compare(root, Qt::CaseInsensitive) == 0
            || file.startsWith(root.endsWith(QLatin1Char('/')) ? root : root + QLatin1Char('/'), Qt::CaseInsensitive));
}

void StaticFileController::setCacheControl(HttpResponse& response) const
{
    response.setHeader("Cache-Control", "max-age=" + QByteArray::number(m_maxAge / 1000));
}

void StaticFileController::service(HttpRequest& request, HttpResponse& response)
{
    QByteArray path = request.path();
    const QString cacheKey = QString::fromUtf8(path);
    const qint64 now = QDateTime::currentMSecsSinceEpoch();

    MutexLocker locker(&m_mutex);
    CacheEntry* entry = m_cache.object(cacheKey);
    if (entry && (m_cacheTimeout == 0 || entry->created > now - m_cacheTimeout)) {
        const QByteArray document = entry->document;
        const QByteArray filename = entry->filename;
        locker.unlock();
        qCDebug(lcStaticFiles, "StaticFileController: Cache hit for %s", path.constData());
        setContentType(QString::fromUtf8(filename), response);
        setCacheControl(response);
        response.write(document);
        return;
    }
    locker.unlock();
    qCDebug(lcStaticFiles, "StaticFileController: Cache miss for %s", path.constData());

    if (isForbiddenPath(path) || (kWindowsFileNames && isWindowsPathHazard(path))) {
        qCWarning(lcStaticFiles, "StaticFileController: detected forbidden characters in path %s", path.constData());
        response.setStatus(403, "forbidden");
        response.write("403 forbidden", true);
        return;
    }

    if (QFileInfo(m_docroot + QString::fromUtf8(path)).isDir())
        path += "/index.html";

    auto file = std::make_unique<QFile>(m_docroot + QString::fromUtf8(path));
    qCDebug(lcStaticFiles, "StaticFileController: Open file %s", qPrintable(file->fileName()));
    // Windows resolves names in ways the path does not show (short names,
    // junctions): what is opened must still lie under the root.
    if (kWindowsFileNames && file->exists() && !isUnderRoot(file->fileName())) {
        qCWarning(lcStaticFiles, "StaticFileController: %s leads out of the document root", path.constData());
        response.setStatus(403, "forbidden");
        response.write("403 forbidden", true);
        return;
    }
    if (file->open(QIODevice::ReadOnly)) {
        setContentType(QString::fromUtf8(path), response);
        setCacheControl(response);
        if (file->size() <= m_maxCachedFileSize) {
            auto* newEntry = new CacheEntry;
            while (!file->atEnd() && file->error() == QFileDevice::NoError) {
                const QByteArray buffer = file->read(kCopyBlockSize);
                response.write(buffer);
                newEntry->document.append(buffer);
            }
            newEntry->created = now;
            newEntry->filename = path;
            const int cost = newEntry->document.size();
            locker.relock();
            m_cache.insert(cacheKey, newEntry, cost);
            locker.unlock();
        } else {
            // Read as the peer takes it: a file of any size costs a block.
            response.writeDevice(file.release());
        }
    } else if (file->exists()) {
        qCWarning(lcStaticFiles, "StaticFileController: Cannot open existing file %s for reading", qPrintable(file->fileName()));
        response.setStatus(403, "forbidden");
        response.write("403 forbidden", true);
    } else {
        response.setStatus(404, "not found");
        response.write("404 not found", true);
    }
}

void StaticFileController::setContentType(const QString& fileName, HttpResponse& response) const
{
    static const struct
    {
        const char* ending;
        const char* type;
        bool text;
    } kTypes[] = {
        {".png", "image/png", false},
        {".jpg", "image/jpeg", false},
        {".gif", "image/gif", false},
        {".pdf", "application/pdf", false},
        {".txt", "text/plain; charset=", true},
        {".html", "text/html; charset=", true},
        {".htm", "text/html; charset=", true},
        {".css", "text/css", false},
        {".js", "text/javascript", false},
        {".svg", "image/svg+xml", false},
        {".woff", "font/woff", false},
        {".woff2", "font/woff2", false},
        {".ttf", "application/x-font-ttf", false},
        {".eot", "application/vnd.ms-fontobject", false},
        {".otf", "application/font-otf", false},
    };
    for (const auto& row : kTypes) {
        if (fileName.endsWith(QLatin1String(row.ending), Qt::CaseSensitive)) {
            QByteArray type(row.type);
            if (row.text)
                type += m_encoding.toLocal8Bit();
            response.setHeader("Content-Type", type);
            return;
        }
    }
    qCDebug(lcStaticFiles, "StaticFileController: unknown MIME type for filename '%s'", qPrintable(fileName));
}

} // namespace quillon
