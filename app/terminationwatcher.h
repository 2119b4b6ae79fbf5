#pragma once

#include <QObject>

class QSocketNotifier;

// Turns SIGTERM and SIGINT into a signal on the main thread, so that the
// program can end the way its own quit does (servers stopped before what they
// call) instead of dying with requests in flight. Nothing is emitted where the
// platform has no such signals.
class TerminationWatcher : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(TerminationWatcher)

public:
    explicit TerminationWatcher(QObject* parent = nullptr);
    ~TerminationWatcher() override;

signals:
    void terminationRequested();

private:
    void handleSignal();

    QSocketNotifier* m_notifier = nullptr;
};
