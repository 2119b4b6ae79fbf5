#include "globals.h"

quillon::TemplateCache* sharedTemplateCache = nullptr;
quillon::HttpSessionStore* sharedSessionStore = nullptr;
quillon::StaticFileController* sharedStaticFileController = nullptr;
