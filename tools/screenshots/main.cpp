// Takes the README's screenshots: the client window showing the hosted
// application, and the floating dial button that replaces it.
#include "logotorvane.h"
#include "mainwindow.h"
#include "webview.h"

#include <QApplication>
#include <QEventLoop>
#include <QPixmap>
#include <QScreen>
#include <QTimer>

namespace {
void wait(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}
} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    QApplication app(argc, argv);
    if (argc < 3) {
        fprintf(stderr, "usage: torvane-screenshots URL OUTPUT-DIR\n");
        return 2;
    }
    const QString out = QString::fromLocal8Bit(argv[2]);
    auto* window = new MainWindow(QUrl(QString::fromLocal8Bit(argv[1])));
    QEventLoop loaded;
    QObject::connect(window->view(), &QWebEngineView::loadFinished, &loaded, &QEventLoop::quit);
    window->show();
    QTimer::singleShot(30000, &loaded, &QEventLoop::quit);
    loaded.exec();
    wait(1500);

    QScreen* screen = window->screen();
    const QRect frame = window->frameGeometry();
    screen->grabWindow(0, frame.x(), frame.y(), frame.width(), frame.height()).save(out + "/client-window.png");

    QMetaObject::invokeMethod(window, "hideApp");
    window->dialButton()->show();
    wait(800);
    // The dial button is translucent: render it with its transparency rather
    // than from a screen without a compositor.
    window->dialButton()->grab(QRect(0, 0, 61, 61)).save(out + "/dial-button.png");

    return 0;
}
