// Helpers shared by the client suites that drive real pages in real views.
#pragma once

#include "httplistener.h"
#include "httprequesthandler.h"
#include "logotorvane.h"
#include "mainwindow.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QMenu>
#include <QPointer>
#include <QSettings>
#include <QStringList>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>
#include <QWebEnginePage>

#include <memory>

namespace clienttest {

// Pages for a view: an HTTP listener on a free loopback port, on this thread.
class PageServer
{
public:
    bool listen(quillon::HttpRequestHandler* handler)
    {
        m_settings.reset(new QSettings(m_dir.filePath("pages.ini"), QSettings::IniFormat));
        m_settings->setValue("listener/host", "127.0.0.1");
        m_settings->beginGroup("listener");
        m_listener.reset(new quillon::HttpListener(m_settings.get(), handler));
        return m_listener->isListening();
    }
    void close()
    {
        m_listener.reset();
        m_settings.reset();
    }
    QUrl url(const QString& path) const
    {
        return QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(m_listener->serverPort()).arg(path));
    }

private:
    QTemporaryDir m_dir;
    std::unique_ptr<QSettings> m_settings;
    std::unique_ptr<quillon::HttpListener> m_listener;
};

// Every message of Qt's logger while it lives, debug lines too (which it
// does not pass on).
class LogRecorder
{
public:
    LogRecorder() { previous() = qInstallMessageHandler(record); }
    ~LogRecorder() { qInstallMessageHandler(previous()); }
    static QStringList& lines()
    {
        static QStringList recorded;
        return recorded;
    }

private:
    static QtMessageHandler& previous()
    {
        static QtMessageHandler handler = nullptr;
        return handler;
    }
    static void record(QtMsgType type, const QMessageLogContext& context, const QString& message)
    {
        lines().append(message);
        if (type != QtDebugMsg && previous())
            previous()(type, context, message);
    }
};

// The result of a script in the page, waiting at most 10 s for it.
inline QVariant evaluate(QWebEnginePage* page, const QString& script)
{
    QVariant result;
    bool done = false;
    page->runJavaScript(script, [&](const QVariant& value) {
        result = value;
        done = true;
    });
    QElapsedTimer timer;
    timer.start();
    while (!done && timer.elapsed() < 10000)
        QTest::qWait(10);
    // A script that never answers fails the test instead of passing as null.
    if (!done)
        QTest::qFail(qPrintable(QStringLiteral("no answer from the page to: ") + script), __FILE__, __LINE__);
    return result;
}

// Closes the window (it deletes its tray icon and actions), waits until it is
// gone, then deletes what it leaves behind: the dial button and the tray menu.
inline bool closeMainWindow(QPointer<MainWindow>& window)
{
    QPointer<logoTorvane> dial = window ? window->dialButton() : nullptr;
    QPointer<QMenu> menu = window ? window->trayMenu() : nullptr;
    if (window)
        window->close();
    QElapsedTimer timer;
    timer.start();
    while (window && timer.elapsed() < 10000)
        QTest::qWait(10);
    delete dial;
    delete menu;
    return window.isNull();
}

// Runs a client suite. Every start registers the URL scheme: the XDG
// directories point at a temporary place so that the user's files stay out.
template <typename Test>
int run(int argc, char* argv[])
{
    QTemporaryDir xdg;
    qputenv("XDG_DATA_HOME", xdg.filePath("data").toLocal8Bit());
    qputenv("XDG_CONFIG_HOME", xdg.filePath("config").toLocal8Bit());
    qputenv("XDG_STATE_HOME", xdg.filePath("state").toLocal8Bit());
    // No session bus: no tray host, no notification service, and nothing
    // started on the test's behalf (libdbus would launch a bus of its own).
    qputenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=" + xdg.filePath("no-bus").toLocal8Bit());
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    QApplication app(argc, argv);
    Test test;
    return QTest::qExec(&test, argc, argv);
}

} // namespace clienttest
