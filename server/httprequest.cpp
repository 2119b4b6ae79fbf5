#include "httprequest.h"

#include "httpcookie.h"
#include "logging.h"
#include "settings.h"

#include <QIODevice>
#include <QTemporaryFile>
#include <QtDebug>

#include <algorithm>
#include <cctype>
#include <cstring>

namespace quillon {

namespace {
constexpr qint64 kMultipartReadBlock = 65536;

// RFC 9110 5.5: no control character but HTAB in a header line (CR and LF
// only as its end).
bool isForbiddenControl(char c)
{
    return (uchar(c) < 0x20 && c != '\t') || c == 0x7f;
}
} // namespace

HttpRequest::HttpRequest(QSettings* settings)
    : HttpRequest(settingValue(settings, QStringLiteral("maxRequestSize"), "16000").toInt(),
                  settingValue(settings, QStringLiteral("maxMultiPartSize"), "1000000").toInt(),
                  settingValue(settings, QStringLiteral("maxMultiParts"), kDefaultMaxMultiParts).toInt())
{
}

HttpRequest::HttpRequest(int maxRequestSize, int maxMultiPartSize, int maxMultiParts)
    : m_maxSize(maxRequestSize)
    , m_maxMultiPartSize(maxMultiPartSize)
    , m_maxMultiParts(maxMultiParts)
{
}

void HttpRequest::abort(int status, const char* warning)
{
    qCWarning(lcServer, "HttpRequest: %s", warning);
    m_status = Aborted;
    m_abortStatus = status;
}

HttpRequest::~HttpRequest()
{
    for (QTemporaryFile* file : qAsConst(m_uploadedFiles)) {
        if (file->isOpen())
            file->close();
        delete file;
    }
    if (m_tempFile) {
        if (m_tempFile->isOpen())
            m_tempFile->close();
        delete m_tempFile;
    }
}

void HttpRequest::readFrom(QIODevice* socket)
{
    switch (m_status) {
    case AwaitingRequestLine:
        readRequestLine(socket);
        break;
    case AwaitingHeader:
        readHeader(socket);
        break;
    case AwaitingBody:
        readBody(socket);
        break;
    default:
        return;
    }

    if (m_status != Aborted && m_currentSize > m_maxSize)
        abort(m_status == AwaitingRequestLine ? 414 : m_status == AwaitingHeader ? 431 : 413, "received too many bytes");

    if (m_status == Complete) {
        decodeParameters();
        extractCookies();
    }
}

// Reads up to the next LF without exceeding the header budget. Each byte is
// counted once, when it arrives. Returns true with the trimmed line once a
// whole line has arrived.
// Reads through a small buffer on the stack: QIODevice::readLine(maxSize)
// would allocate the whole remaining budget for every line.
bool HttpRequest::readLine(QIODevice* socket, QByteArray& line)
{
    char chunk[2048];
    for (;;) {
        const qint64 budget = m_maxSize - m_currentSize;
        if (budget <= 0) {
            abort(m_status == AwaitingRequestLine ? 414 : 431, "received too many bytes");
            return false;
        }
        // Stores at most its size minus one bytes, and a NUL.
        const qint64 got = socket->readLine(chunk, qMin<qint64>(sizeof chunk, budget + 2));
        if (got <= 0)
            return false;
        m_currentSize += got;
        // A control character (a TLS greeting to a plain listener, say) is
        // refused at once, not after a line end that may never come.
        if (std::any_of(chunk, chunk + got, [](char c) { return isForbiddenControl(c) && c != '\r' && c != '\n'; })) {
            abort(400, "received broken HTTP request, control character in a line");
            return false;
        }
        m_lineBuffer.append(chunk, int(got));
        if (chunk[got - 1] == '\n')
            break;
    }
    // The line without its end (LF, or CR LF).
    m_lineBuffer.chop(m_lineBuffer.endsWith("\r\n") ? 2 : 1);
    line = m_lineBuffer;
    m_lineBuffer.clear();
    // RFC 9112 2.2: a bare CR, which other readers may take for a line end.
    if (line.contains('\r')) {
        abort(400, "received broken HTTP request, control character in a line");
        return false;
    }
    return true;
}

namespace {
// RFC 9110 5.6.2: tchar.
bool isTokenChar(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')
        || (c && strchr("!#$%&'*+-.^_`|~", c));
}
} // namespace

bool HttpRequest::isToken(const QByteArray& text)
{
    return !text.isEmpty() && std::all_of(text.cbegin(), text.cend(), isTokenChar);
}

// RFC 9112 3.2: origin-form ("/..."), absolute-form ("scheme://..."), or "*";
// no controls, spaces or DEL anywhere.
bool HttpRequest::isRequestTarget(const QByteArray& target)
{
    if (target.isEmpty()
        || std::any_of(target.cbegin(), target.cend(), [](char c) { return uchar(c) <= 0x20 || uchar(c) == 0x7f; }))
        return false;
    if (target.startsWith('/') || target == "*")
        return true;
    const int schemeEnd = target.indexOf("://");
    if (schemeEnd <= 0 || !isalpha(uchar(target.at(0))))
        return false;
    return std::all_of(target.cbegin(), target.cbegin() + schemeEnd,
                       [](char c) { return isalnum(uchar(c)) || c == '+' || c == '-' || c == '.'; });
}

// RFC 9112 2.3: "HTTP/" DIGIT "." DIGIT.
bool HttpRequest::isHttpVersion(const QByteArray& version)
{
    return version.size() == 8 && version.startsWith("HTTP/") && isdigit(uchar(version.at(5))) && version.at(6) == '.'
        && isdigit(uchar(version.at(7)));
}

void HttpRequest::readRequestLine(QIODevice* socket)
{
    QByteArray line;
    // RFC 9112 2.2: empty lines before the request line are ignored; the
    // line itself is taken as it is, single spaces between its parts.
    if (!readLine(socket, line) || line.isEmpty())
        return;
    const QList<QByteArray> parts = line.split(' ');
    if (parts.size() != 3 || !isToken(parts.at(0)) || !isRequestTarget(parts.at(1)) || !isHttpVersion(parts.at(2))) {
        abort(400, "received broken HTTP request, invalid first line");
        return;
    }
    if (parts.at(2).at(5) != '1') {
        abort(505, "received a request of another HTTP major version");
        return;
    }
    m_method = parts.at(0);
    m_path = parts.at(1);
    m_version = parts.at(2);
    m_status = AwaitingHeader;
}

void HttpRequest::readHeader(QIODevice* socket)
{
    QByteArray line;
    if (!readLine(socket, line))
        return;
    if (line.isEmpty()) {
        finishHeader();
        return;
    }
    if (line.startsWith(' ') || line.startsWith('\t')) {
        // An obsolete line folding (RFC 9112 5.2) extends the header's latest
        // entry in place, so a request of many short folded lines holds each
        // byte once. Before any header it is refused (RFC 9112 2.2).
        const auto latest = m_headers.find(m_currentHeader);
        if (latest == m_headers.end()) {
            abort(400, "received broken HTTP request, whitespace before the first header");
            return;
        }
        latest.value().append(' ').append(line.trimmed());
        return;
    }
    // RFC 9112 5.1: a field name is a token directly followed by the colon;
    // whitespace before the colon, or no colon at all, is a bad request
    // (another server could read the line otherwise, and the body with it).
    const int colon = line.indexOf(':');
    if (colon <= 0) {
        abort(400, "received broken HTTP request, invalid header line");
        return;
    }
    if (!isToken(line.left(colon))) {
        abort(400, "received broken HTTP request, invalid header name");
        return;
    }
    m_currentHeader = line.left(colon).toLower();
    const QByteArray value = line.mid(colon + 1);
    // Content-Length is digits with spaces around at most: a reader that
    // takes tabs for something else would frame the body differently.
    if (m_currentHeader == "content-length" && value.contains('\t')) {
        abort(400, "invalid Content-Length");
        return;
    }
    m_headers.insert(m_currentHeader, value.trimmed());
}

void HttpRequest::finishHeader()
{
    const QByteArray contentType = m_headers.value("content-type");
    if (contentType.startsWith("multipart/form-data")) {
        const int pos = contentType.indexOf("boundary=");
        if (pos >= 0) {
            m_boundary = contentType.mid(pos + 9);
            if (m_boundary.size() >= 2 && m_boundary.startsWith('"') && m_boundary.endsWith('"'))
                m_boundary = m_boundary.mid(1, m_boundary.size() - 2);
        }
    }
    // A body whose length is unclear would be read as the next request on
    // this connection, so such a request is refused.
    if (!readContentLength())
        return;

    if (m_expectedBodySize == 0) {
        m_status = Complete;
    } else if (m_boundary.isEmpty() && m_expectedBodySize > m_maxSize - m_currentSize) {
        abort(413, "expected body is too large");
    } else if (!m_boundary.isEmpty() && m_expectedBodySize > m_maxMultiPartSize) {
        abort(413, "expected multipart body is too large");
    } else {
        m_status = AwaitingBody;
    }
}

// RFC 9112 6.3 and RFC 9110 8.6: Content-Length is 1*DIGIT, given once (a
// repetition, even of the same value, is refused as strict readers do); a
// transfer coding (chunked bodies) is not supported here.
bool HttpRequest::readContentLength()
{
    if (m_headers.contains("transfer-encoding")) {
        abort(501, "transfer coding of the body is not supported");
        return false;
    }
    const QList<QByteArray> lengths = m_headers.values("content-length");
    if (lengths.isEmpty())
        return true;
    const QByteArray& length = lengths.first();
    const bool digitsOnly = !length.isEmpty()
        && std::all_of(length.cbegin(), length.cend(), [](char c) { return c >= '0' && c <= '9'; });
    bool ok = false;
    const qint64 value = digitsOnly ? length.toLongLong(&ok) : -1;
    if (!ok || lengths.size() > 1) {
        abort(400, "invalid Content-Length");
        return false;
    }
    m_expectedBodySize = value;
    return true;
}

void HttpRequest::readBody(QIODevice* socket)
{
    if (m_boundary.isEmpty()) {
        // Only what has arrived: QIODevice::read(n) reserves n bytes first.
        const QByteArray part = socket->read(qMin(m_expectedBodySize - m_bodyData.size(), socket->bytesAvailable()));
        m_currentSize += part.size();
        m_bodyData.append(part);
        if (m_bodyData.size() >= m_expectedBodySize)
            m_status = Complete;
        return;
    }

    if (!m_tempFile)
        m_tempFile = new QTemporaryFile;
    if (!m_tempFile->isOpen())
        m_tempFile->open();
    qint64 fileSize = m_tempFile->size();
    const qint64 toRead = qMin(m_expectedBodySize - fileSize, kMultipartReadBlock);
    const QByteArray part = socket->read(toRead);
    const qint64 written = m_tempFile->write(part);
    if (written > 0)
        fileSize += written;
    if (fileSize >= m_maxMultiPartSize) {
        abort(413, "received too many multipart bytes");
    } else if (fileSize >= m_expectedBodySize) {
        m_tempFile->flush();
        if (m_tempFile->error() != QFileDevice::NoError)
            qCCritical(lcServer, "HttpRequest: Error writing temp file for multipart body");
        parseMultipartFile();
        m_tempFile->close();
        if (m_status != Aborted)
            m_status = Complete;
    } else if (written < 0 || (written == 0 && !part.isEmpty())) {
        // The spool file cannot take more bytes: give up rather than re-read
        // the same budget forever.
        qCCritical(lcServer, "HttpRequest: Error writing temp file for multipart body");
        abort(413, "multipart body could not be stored");
    }
}

void HttpRequest::decodeParameters()
{
    QByteArray rawParameters;
    const int question = m_path.indexOf('?');
    if (question >= 0) {
        rawParameters = m_path.mid(question + 1);
        m_path = m_path.left(question);
    }
    const QByteArray contentType = m_headers.value("content-type");
    if (!m_bodyData.isEmpty() && (contentType.isEmpty() || contentType.startsWith("application/x-www-form-urlencoded"))) {
        if (!rawParameters.isEmpty()) {
            rawParameters.append('&');
            rawParameters.append(m_bodyData);
        } else {
            rawParameters = m_bodyData;
        }
    }
    const QList<QByteArray> list = rawParameters.split('&');
    for (const QByteArray& part : list) {
        const int equals = part.indexOf('=');
        if (equals >= 0) {
            const QByteArray name = part.left(equals).trimmed();
            const QByteArray value = part.mid(equals + 1).trimmed();
            m_parameters.insert(urlDecode(name), urlDecode(value));
        } else if (!part.isEmpty()) {
            m_parameters.insert(urlDecode(part), QByteArray());
        }
    }
}

void HttpRequest::extractCookies()
{
    const QList<QByteArray> cookieHeaders = m_headers.values("cookie");
    for (const QByteArray& cookieHeader : cookieHeaders) {
        const QList<QByteArray> pieces = HttpCookie::splitSemicolonList(cookieHeader);
        for (const QByteArray& piece : pieces) {
            const int equals = piece.indexOf('=');
            if (equals >= 0)
                m_cookies.insert(piece.left(equals).trimmed(), piece.mid(equals + 1).trimmed());
            else
                m_cookies.insert(piece.trimmed(), QByteArray());
        }
    }
    m_headers.remove("cookie");
}

QByteArray HttpRequest::header(const QByteArray& name) const
{
    return m_headers.value(name.toLower());
}

QByteArray HttpRequest::parameter(const QByteArray& name) const
{
    return m_parameters.value(name);
}

QTemporaryFile* HttpRequest::uploadedFile(const QByteArray& fieldName) const
{
    QTemporaryFile* file = m_uploadedFiles.value(fieldName);
    if (file)
        file->seek(0);
    return file;
}

QByteArray HttpRequest::cookie(const QByteArray& name) const
{
    return m_cookies.value(name);
}

QByteArray HttpRequest::urlDecode(const QByteArray& source)
{
    QByteArray buffer(source);
    buffer.replace('+', ' ');
    int percent = buffer.indexOf('%');
    while (percent >= 0) {
        bool ok = false;
        const int byte = buffer.mid(percent + 1, 2).toInt(&ok, 16);
        if (ok)
            buffer.replace(percent, 3, QByteArray(1, char(byte & 0xff)));
        percent = buffer.indexOf('%', percent + 1);
    }
    return buffer;
}

void HttpRequest::storeUpload(const QByteArray& fieldName, QTemporaryFile* file)
{
    QTemporaryFile* replaced = m_uploadedFiles.value(fieldName);
    m_uploadedFiles.insert(fieldName, file);
    delete replaced;
}

namespace {
// The text between opener and the next double quote, or empty.
QByteArray quotedAttribute(const QByteArray& line, const QByteArray& opener, bool* found)
{
    const int start = line.indexOf(opener);
    if (start < 0)
        return QByteArray();
    const int valueStart = start + opener.size();
    const int end = line.indexOf('"', valueStart);
    if (end < valueStart)
        return QByteArray();
    *found = true;
    return line.mid(valueStart, end - valueStart);
}
} // namespace

void HttpRequest::parseMultipartFile()
{
    qCDebug(lcServer, "HttpRequest: parsing multipart temp file");
    m_tempFile->seek(0);
    const QByteArray delimiter = "--" + m_boundary;
    const QByteArray closingDelimiter = m_boundary + "--";
    bool finished = false;
    int parts = 0;
    while (!m_tempFile->atEnd() && !finished && m_tempFile->error() == QFileDevice::NoError && m_status != Aborted) {
        // Each upload holds a temporary file open until the request ends.
        if (++parts > m_maxMultiParts) {
            abort(413, "too many multipart parts");
            break;
        }
        QByteArray fieldName;
        QByteArray fileName;
        while (!m_tempFile->atEnd() && m_tempFile->error() == QFileDevice::NoError) {
            const QByteArray line = m_tempFile->readLine(kMultipartReadBlock).trimmed();
            if (line.startsWith("Content-Disposition:")) {
                if (line.contains("form-data")) {
                    bool found = false;
                    const QByteArray name = quotedAttribute(line, " name=\"", &found);
                    if (found)
                        fieldName = name;
                    found = false;
                    const QByteArray file = quotedAttribute(line, " filename=\"", &found);
                    if (found)
                        fileName = file;
                } else {
                    qCDebug(lcServer, "HttpRequest: ignoring unsupported content part %s", line.constData());
                }
            } else if (line.isEmpty()) {
                break;
            }
        }

        const bool isField = fileName.isEmpty() && !fieldName.isEmpty();
        const bool isFile = !fileName.isEmpty() && !fieldName.isEmpty();
        QTemporaryFile* uploadedFile = nullptr;
        QByteArray fieldValue;
        bool partEnded = false;
        while (!m_tempFile->atEnd() && m_tempFile->error() == QFileDevice::NoError) {
            const QByteArray line = m_tempFile->readLine(kMultipartReadBlock);
            if (line.startsWith(delimiter)) {
                partEnded = true;
                if (isField) {
                    fieldValue.chop(2);
                    m_parameters.insert(fieldName, fieldValue);
                    qCDebug(lcServer, "HttpRequest: set parameter %s=%s", fieldName.constData(), fieldValue.constData());
                } else if (isFile) {
                    // A file part with no content line still yields an (empty) upload.
                    if (!uploadedFile) {
                        uploadedFile = new QTemporaryFile;
                        uploadedFile->open();
                    }
                    uploadedFile->resize(qMax<qint64>(0, uploadedFile->size() - 2));
                    uploadedFile->flush();
                    uploadedFile->seek(0);
                    m_parameters.insert(fieldName, fileName);
                    qCDebug(lcServer, "HttpRequest: set parameter %s=%s", fieldName.constData(), fileName.constData());
                    storeUpload(fieldName, uploadedFile);
                    qCDebug(lcServer, "HttpRequest: uploaded file size is %i", int(uploadedFile->size()));
                    uploadedFile = nullptr;
                }
                if (line.contains(closingDelimiter))
                    finished = true;
                break;
            }
            if (isField) {
                if (line.size() > m_maxSize - m_fieldBytes) {
                    abort(413, "multipart form fields are too large");
                    break;
                }
                m_fieldBytes += line.size();
                fieldValue.append(line);
            } else if (isFile) {
                if (!uploadedFile) {
                    uploadedFile = new QTemporaryFile;
                    uploadedFile->open();
                }
                uploadedFile->write(line);
                if (uploadedFile->error() != QFileDevice::NoError)
                    qCCritical(lcServer, "HttpRequest: error writing temp file, %s", qPrintable(uploadedFile->errorString()));
            }
        }
        // Only parts whose closing delimiter was seen are kept.
        if (!partEnded)
            delete uploadedFile;
    }
    if (m_tempFile->error() != QFileDevice::NoError)
        qCCritical(lcServer, "HttpRequest: cannot read temp file, %s", qPrintable(m_tempFile->errorString()));
    if (m_status == Aborted) {
        // A refused body leaves nothing on disk.
        qDeleteAll(m_uploadedFiles);
        m_uploadedFiles.clear();
    }
}

} // namespace quillon
