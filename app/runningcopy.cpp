#include "runningcopy.h"

#include "owncopyfilters.h"

#include <QProcess>
#include <QStringList>

#ifndef Q_OS_WIN
#include "deployment.h"

#include <QCoreApplication>
#include <QFileInfo>
#endif

namespace {
constexpr int kTaskListTimeout = 30000;

QString taskListProgram()
{
#ifdef Q_OS_WIN
    return QStringLiteral("tasklist");
#else
    // Our own stand-in for the Windows program: beside the client in a build
    // tree, in the client's own program folder when installed.
    for (const QString& candidate : {QCoreApplication::applicationDirPath() + QStringLiteral("/tasklist"),
                                     QStringLiteral(TORVANE_LIBEXEC_DIR "/tasklist")}) {
        if (QFileInfo::exists(candidate))
            return candidate;
    }
    return QStringLiteral("tasklist");
#endif
}
} // namespace

bool anotherCopyRuns(const QString& image)
{
    QProcess taskList;
    // Only this account's copies in this session count.
    taskList.start(taskListProgram(),
                   QStringList{QStringLiteral("/NH"), QStringLiteral("/FO"), QStringLiteral("CSV"), QStringLiteral("/FI"),
                               QStringLiteral("IMAGENAME eq %1").arg(image)}
                       + ownCopyFilters(),
                   QIODevice::ReadWrite);
    taskList.waitForFinished(kTaskListTimeout);
    const QString output = QString::fromUtf8(taskList.readAllStandardOutput());
    // The running client itself is one of the listed processes.
    return output.split(image).size() > 2;
}
