#pragma once

#include <QLoggingCategory>

// One logging category per layer, so that an administrator can turn one on
// or off with QT_LOGGING_RULES (for example "torvane.server.debug=false"),
// and so that a line whose category is off is never formatted.
Q_DECLARE_LOGGING_CATEGORY(lcServer)      // torvane.server: listener, handlers, requests, responses
Q_DECLARE_LOGGING_CATEGORY(lcSessions)    // torvane.sessions
Q_DECLARE_LOGGING_CATEGORY(lcStaticFiles) // torvane.staticfiles
Q_DECLARE_LOGGING_CATEGORY(lcTemplates)   // torvane.templates
Q_DECLARE_LOGGING_CATEGORY(lcClient)      // torvane.client: the shell, the command path, the demonstration pages
