// Feeds arbitrary bytes to the request parser in arbitrary segment sizes,
// with small limits or the shipped ones.
#include "feedrequest.h"
#include "heapcheck.h"
#include "quietlog.h"

#include <QTemporaryFile>

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    silenceQtLogOnce();
    if (size < 2)
        return 0;

    // The first byte chooses the segment size, the second the limits.
    const int segment = 1 + data[0] % 64;
    const bool shipped = data[1] & 0x80;
    const int maxSize = shipped ? 16000 : 64 + (data[1] % 16) * 64;
    const int maxMultiPart = shipped ? 1000000 : 256 + ((data[1] / 16) % 8) * 256;
    const QByteArray bytes(reinterpret_cast<const char*>(data + 2), int(size - 2));

    const size_t heapBefore = heapInUse();
    quillon::HttpRequest request(maxSize, maxMultiPart);
    feedRequest(request, bytes, segment);
    checkHeldBytes(heapBefore, size);
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
