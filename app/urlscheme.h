#pragma once

#include <QString>

// Registers the "zolapp" URL scheme for the current user, so that a link with
// it starts the program at `executable`. Rewritten on every start.
void registerUrlScheme(const QString& executable);

// The Windows "open" command of the scheme for the program at `nativePath`:
// the path and the link each quoted, so that spaces in either stay inside
// their argument.
QString windowsOpenCommand(const QString& nativePath);

#ifndef Q_OS_WIN
// The Exec value of a desktop entry that runs `executable` with a link: the
// path quoted and escaped the way desktop entries require where it holds a
// reserved character, else as it is.
QString desktopEntryExec(const QString& executable);
#endif
