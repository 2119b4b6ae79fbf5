#include "popupwindow.h"

#include "logging.h"
#include "shellpolicy.h"
#include "webpage.h"
#include "webview.h"

#include <QGuiApplication>
#include <QPointer>
#include <QProgressBar>
#include <QScreen>
#include <QVBoxLayout>
#include <QWebEnginePage>
#include <QWebEngineScript>
#include <QWebEngineView>
#include <QtDebug>

PopupWindow::PopupWindow(const ShellPolicy* policy, WebView* opener)
    : QWidget()
    , m_policy(policy)
    , popupView(new QWebEngineView(this))
{
    // A plain page of the default profile: none of the main window's scripts
    // or bridge, and no permissions.
    popupView->setPage(new WebPage(policy, WebPage::PopupPage, opener, popupView));
    auto* layout = new QVBoxLayout;
    layout->setContentsMargins(0, 0, 0, 0);
    setLayout(layout);
    setWindowFlags(Qt::WindowStaysOnTopHint);
    layout->addWidget(popupView);
    popupView->setFocus();

    QWebEnginePage* page = popupView->page();
    connect(page, &QWebEnginePage::geometryChangeRequested, this, &PopupWindow::adjustGeometry);
    connect(page, &QWebEnginePage::windowCloseRequested, this, &QWidget::close);
    connect(page, &QWebEnginePage::loadFinished, this, &PopupWindow::finishLoading);

    loadIndicator = new QProgressBar;
    loadIndicator->setMaximum(0);
    loadIndicator->setMinimum(0);
    loadIndicator->show();
    layout->addWidget(loadIndicator);
}

// The page asks for the geometry of its window including the frame; the
// window stays within the screen's available area.
void PopupWindow::adjustGeometry(const QRect& newGeometry)
{
    const QRect frame = frameGeometry();
    const QRect client = geometry();
    const int x1 = frame.left() - client.left();
    const int y1 = frame.top() - client.top();
    const int x2 = frame.right() - client.right();
    const int y2 = frame.bottom() - client.bottom();
    QRect wanted = newGeometry.adjusted(x1, y1, x2, y2);
    QScreen* screen = QGuiApplication::screenAt(newGeometry.center());
    if (!screen)
        screen = QGuiApplication::primaryScreen();
    if (screen) {
        const QRect available = screen->availableGeometry();
        wanted.setSize(wanted.size().boundedTo(available.size()).expandedTo(QSize(50, 50)));
        wanted.moveLeft(qBound(available.left(), wanted.left(), available.right() - wanted.width() + 1));
        wanted.moveTop(qBound(available.top(), wanted.top(), available.bottom() - wanted.height() + 1));
    }
    setGeometry(wanted);
}

void PopupWindow::finishLoading(bool ok)
{
    qCDebug(lcClient, "Carregamento completo...");
    loadIndicator->hide();
    if (m_decided)
        return;
    // The document's own origin: a window opened empty by a frame of
    // another site has that site's origin.
    const QPointer<PopupWindow> self(this);
    popupView->page()->runJavaScript(QStringLiteral("self.origin"), QWebEngineScript::ApplicationWorld,
                                     [self, ok](const QVariant& origin) {
                                         if (self)
                                             self->decide(ok, origin.toString());
                                     });
}

void PopupWindow::decide(bool ok, const QString& origin)
{
    if (m_decided)
        return;
    m_decided = true;
    if (ok && m_policy->isApplicationOrigin(origin)) {
        show();
        return;
    }
    qCDebug(lcClient, "PopupWindow: a window of %s refused", qPrintable(origin.isEmpty() ? QStringLiteral("(none)") : origin));
    close();
}
