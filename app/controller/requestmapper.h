#pragma once

#include "httprequesthandler.h"
#include "requestgate.h"

// Routes every request of the local server: four demonstration pages, and
// the command path for everything else.
class RequestMapper : public quillon::HttpRequestHandler
{
    Q_OBJECT

public:
    RequestMapper(QObject* parent, QObject* commandReceiver);
    ~RequestMapper() override;

    // Set before the listener serves: who may send requests (by default
    // loopback names, and no page but the server's own).
    void setGate(const RequestGate& gate) { m_gate = gate; }

    void service(quillon::HttpRequest& request, quillon::HttpResponse& response) override;

signals:
    // Every command, for the command receiver (on its own thread).
    void checkApplicationArguments(QString);

private:
    RequestGate m_gate;
};
