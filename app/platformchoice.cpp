#include "platformchoice.h"

namespace {
const QString kWaylandLoss = QStringLiteral("the compositor places the window, and it cannot stay above other windows");

bool isWaylandSession(const QProcessEnvironment& environment)
{
    const QString type = environment.value(QStringLiteral("XDG_SESSION_TYPE"));
    if (type == QLatin1String("wayland"))
        return true;
    // A compositor started from a console leaves the type "tty".
    return type != QLatin1String("x11") && !environment.value(QStringLiteral("WAYLAND_DISPLAY")).isEmpty();
}

// Qt reads "-platform NAME" and "--platform NAME".
QString platformArgument(const QStringList& arguments)
{
    for (int i = 1; i + 1 < arguments.size(); ++i) {
        if (arguments.at(i) == QLatin1String("-platform") || arguments.at(i) == QLatin1String("--platform"))
            return arguments.at(i + 1);
    }
    return QString();
}
} // namespace

PlatformChoice PlatformChoice::choose(const QStringList& arguments, const QProcessEnvironment& environment)
{
    PlatformChoice choice;
    if (!platformArgument(arguments).isEmpty()) {
        choice.m_reason = UserArgument;
        return choice;
    }
    if (!environment.value(QStringLiteral("QT_QPA_PLATFORM")).isEmpty()) {
        choice.m_reason = UserEnvironment;
        return choice;
    }
    if (!isWaylandSession(environment))
        return choice;
    choice.m_display = environment.value(QStringLiteral("DISPLAY"));
    if (choice.m_display.isEmpty()) {
        choice.m_reason = NativeWayland;
        choice.m_platformList = "wayland;xcb";
    } else {
        choice.m_reason = XWayland;
        choice.m_platformList = "xcb;wayland";
    }
    return choice;
}

QString PlatformChoice::describe(const QString& platformName) const
{
    switch (m_reason) {
    case UserArgument:
        return QStringLiteral("Platform: %1, as the -platform argument asks").arg(platformName);
    case UserEnvironment:
        return QStringLiteral("Platform: %1, as QT_QPA_PLATFORM asks").arg(platformName);
    case XWayland:
        if (platformName == QLatin1String("xcb"))
            return QStringLiteral("Platform: xcb through XWayland (DISPLAY=%1): in a Wayland session a native window "
                                  "cannot keep its place or stay above others (QT_QPA_PLATFORM=wayland runs natively)")
                .arg(m_display);
        return QStringLiteral("Platform: %1: XWayland (DISPLAY=%2) could not be reached, so %3")
            .arg(platformName, m_display, kWaylandLoss);
    case NativeWayland:
        return QStringLiteral("Platform: %1: this Wayland session has no XWayland (DISPLAY is not set), so %2")
            .arg(platformName, kWaylandLoss);
    case QtDefault:
        break;
    }
    return QStringLiteral("Platform: %1, Qt's default for this session").arg(platformName);
}
