#include "webview.h"

#include "logging.h"
#include "popupwindow.h"
#include "webpage.h"

#include <QMetaEnum>
#include <QtDebug>

// The view becomes the main window's child when it is set as its central
// widget; it has no parent of its own until then.
WebView::WebView(QWidget* parent)
    : QWebEngineView()
{
    Q_UNUSED(parent);
    setPage(new WebPage(this));
}

QWebEngineView* WebView::createWindow(QWebEnginePage::WebWindowType type)
{
    qCDebug(lcClient) << QMetaEnum::fromType<QWebEnginePage::WebWindowType>().valueToKey(type);
    auto* popup = new PopupWindow;
    popup->setAttribute(Qt::WA_DeleteOnClose);
    popup->show();
    return popup->view();
}
