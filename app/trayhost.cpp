#include "trayhost.h"

#include "logging.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>
#include <QDBusVariant>
#include <QGuiApplication>
#include <QScreen>
#include <QSystemTrayIcon>
#include <qpa/qplatformnativeinterface.h>

namespace {
const QString kWatcherService = QStringLiteral("org.kde.StatusNotifierWatcher");
const QString kWatcherPath = QStringLiteral("/StatusNotifierWatcher");
// At start-up the answer is waited for; a bus that does not answer in time
// counts as no host, and a later registration still shows the icon.
constexpr int kFirstCheckTimeoutMs = 2000;

QDBusMessage hostQuery()
{
    QDBusMessage message = QDBusMessage::createMethodCall(kWatcherService, kWatcherPath,
                                                          QStringLiteral("org.freedesktop.DBus.Properties"),
                                                          QStringLiteral("Get"));
    message << kWatcherService << QStringLiteral("IsStatusNotifierHostRegistered");
    return message;
}

bool hostRegistered(const QDBusMessage& reply)
{
    return reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty()
        && reply.arguments().first().value<QDBusVariant>().variant().toBool();
}

bool isXcb()
{
    return QGuiApplication::platformName() == QLatin1String("xcb");
}
} // namespace

TrayHost::TrayHost(QObject* parent)
    : QObject(parent)
{
#if !defined(Q_OS_UNIX) || defined(Q_OS_DARWIN)
    // Windows' notification area (and the macOS menu bar): Qt asks each time.
    m_present = QSystemTrayIcon::isSystemTrayAvailable();
    return;
#endif
    QDBusConnection bus = QDBusConnection::sessionBus();
    bool statusNotifierHost = false;
    if (bus.isConnected()) {
        auto* watcher = new QDBusServiceWatcher(kWatcherService, bus, QDBusServiceWatcher::WatchForOwnerChange, this);
        connect(watcher, &QDBusServiceWatcher::serviceOwnerChanged, this, &TrayHost::check);
        // From whichever connection owns the watcher's name now or later.
        for (const char* name : {"StatusNotifierHostRegistered", "StatusNotifierHostUnregistered"})
            bus.connect(QString(), kWatcherPath, kWatcherService, QLatin1String(name), this, SLOT(check()));
        if (bus.interface()->isServiceRegistered(kWatcherService))
            statusNotifierHost = hostRegistered(bus.call(hostQuery(), QDBus::Block, kFirstCheckTimeoutMs));
    }
    if (isXcb())
        connect(QGuiApplication::platformNativeInterface(), SIGNAL(systemTrayWindowChanged(QScreen*)), this,
                SLOT(check()));
    m_present = statusNotifierHost || xembedTrayPresent();
    qCInfo(lcClient, "Tray: %s", m_present ? "the desktop shows tray icons"
                                           : "this desktop shows no tray icons (yet); the dial button's and the "
                                             "view's right-click menus offer the tray menu's entries");
}

bool TrayHost::xembedTrayPresent() const
{
    QScreen* screen = QGuiApplication::primaryScreen();
    return isXcb() && screen
        && QGuiApplication::platformNativeInterface()->nativeResourceForScreen(QByteArrayLiteral("traywindow"), screen);
}

void TrayHost::check()
{
    if (m_checking) {
        m_checkAgain = true;
        return;
    }
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        setPresent(false);
        return;
    }
    m_checking = true;
    auto* call = new QDBusPendingCallWatcher(bus.asyncCall(hostQuery()), this);
    connect(call, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* call) {
        call->deleteLater();
        m_checking = false;
        setPresent(hostRegistered(call->reply()));
        if (m_checkAgain) {
            m_checkAgain = false;
            check();
        }
    });
}

void TrayHost::setPresent(bool statusNotifierHost)
{
    const bool present = statusNotifierHost || xembedTrayPresent();
    if (present == m_present)
        return;
    m_present = present;
    qCInfo(lcClient, "Tray: %s", present ? "a tray host appeared" : "the tray host went away");
    emit presenceChanged(present);
}
