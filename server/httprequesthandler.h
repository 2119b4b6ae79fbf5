#pragma once

#include <QObject>

namespace quillon {

class HttpRequest;
class HttpResponse;

// Base of every request handler. service() is called on connection-handler
// threads, several at once, so implementations must be thread-safe.
class HttpRequestHandler : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(HttpRequestHandler)

public:
    explicit HttpRequestHandler(QObject* parent = nullptr);
    ~HttpRequestHandler() override;

    virtual void service(HttpRequest& request, HttpResponse& response);
};

} // namespace quillon
