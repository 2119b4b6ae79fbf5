// Feeds bytes to the request parser the way the connection handler does, in
// segments of the given size.
#pragma once

#include "httprequest.h"

#include <QBuffer>

inline void feedRequest(quillon::HttpRequest& request, const QByteArray& bytes, int segment)
{
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
            return;
    }
}
