#include "popupwindow.h"

#include "logging.h"
#include "webpage.h"

#include <QProgressBar>
#include <QVBoxLayout>
#include <QWebEnginePage>
#include <QWebEngineView>
#include <QtDebug>

PopupWindow::PopupWindow()
    : QWidget()
    , popupView(new QWebEngineView(this))
{
    // A plain page of the default profile: none of the main window's scripts,
    // bridge or permission handling.
    popupView->setPage(new WebPage(popupView));
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

// The page asks for the geometry of its window including the frame.
void PopupWindow::adjustGeometry(const QRect& newGeometry)
{
    const QRect frame = frameGeometry();
    const QRect client = geometry();
    const int x1 = frame.left() - client.left();
    const int y1 = frame.top() - client.top();
    const int x2 = frame.right() - client.right();
    const int y2 = frame.bottom() - client.bottom();
    setGeometry(newGeometry.adjusted(x1, y1, x2, y2));
}

void PopupWindow::finishLoading(bool)
{
    qCDebug(lcClient, "Carregamento completo...");
    loadIndicator->hide();
}
