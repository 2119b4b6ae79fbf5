#pragma once

#include <QByteArray>
#include <QMap>
#include <QMultiMap>

class QIODevice;
class QSettings;
class QTemporaryFile;

namespace quillon {

// One HTTP/1.x request, parsed incrementally from whatever bytes the
// connection delivers, and afterwards the read-only record of that request.
class HttpRequest
{
    Q_DISABLE_COPY(HttpRequest)

public:
    enum RequestStatus { AwaitingRequestLine, AwaitingHeader, AwaitingBody, Complete, Aborted };

    // Parts of one multipart body, when the settings do not say.
    static constexpr int kDefaultMaxMultiParts = 100;

    explicit HttpRequest(QSettings* settings);
    HttpRequest(int maxRequestSize, int maxMultiPartSize, int maxMultiParts = kDefaultMaxMultiParts);
    virtual ~HttpRequest();

    // Consumes available bytes of the device (a socket in production) and
    // advances the state.
    void readFrom(QIODevice* socket);

    RequestStatus status() const { return m_status; }
    // Once Aborted, the status code that says why: 400 (bad syntax), 414 (request
    // line too long), 431 (header section too large), 413 (body too large),
    // 501 (a transfer coding that is not implemented) or 505 (HTTP/2 or 0.9).
    int abortStatus() const { return m_abortStatus; }
    QByteArray method() const { return m_method; }
    QByteArray path() const { return urlDecode(m_path); }
    QByteArray rawPath() const { return m_path; }
    QByteArray version() const { return m_version; }

    QByteArray header(const QByteArray& name) const;
    QMultiMap<QByteArray, QByteArray> headerMap() const { return m_headers; }
    QByteArray parameter(const QByteArray& name) const;
    QMultiMap<QByteArray, QByteArray> parameterMap() const { return m_parameters; }
    QByteArray body() const { return m_bodyData; }
    QTemporaryFile* uploadedFile(const QByteArray& fieldName) const;
    QByteArray cookie(const QByteArray& name) const;
    QMap<QByteArray, QByteArray> cookieMap() const { return m_cookies; }

    static QByteArray urlDecode(const QByteArray& source);
    // The parts of a request line, as RFC 9110 and 9112 define them.
    static bool isToken(const QByteArray& text);
    static bool isRequestTarget(const QByteArray& target);
    static bool isHttpVersion(const QByteArray& version);

private:
    void abort(int status, const char* warning);
    bool readLine(QIODevice* socket, QByteArray& line);
    void readRequestLine(QIODevice* socket);
    void readHeader(QIODevice* socket);
    void readBody(QIODevice* socket);
    void finishHeader();
    bool readContentLength();
    void decodeParameters();
    void extractCookies();
    void parseMultipartFile();
    void storeUpload(const QByteArray& fieldName, QTemporaryFile* file);

    QMultiMap<QByteArray, QByteArray> m_headers;
    QMultiMap<QByteArray, QByteArray> m_parameters;
    QMap<QByteArray, QTemporaryFile*> m_uploadedFiles;
    QMap<QByteArray, QByteArray> m_cookies;
    QByteArray m_method;
    QByteArray m_path;
    QByteArray m_version;
    QByteArray m_bodyData;
    RequestStatus m_status = AwaitingRequestLine;
    int m_maxSize;
    int m_maxMultiPartSize;
    int m_maxMultiParts;
    int m_abortStatus = 0;
    qint64 m_fieldBytes = 0;
    qint64 m_currentSize = 0;
    qint64 m_expectedBodySize = 0;
    QByteArray m_currentHeader;
    QByteArray m_boundary;
    QTemporaryFile* m_tempFile = nullptr;
    QByteArray m_lineBuffer;
};

} // namespace quillon
