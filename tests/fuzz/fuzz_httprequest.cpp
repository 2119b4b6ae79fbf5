// Feeds arbitrary bytes to the request parser in arbitrary segment sizes.
#include "httprequest.h"

#include <QBuffer>
#include "quietlog.h"

#include <QCoreApplication>
#include <QTemporaryFile>

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    silenceQtLogOnce();
    if (size < 2)
        return 0;

    // The first byte chooses the segment size, the second the limits.
    const int segment = 1 + data[0] % 64;
    const int maxSize = 64 + (data[1] % 16) * 64;
    const int maxMultiPart = 256 + (data[1] / 16) * 256;
    const QByteArray bytes(reinterpret_cast<const char*>(data + 2), int(size - 2));

    quillon::HttpRequest request(maxSize, maxMultiPart);
    for (int offset = 0; offset < bytes.size(); offset += segment) {
        QBuffer buffer;
        buffer.setData(bytes.mid(offset, segment));
        buffer.open(QIODevice::ReadOnly);
        int guard = 0;
        while (buffer.bytesAvailable() && request.status() != quillon::HttpRequest::Complete
               && request.status() != quillon::HttpRequest::Aborted) {
            request.readFrom(&buffer);
            if (++guard > 100000)
                __builtin_trap(); // the parser stalls with bytes pending
        }
        if (request.status() == quillon::HttpRequest::Complete || request.status() == quillon::HttpRequest::Aborted)
            break;
    }
    if (request.status() == quillon::HttpRequest::Complete) {
        (void)request.path();
        (void)request.parameterMap();
        (void)request.headerMap();
        (void)request.cookieMap();
        if (QTemporaryFile* file = request.uploadedFile("f"))
            (void)file->readAll();
    }
    (void)quillon::HttpRequest::urlDecode(bytes);
    return 0;
}
