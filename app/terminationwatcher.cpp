#include "terminationwatcher.h"

#include "logging.h"

#include <QSocketNotifier>
#include <QtDebug>

#ifdef Q_OS_UNIX
#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

namespace {
// The signal handler may only write to a descriptor; the notifier reads it
// on the main thread.
int signalPipe[2] = {-1, -1};

void writeSignal(int signal)
{
    const char byte = char(signal);
    [[maybe_unused]] const ssize_t written = ::write(signalPipe[0], &byte, 1);
}
} // namespace

TerminationWatcher::TerminationWatcher(QObject* parent)
    : QObject(parent)
{
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, signalPipe) != 0) {
        qCCritical(lcClient, "TerminationWatcher: cannot create the signal socket pair");
        return;
    }
    m_notifier = new QSocketNotifier(signalPipe[1], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &TerminationWatcher::handleSignal);
    struct sigaction action = {};
    action.sa_handler = writeSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
}

TerminationWatcher::~TerminationWatcher()
{
    if (!m_notifier)
        return;
    signal(SIGTERM, SIG_DFL);
    signal(SIGINT, SIG_DFL);
    delete m_notifier;
    ::close(signalPipe[0]);
    ::close(signalPipe[1]);
    signalPipe[0] = signalPipe[1] = -1;
}

void TerminationWatcher::handleSignal()
{
    char byte = 0;
    if (::read(signalPipe[1], &byte, 1) == 1)
        qCDebug(lcClient, "TerminationWatcher: signal %d, quitting", int(byte));
    emit terminationRequested();
}

#else

TerminationWatcher::TerminationWatcher(QObject* parent)
    : QObject(parent)
{
}

TerminationWatcher::~TerminationWatcher() = default;

void TerminationWatcher::handleSignal() {}

#endif
