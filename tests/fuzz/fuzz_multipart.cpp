// Arbitrary multipart bodies behind a valid header, with the shipped limits:
// the body is spooled, split into fields and uploads, and every upload read.
#include "feedrequest.h"
#include "heapcheck.h"
#include "quietlog.h"

#include <QTemporaryFile>

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    silenceQtLogOnce();
    if (size < 1)
        return 0;
    // The first byte chooses the boundary's form.
    static const QByteArray kContentTypes[] = {"multipart/form-data; boundary=XyZ",
                                               "multipart/form-data; boundary=\"XyZ\"",
                                               "multipart/form-data; boundary=XyZ; charset=x",
                                               "multipart/form-data; boundary=-"};
    const QByteArray& contentType = kContentTypes[data[0] % 4];
    const QByteArray body(reinterpret_cast<const char*>(data + 1), int(size - 1));
    const QByteArray bytes = "POST /file HTTP/1.1\r\nContent-Type: " + contentType
                             + "\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" + body;

    const size_t heapBefore = heapInUse();
    quillon::HttpRequest request(16000, 1000000);
    feedRequest(request, bytes, 4096);
    checkHeldBytes(heapBefore, size);
    if (request.status() == quillon::HttpRequest::Complete) {
        const auto parameters = request.parameterMap();
        for (auto it = parameters.cbegin(); it != parameters.cend(); ++it) {
            if (QTemporaryFile* file = request.uploadedFile(it.key()))
                (void)file->readAll();
        }
    }
    return 0;
}
