#include "pagerecovery.h"

#include "logging.h"
#include "shellpolicy.h"

#include <QPointer>
#include <QWebEngineScript>
#include <QWebEngineView>
#include <QtDebug>

namespace {
constexpr int kFirstPauseSeconds = 1;
constexpr int kLongestPauseSeconds = 30;
// A failure this long after the previous one starts the pauses again.
constexpr qint64 kFailureMemoryMs = 60000;
// A retry whose load never ends counts as failed after this.
constexpr int kRetryLoadTimeoutMs = 60000;

const char kNoticeTitle[] = "Torvane APP - sem conexão";
} // namespace

PageRecovery::PageRecovery(QWebEngineView* view, const QUrl& startUrl, const ShellPolicy* policy, QObject* parent)
    : QObject(parent)
    , m_view(view)
    , m_startUrl(startUrl)
    , m_policy(policy)
{
    m_countdown.setInterval(1000);
    connect(&m_countdown, &QTimer::timeout, this, &PageRecovery::countDown);
    m_retryWatchdog.setSingleShot(true);
    m_retryWatchdog.setInterval(kRetryLoadTimeoutMs);
    connect(&m_retryWatchdog, &QTimer::timeout, this, [this] {
        m_retrying = false;
        scheduleRetry("the retry did not end");
    });
    connect(m_view, &QWebEngineView::loadFinished, this, &PageRecovery::handleLoadFinished);
    connect(m_view, &QWebEngineView::renderProcessTerminated, this, &PageRecovery::handleRenderProcessTerminated);
}

void PageRecovery::handleLoadFinished(bool ok)
{
    // A retry that failed, whatever the view shows now (the notice still,
    // when the load failed before it replaced it): the next one is set.
    if (m_retrying) {
        m_retrying = false;
        m_retryWatchdog.stop();
        if (!ok) {
            scheduleRetry("the page could not be loaded again");
            return;
        }
    }
    // The notice itself (set as HTML, so shown under a data: URL).
    if (m_view->url().scheme() == QLatin1String("data"))
        return;
    if (!ok) {
        // Many navigations end without replacing the page: a link handed to
        // the desktop, a download, window.stop(), one navigation replaced by
        // the next. Only a window left without the application (an error
        // page, or no document at all) is recovered; the page's own script
        // world is not asked, so the page cannot answer for itself.
        const QPointer<PageRecovery> self(this);
        m_view->page()->runJavaScript(QStringLiteral("self.origin"), QWebEngineScript::ApplicationWorld,
                                      [self](const QVariant& origin) {
                                          if (self)
                                              self->handleFailedNavigation(origin.toString());
                                      });
        return;
    }
    if (m_recovering) {
        m_recovering = false;
        m_countdown.stop();
        qCDebug(lcClient, "PageRecovery: the page is back (%s)", qPrintable(m_view->url().toString()));
    }
}

// The application's page is still there when the document's origin is one
// of the application's; an error page or another site's is not.
void PageRecovery::handleFailedNavigation(const QString& origin)
{
    if (m_policy->isApplicationOrigin(origin)) {
        qCDebug(lcClient, "PageRecovery: a navigation ended without replacing the page (%s)",
                qPrintable(m_view->url().toString()));
        return;
    }
    scheduleRetry("the page could not be loaded");
}

void PageRecovery::handleRenderProcessTerminated(QWebEnginePage::RenderProcessTerminationStatus status, int exitCode)
{
    if (status == QWebEnginePage::NormalTerminationStatus)
        return;
    qCDebug(lcClient, "PageRecovery: the page's render process ended (status %d, exit code %d)", int(status), exitCode);
    scheduleRetry("the page's render process ended");
}

void PageRecovery::scheduleRetry(const char* reason)
{
    const bool recent = m_lastFailure.isValid() && m_lastFailure.elapsed() < kFailureMemoryMs;
    m_pause = recent ? qMin(m_pause * 2, kLongestPauseSeconds) : kFirstPauseSeconds;
    m_lastFailure.start();
    m_recovering = true;
    m_remaining = m_pause;
    qCDebug(lcClient, "PageRecovery: %s, trying %s again in %d s", reason, qPrintable(m_startUrl.toString()), m_pause);
    showNotice();
    m_countdown.start();
}

void PageRecovery::countDown()
{
    if (--m_remaining > 0) {
        m_view->page()->runJavaScript(QStringLiteral("var n = document.getElementById('seconds'); if (n) n.textContent = '%1';")
                                          .arg(m_remaining));
        return;
    }
    m_countdown.stop();
    m_retrying = true;
    m_retryWatchdog.start();
    m_view->load(m_startUrl);
}

void PageRecovery::showNotice()
{
    m_view->setHtml(QStringLiteral("<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>%1</title><style>"
                                   "html,body{height:100%;margin:0}"
                                   "body{display:flex;align-items:center;justify-content:center;background:#1f2a38;"
                                   "color:#e8eef5;font:15px sans-serif;text-align:center;border-radius:8px}"
                                   "p{margin:24px}</style></head><body>"
                                   "<p>Sem conexão com o servidor. Tentando novamente em <span id=\"seconds\">%2</span> s…</p>"
                                   "</body></html>")
                        .arg(QString::fromUtf8(kNoticeTitle), QString::number(m_remaining)));
}
