#pragma once

#include "socketdescriptor.h"

#include <QObject>

#include <memory>

class QIODevice;
class QTcpSocket;

namespace quillon {

class HttpConnectionLoop;
class HttpRequest;

// One client connection, as a state machine driven by its socket's signals
// on the I/O thread that owns it: it reads requests, hands each complete
// one to the request handler, writes the answer as the peer takes it, and
// then keeps the connection for the next request or closes it. Nothing
// waits inside a slot; each state has its own deadline, which the loop
// watches.
class HttpConnectionHandler : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(HttpConnectionHandler)

public:
    enum class State {
        Idle,        // waiting for a request's first byte (keepAliveTimeout)
        ReadingHead, // headTimeout from that byte on
        ReadingBody, // bodyTimeout from the last byte of it
        Answering,   // the request handler runs
        Writing,     // the answer waits for the peer (writeTimeout without progress)
        Closing,     // the last output, then the end (writeTimeout without progress)
        Closed,
    };

    explicit HttpConnectionHandler(HttpConnectionLoop* loop);
    ~HttpConnectionHandler() override;

    // Takes over an accepted socket; false (and the descriptor closed) when
    // it cannot be used.
    bool adopt(tSocketDescriptor socketDescriptor);
    State state() const { return m_state; }
    // Milliseconds on the loop's clock, or 0 for none.
    qint64 deadline() const { return m_deadline; }
    void deadlinePassed();
    // Ends the connection at once (the loop stops).
    void abort();

private slots:
    void read();
    void outputWritten();
    void disconnected();

private:
    void setState(State state, int timeout = 0);
    void process();
    bool answer(HttpRequest& request);
    void refuse(int status);
    void closeAfterOutput();
    void sendBody();
    void outputDone();
    void closeNow();
    void giveUpAfterException(const char* where);
    void releasePlace();
    void finish();

    HttpConnectionLoop* m_loop;
    QTcpSocket* m_socket = nullptr;
    std::unique_ptr<HttpRequest> m_request;
    // The rest of an answer that comes from a device.
    std::unique_ptr<QIODevice> m_body;
    State m_state = State::Idle;
    qint64 m_deadline = 0;
    bool m_tls = false;
    bool m_lowDelay = false;
    // The peer went away while the request handler ran.
    bool m_peerGone = false;
    bool m_placeReleased = false;
};

} // namespace quillon
