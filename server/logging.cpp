#include "logging.h"

Q_LOGGING_CATEGORY(lcServer, "torvane.server")
Q_LOGGING_CATEGORY(lcSessions, "torvane.sessions")
Q_LOGGING_CATEGORY(lcStaticFiles, "torvane.staticfiles")
Q_LOGGING_CATEGORY(lcTemplates, "torvane.templates")
Q_LOGGING_CATEGORY(lcClient, "torvane.client")
