#pragma once

#include <QString>
#include <QUrl>

// Where this account's client listens, for the account's own programs: a
// small JSON file that only the account may read, in its runtime folder
// ($XDG_RUNTIME_DIR/TorvaneAPP/listener.json; on Windows
// %LOCALAPPDATA%\TorvaneAPP\listener.json), kept while the client runs.
namespace listenerfile {

QString path();
// The account's own settings file (~/.config/TorvaneAPP/TorvaneAPP.ini on
// Linux), whose [listener] keys come before the machine's.
QString accountSettingsFile();
// {"pid", "url", "scheme", "host", "port"} of a listener that serves.
bool writeListening(const QUrl& url);
// {"pid", "port", "error"} of one that could not start.
bool writeFailure(int port, const QString& error);
// Removes the file when it is this process's.
void remove();
// The URL that a running copy of this account wrote, or an empty one.
QUrl runningListener();

} // namespace listenerfile
