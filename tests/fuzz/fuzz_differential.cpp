// Our request parser beside a reference HTTP/1.1 parser (Debian's
// http-parser) on the same bytes. Wherever the reference finds a complete
// first message, we must refuse it or agree with it on the method, the
// target's path and where the message ends (so on the body's length);
// wherever we accept a message, the reference must too. Anything else is a
// finding: two readers that frame a request differently let a request hide
// inside another one's body.
#include "quietlog.h"

#include "httprequest.h"

#include <QBuffer>

#include <http_parser.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

struct Reference
{
    QByteArray url;
    bool complete = false;
    size_t parsed = 0;
    http_errno error = HPE_OK;
    bool upgrade = false;
    QByteArray method;
};

int onUrl(http_parser* parser, const char* at, size_t length)
{
    static_cast<Reference*>(parser->data)->url.append(at, int(length));
    return 0;
}

int onMessageComplete(http_parser* parser)
{
    static_cast<Reference*>(parser->data)->complete = true;
    http_parser_pause(parser, 1); // the first message only: its end is where parsing stops
    return 0;
}

Reference parseWithReference(const QByteArray& bytes)
{
    http_parser_settings settings;
    http_parser_settings_init(&settings);
    settings.on_url = onUrl;
    settings.on_message_complete = onMessageComplete;
    http_parser parser;
    http_parser_init(&parser, HTTP_REQUEST);
    Reference reference;
    parser.data = &reference;
    reference.parsed = http_parser_execute(&parser, &settings, bytes.constData(), size_t(bytes.size()));
    reference.error = HTTP_PARSER_ERRNO(&parser);
    reference.upgrade = parser.upgrade;
    reference.method = http_method_str(http_method(parser.method));
    return reference;
}

[[noreturn]] void finding(const char* what, const QByteArray& ours, const QByteArray& reference)
{
    fprintf(stderr, "differential finding: %s (ours: %s, reference: %s)\n", what, ours.constData(), reference.constData());
    abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    silenceQtLogOnce();
    const QByteArray bytes(reinterpret_cast<const char*>(data), int(size));

    // Ours, with the shipped limits; where it stops reading is where its
    // first message ends.
    quillon::HttpRequest request(16000, 1000000);
    QBuffer buffer;
    buffer.setData(bytes);
    buffer.open(QIODevice::ReadOnly);
    while (buffer.bytesAvailable() && request.status() != quillon::HttpRequest::Complete
           && request.status() != quillon::HttpRequest::Aborted)
        request.readFrom(&buffer);
    qint64 oursEnd = buffer.pos();
    QByteArray compared = bytes;
    // Waiting for more: what would the end of a header section make of it?
    // (The reference may take a bare CR for a line end, say, where we wait
    // for the line and then refuse it.)
    if (request.status() != quillon::HttpRequest::Complete && request.status() != quillon::HttpRequest::Aborted) {
        QBuffer ending;
        ending.setData("\r\n\r\n");
        ending.open(QIODevice::ReadOnly);
        while (ending.bytesAvailable() && request.status() != quillon::HttpRequest::Complete
               && request.status() != quillon::HttpRequest::Aborted)
            request.readFrom(&ending);
        oursEnd += ending.pos();
        compared += "\r\n\r\n";
    }
    const bool oursComplete = request.status() == quillon::HttpRequest::Complete;
    const bool oursRefused = request.status() == quillon::HttpRequest::Aborted;

    // The reference takes a longer name that begins with one of the names
    // it frames by ("Transfer-Encodingx", "Content-Length!") for that
    // header, which it is not; those inputs say nothing about us.
    const QList<QByteArray> names = request.headerMap().uniqueKeys();
    for (const char* framing : {"transfer-encoding", "content-length", "connection", "upgrade"}) {
        for (const QByteArray& name : names)
            if (name.startsWith(framing) && name != framing)
                return 0;
    }

    Reference reference = parseWithReference(compared);
    // RFC 9110 allows any token as a method; the reference knows only the
    // registered ones. An extension method we accepted is framed by the
    // reference as a GET of the same request, and the offsets shifted back.
    qint64 shift = 0;
    bool extensionMethod = false;
    if (reference.error == HPE_INVALID_METHOD && oursComplete) {
        extensionMethod = true;
        shift = request.method().size() - 3;
        int at = 0; // after the empty lines both skip
        while (at < compared.size() && (compared.at(at) == '\r' || compared.at(at) == '\n'))
            ++at;
        reference = parseWithReference(compared.left(at) + "GET" + compared.mid(at + request.method().size()));
    }
    const qint64 parsed = qint64(reference.parsed) + shift;
    // An upgrade (CONNECT, Upgrade) hands the rest to another protocol; we
    // serve no such request, and the reference stops framing there.
    if (reference.upgrade)
        return 0;

    if (reference.complete) {
        if (oursRefused)
            return 0;
        if (!oursComplete)
            finding("the reference found a whole message, we wait for more", QByteArray::number(oursEnd),
                    QByteArray::number(parsed));
        if (!extensionMethod && request.method() != reference.method)
            finding("method", request.method(), reference.method);
        const int query = reference.url.indexOf('?');
        const QByteArray path = query < 0 ? reference.url : reference.url.left(query);
        if (request.rawPath() != path)
            finding("target", request.rawPath(), reference.url);
        if (oursEnd != parsed)
            finding("where the message ends", QByteArray::number(oursEnd), QByteArray::number(parsed));
        return 0;
    }
    if (oursComplete && reference.error != HPE_OK)
        finding("we accept a message the reference rejects", request.method() + ' ' + request.rawPath().left(200),
                http_errno_name(reference.error));
    if (oursComplete)
        finding("we accept a message the reference finds incomplete", QByteArray::number(oursEnd),
                QByteArray::number(parsed));
    return 0;
}
