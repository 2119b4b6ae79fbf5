#include "webview.h"

// The view becomes the main window's child when it is set as its central
// widget; it has no parent of its own until then.
WebView::WebView(QWidget* parent)
    : QWebEngineView()
{
    Q_UNUSED(parent);
}
