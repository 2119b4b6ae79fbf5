#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>
#include <QUrl>
#include <QWebEnginePage>

class QWebEngineView;
class ShellPolicy;

// Brings the hosted page back by itself. When a load fails and leaves the
// window without the page (host unreachable, refused, reset, TLS failure,
// time-out) or the page's render process ends abnormally, the view shows a small notice and the start URL is tried
// again after a pause that grows (1, 2, 4 ... 30 s) while failures follow
// each other. Nothing else of the window changes.
class PageRecovery : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(PageRecovery)

public:
    PageRecovery(QWebEngineView* view, const QUrl& startUrl, const ShellPolicy* policy, QObject* parent = nullptr);

    bool isRecovering() const { return m_recovering; }
    int pauseSeconds() const { return m_pause; }

private:
    void handleLoadFinished(bool ok);
    void handleFailedNavigation(const QString& origin);
    void handleRenderProcessTerminated(QWebEnginePage::RenderProcessTerminationStatus status, int exitCode);
    void scheduleRetry(const char* reason);
    void countDown();
    void showNotice();

    QWebEngineView* m_view;
    QUrl m_startUrl;
    const ShellPolicy* m_policy;
    // A retry's load has started and not finished yet.
    bool m_retrying = false;
    QTimer m_retryWatchdog;
    QTimer m_countdown;
    QElapsedTimer m_lastFailure;
    int m_pause = 0;
    int m_remaining = 0;
    bool m_recovering = false;
};
