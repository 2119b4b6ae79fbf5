// Request bytes through the request mapper and its controllers (commands and
// the four demonstration pages) to the answer, with the shipped limits and
// templates. An answer must be a response, and a request must not cost much
// more memory or time than its size warrants.
#include "answersink.h"
#include "feedrequest.h"
#include "heapcheck.h"
#include "quietlog.h"

#include "globals.h"
#include "httpresponse.h"
#include "httpsessionstore.h"
#include "requestmapper.h"
#include "templatecache.h"

#include <QDateTime>
#include <QSettings>
#include <QTemporaryDir>

#include <cstdint>

namespace {
RequestMapper* setUpMapper()
{
    static QTemporaryDir dir;
    static QSettings templates(dir.filePath("demo.ini"), QSettings::IniFormat);
    templates.setValue("templates/path", QStringLiteral(TORVANE_SOURCE_DIR "/etc/templates"));
    templates.setValue("templates/encoding", "UTF-8");
    templates.beginGroup("templates");
    sharedTemplateCache = new quillon::TemplateCache(&templates);
    static QSettings sessions(dir.filePath("demo.ini"), QSettings::IniFormat);
    sessions.beginGroup("sessions");
    sharedSessionStore = new quillon::HttpSessionStore(&sessions);
    return new RequestMapper(nullptr, nullptr);
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    silenceQtLogOnce();
    static RequestMapper* mapper = setUpMapper();
    const QByteArray bytes(reinterpret_cast<const char*>(data), int(size));

    const size_t heapBefore = heapInUse();
    {
        quillon::HttpRequest request(16000, 1000000);
        feedRequest(request, bytes, 8192);
        if (request.status() != quillon::HttpRequest::Complete)
            return 0;
        AnswerSink sink;
        {
            quillon::HttpResponse response(&sink);
            mapper->service(request, response);
            if (!response.lastPartSent())
                response.write(QByteArray(), true);
        }
        checkHeldBytes(heapBefore, size + size_t(sink.answer.size()));
        if (!sink.answer.startsWith("HTTP/1.1 "))
            __builtin_trap();
    }
    // Sessions would otherwise pile up: no event loop runs their expiry.
    sharedSessionStore->expireSessions(QDateTime::currentMSecsSinceEpoch() + 365LL * 24 * 3600 * 1000);
    return 0;
}
