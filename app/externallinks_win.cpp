// Windows: the program registered for the URL protocol, if any, gets the
// link through the shell.
#include "externallinks.h"

#include "logging.h"

#include <windows.h>
#include <shellapi.h>
#include <shlwapi.h>

void ExternalLinks::open(const QUrl& url)
{
    const QString link = url.toString(QUrl::FullyEncoded);
    const QString scheme = url.scheme();
    DWORD size = 0;
    const HRESULT found = AssocQueryStringW(ASSOCF_IS_PROTOCOL, ASSOCSTR_COMMAND,
                                            reinterpret_cast<LPCWSTR>(scheme.utf16()), L"open", nullptr, &size);
    if (found != S_FALSE && FAILED(found)) {
        qCDebug(lcClient, "ExternalLinks: no handler for %s links, %s not opened", qPrintable(scheme),
                qPrintable(link));
        return;
    }
    const auto result = reinterpret_cast<INT_PTR>(
        ShellExecuteW(nullptr, L"open", reinterpret_cast<LPCWSTR>(link.utf16()), nullptr, nullptr, SW_SHOWNORMAL));
    if (result <= 32)
        qCWarning(lcClient, "ExternalLinks: %s could not be opened (%d)", qPrintable(link), int(result));
}
