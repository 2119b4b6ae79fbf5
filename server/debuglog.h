#pragma once

#include <QLoggingCategory>
#include <QtDebug>

// qDebug() formats its text before the logging rules are asked. On the paths
// taken for every connection or request, the rules are asked first, so that
// filtered debug lines cost nothing.
#define QUILLON_DEBUG(...)                                                                  \
    do {                                                                                    \
        if (Q_UNLIKELY(QLoggingCategory::defaultCategory()->isDebugEnabled()))              \
            qDebug(__VA_ARGS__);                                                            \
    } while (false)
