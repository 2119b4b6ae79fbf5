// A socket that is connected to nothing and keeps what is written to it, so
// that a response can be produced in memory.
#pragma once

#include <QTcpSocket>

class AnswerSink : public QTcpSocket
{
public:
    AnswerSink()
    {
        setSocketState(QAbstractSocket::ConnectedState);
        setOpenMode(QIODevice::ReadWrite | QIODevice::Unbuffered);
    }
    QByteArray answer;
    qint64 bytesToWrite() const override { return 0; }
    bool waitForBytesWritten(int) override { return true; }

protected:
    qint64 writeData(const char* data, qint64 size) override
    {
        answer.append(data, int(size));
        return size;
    }
};
