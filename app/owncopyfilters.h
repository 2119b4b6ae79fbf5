#pragma once

#include <QStringList>

// The task-list filters ("/FI" and its value, in pairs) that keep the
// running-copy check to this account's copies in this login session: on a
// machine several accounts share, each account runs a client of its own.
QStringList ownCopyFilters();
