#pragma once

#include <QString>

// Registers the "zolapp" URL scheme for the current user, so that a link with
// it starts the program at `executable`. Rewritten on every start.
void registerUrlScheme(const QString& executable);

#ifndef Q_OS_WIN
// The Exec value of a desktop entry that runs `executable` with a link:
// the path quoted and escaped the way desktop entries require.
QString desktopEntryExec(const QString& executable);
#endif
