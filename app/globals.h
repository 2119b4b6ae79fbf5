#pragma once

namespace quillon {
class HttpSessionStore;
class StaticFileController;
class TemplateCache;
} // namespace quillon

// Written once at start-up, before the HTTP listener exists; only read after.
extern quillon::TemplateCache* sharedTemplateCache;
extern quillon::HttpSessionStore* sharedSessionStore;
extern quillon::StaticFileController* sharedStaticFileController;
