#include "webview.h"

#include "logging.h"
#include "popupwindow.h"
#include "webpage.h"

#include <QChildEvent>
#include <QContextMenuEvent>
#include <QMenu>
#include <QMetaEnum>
#include <QtDebug>

namespace {
// As long as a browser lets a click or key press start what needs one.
constexpr qint64 kGestureLifetimeMs = 5000;
} // namespace

// The view becomes the main window's child when it is set as its central
// widget; it has no parent of its own until then.
WebView::WebView(const ShellPolicy* policy, QWidget* parent)
    : QWebEngineView()
    , m_policy(policy)
{
    Q_UNUSED(parent);
    setPage(new WebPage(policy, WebPage::MainWindowPage, this, this));
}

bool WebView::takeUserGesture()
{
    if (m_gestureTaken || !m_lastGesture.isValid() || m_lastGesture.elapsed() > kGestureLifetimeMs)
        return false;
    m_gestureTaken = true;
    return true;
}

// The widget that gets the input is a child the engine makes for each page.
bool WebView::event(QEvent* event)
{
    if (event->type() == QEvent::ChildAdded)
        static_cast<QChildEvent*>(event)->child()->installEventFilter(this);
    return QWebEngineView::event(event);
}

bool WebView::eventFilter(QObject* watched, QEvent* event)
{
    switch (event->type()) {
    case QEvent::MouseButtonPress:
    case QEvent::KeyPress:
    case QEvent::TouchBegin:
        // Only the user (or the client itself) makes these: a page cannot.
        m_lastGesture.start();
        m_gestureTaken = false;
        break;
    default:
        break;
    }
    return QWebEngineView::eventFilter(watched, event);
}

void WebView::contextMenuEvent(QContextMenuEvent* event)
{
    if (!m_shellMenu) {
        QWebEngineView::contextMenuEvent(event);
        return;
    }
    // The page's menu deletes itself when closed; so does ours.
    QMenu* menu = page()->createStandardContextMenu();
    if (!menu) {
        menu = new QMenu(this);
        menu->setAttribute(Qt::WA_DeleteOnClose);
    }
    if (!menu->isEmpty())
        menu->addSeparator();
    menu->addActions(m_shellMenu->actions());
    menu->popup(event->globalPos());
}

QWebEngineView* WebView::createWindow(QWebEnginePage::WebWindowType type)
{
    qCDebug(lcClient) << QMetaEnum::fromType<QWebEnginePage::WebWindowType>().valueToKey(type);
    auto* popup = new PopupWindow(m_policy, this);
    popup->setAttribute(Qt::WA_DeleteOnClose);
    return popup->view();
}
