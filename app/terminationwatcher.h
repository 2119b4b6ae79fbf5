#pragma once

#include <QObject>

class QSocketNotifier;

// Turns SIGTERM and SIGINT into an ordinary end of the event loop, so that the
// program shuts down in order (servers stopped before what they call) instead
// of dying with requests in flight. Does nothing where there are no signals.
class TerminationWatcher : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(TerminationWatcher)

public:
    explicit TerminationWatcher(QObject* parent = nullptr);
    ~TerminationWatcher() override;

private:
    void handleSignal();

    QSocketNotifier* m_notifier = nullptr;
};
