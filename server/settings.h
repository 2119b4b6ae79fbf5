#pragma once

#include <QSettings>
#include <QString>
#include <QVariant>

namespace quillon {

// One configuration group is shared by the listener, the pool and every
// connection-handler thread. QSettings is not safe for concurrent use, so every
// read from a group that worker threads touch goes through this function,
// which serialises the reads.
QVariant settingValue(QSettings* settings, const QString& key, const QVariant& defaultValue = QVariant());

// The keys that `overrides` holds (in its current group) are read from it
// instead of `settings` from now on: an account's own file over the
// machine's. Both must outlive the reads; null ends it.
void setOverrides(QSettings* settings, QSettings* overrides);

// Resolves a relative file or directory name against the directory of the
// configuration file, when the settings come from a file.
QString resolveAgainstSettingsFile(QSettings* settings, const QString& path);

// A file that belongs to the user running the program (a TLS key): a
// relative name is looked up in the user's own configuration folder first
// (QStandardPaths::AppConfigLocation, ~/.config/<application> on Linux),
// then against the configuration file's directory.
QString resolveUserFile(QSettings* settings, const QString& path);

} // namespace quillon
