#include "notifier.h"

#include "logging.h"
#include "trayhost.h"

#include <QGuiApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QVariantMap>

namespace {
// The desktop entry and icon names the package installs.
const QString kDesktopEntry = QStringLiteral("com.torvane.TorvaneApp");
const QString kIconName = QStringLiteral("torvaneapp");
constexpr uchar kUrgencyNormal = 1;
constexpr uchar kUrgencyCritical = 2;
// The server's own default (-1) lets the desktop decide how long it stays.
constexpr int kServerDefaultTimeout = -1;
} // namespace

Notifier::Notifier(const TrayHost* host, QObject* parent)
    : QObject(parent)
    , m_host(host)
{
}

void Notifier::show(const QString& title, const QString& text, QSystemTrayIcon::MessageIcon icon)
{
    const bool warning = icon == QSystemTrayIcon::Warning || icon == QSystemTrayIcon::Critical;
    const bool onTray = m_trayIcon && m_trayIcon->isVisible() && m_host->isPresent();
    const char* where = onTray ? "tray" : "notification";
    if (warning)
        qCWarning(lcClient, "Message (%s): %s", where, qPrintable(text));
    else
        qCInfo(lcClient, "Message (%s): %s", where, qPrintable(text));
    if (onTray)
        m_trayIcon->showMessage(title, text, icon);
    else
        notifyDesktop(title, text, warning);
}

void Notifier::notifyDesktop(const QString& title, const QString& text, bool warning)
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        qCWarning(lcClient, "No tray and no session bus: the message above is only in the log");
        return;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("/org/freedesktop/Notifications"),
        QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("Notify"));
    const QVariantMap hints{
        {QStringLiteral("desktop-entry"), kDesktopEntry},
        {QStringLiteral("urgency"), QVariant::fromValue(warning ? kUrgencyCritical : kUrgencyNormal)},
    };
    // The body may hold markup for the notification server; a file name
    // that a page chose must show as text.
    call << QGuiApplication::applicationDisplayName() << uint(0) << kIconName << title << text.toHtmlEscaped()
         << QStringList() << hints << kServerDefaultTimeout;
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [](QDBusPendingCallWatcher* watcher) {
        watcher->deleteLater();
        if (watcher->isError())
            qCWarning(lcClient, "The desktop's notification service did not take the message above (%s): it is only "
                                "in the log",
                      qPrintable(watcher->error().message()));
    });
}
