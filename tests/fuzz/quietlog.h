// Fuzz targets keep Qt's logger quiet: millions of inputs would otherwise
// spend their time printing warnings.
#pragma once

#include <QtGlobal>

inline void silenceQtLogOnce()
{
    static const bool silenced = [] {
        qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});
        return true;
    }();
    Q_UNUSED(silenced);
}
