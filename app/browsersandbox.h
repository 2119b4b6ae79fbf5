#pragma once

#include <QByteArray>
#include <QByteArrayList>
#include <QString>
#include <QStringList>

// The browser engine's sandbox, which stays on for every user but root (for
// whom it cannot run). The engine takes switches from the program's
// arguments and from QTWEBENGINE_CHROMIUM_FLAGS: the client passes on only
// the switches it allows, so that no argument, quoting or spelling turns the
// sandbox off.
namespace browsersandbox {

// The switches of a QTWEBENGINE_CHROMIUM_FLAGS value that the client lets
// through (graphics, fake media devices for tests, logging, language,
// scale), in order; the others are listed in `dropped`.
QByteArray allowedChromiumFlags(const QByteArray& flags, QByteArrayList* dropped);

// The program's arguments without those the engine would read as switches
// (anything that begins with '-'); a zolapp: link and other plain words stay,
// and so does Qt's "-platform NAME".
QStringList plainArguments(const QStringList& arguments, QStringList* dropped);

// Why the sandbox cannot start on this system (unprivileged user namespaces
// switched off), read from the kernel settings under `procRoot`; empty when
// nothing stands in its way.
QString unavailableReason(const QString& procRoot = QStringLiteral("/proc"));

} // namespace browsersandbox
