#include "logfile.h"

#include "locking.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

#include <cstdio>
#include <cstring>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {
const QString kFileName = QStringLiteral("TorvaneAPP.log");
// One message longer than this is cut: a record never takes a file of its own.
constexpr int kMaxMessageChars = 64 * 1024;

const char* levelName(QtMsgType type)
{
    switch (type) {
    case QtDebugMsg:
        return "debug";
    case QtInfoMsg:
        return "info";
    case QtWarningMsg:
        return "warning";
    case QtCriticalMsg:
        return "critical";
    case QtFatalMsg:
        return "fatal";
    }
    return "?";
}

LogFile* installedFile = nullptr;
QtMessageHandler previousHandler = nullptr;

void handleMessage(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    if (previousHandler)
        previousHandler(type, context, message);
    if (installedFile)
        installedFile->write(type, message);
}
} // namespace

LogFile::LogFile(const QString& folder, qint64 maxBytes, int keptFiles)
    : m_folder(folder)
    , m_path(folder + QLatin1Char('/') + kFileName)
    , m_maxBytes(maxBytes)
    , m_keptFiles(keptFiles)
{
}

LogFile::~LogFile()
{
    if (installedFile == this)
        install(nullptr);
}

QString LogFile::defaultFolder(const QProcessEnvironment& environment)
{
#ifdef Q_OS_WIN
    QString base = QDir::fromNativeSeparators(environment.value(QStringLiteral("LOCALAPPDATA")));
    if (!QDir::isAbsolutePath(base))
        base = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    return base + QStringLiteral("/TorvaneAPP");
#else
    // The XDG rule: a relative value is ignored.
    QString base = environment.value(QStringLiteral("XDG_STATE_HOME"));
    if (!QDir::isAbsolutePath(base)) {
        const QString home = environment.value(QStringLiteral("HOME"), QDir::homePath());
        base = home + QStringLiteral("/.local/state");
    }
    return base + QStringLiteral("/TorvaneAPP");
#endif
}

bool LogFile::open(QString* error)
{
    quillon::MutexLocker lock(&m_mutex);
    if (!QDir().mkpath(m_folder)) {
        *error = QStringLiteral("cannot make the folder %1").arg(QDir::toNativeSeparators(m_folder));
    } else {
        QFile::setPermissions(m_folder, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
        if (openFile(error) && (m_file.size() < m_maxBytes || rotate(error)))
            return true;
    }
    fail(*error);
    return false;
}

bool LogFile::openFile(QString* error)
{
    m_file.close();
#ifdef Q_OS_UNIX
    // Created for the account alone; a link planted in its place is not followed.
    const int fd = ::open(QFile::encodeName(m_path).constData(),
                          O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, S_IRUSR | S_IWUSR);
    if (fd < 0 || ::fchmod(fd, S_IRUSR | S_IWUSR) != 0) {
        *error = QStringLiteral("cannot write %1: %2").arg(m_path, QString::fromLocal8Bit(strerror(errno)));
        if (fd >= 0)
            ::close(fd);
        return false;
    }
    if (!m_file.open(fd, QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered,
                     QFileDevice::AutoCloseHandle)) {
        *error = QStringLiteral("cannot write %1: %2").arg(m_path, m_file.errorString());
        ::close(fd);
        return false;
    }
#else
    m_file.setFileName(m_path);
    if (!m_file.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered)) {
        *error = QStringLiteral("cannot write %1: %2").arg(QDir::toNativeSeparators(m_path), m_file.errorString());
        return false;
    }
#endif
    return true;
}

QString LogFile::rotatedPath(int index) const
{
    return m_path + QLatin1Char('.') + QString::number(index);
}

bool LogFile::rotate(QString* error)
{
    m_file.close();
    QFile::remove(rotatedPath(m_keptFiles));
    for (int i = m_keptFiles - 1; i >= 1; --i)
        QFile::rename(rotatedPath(i), rotatedPath(i + 1));
    // Where the file cannot be renamed, it starts again empty: the bound holds.
    if (m_keptFiles < 1 || !QFile::rename(m_path, rotatedPath(1)))
        QFile::resize(m_path, 0);
    return openFile(error);
}

void LogFile::fail(const QString& reason)
{
    m_failed = true;
    m_file.close();
    std::fprintf(stderr, "Log file: %s; messages go to standard error only\n", qPrintable(reason));
}

void LogFile::write(QtMsgType type, const QString& message)
{
    // A continuation line is indented, so that no message can pass itself
    // off as a record of its own.
    QString text = message.left(kMaxMessageChars);
    if (message.size() > kMaxMessageChars)
        text += QStringLiteral(" [cut]");
    text.replace(QLatin1Char('\r'), QLatin1Char(' '));
    text.replace(QLatin1Char('\n'), QStringLiteral("\n    "));
    const QByteArray body = QByteArray(levelName(type)) + ' ' + text.toUtf8() + '\n';

    quillon::MutexLocker lock(&m_mutex);
    if (m_failed || !m_file.isOpen())
        return;
    // Taken under the lock, so that the records of the file follow each
    // other in time, and the C library's time zone state is read by one
    // thread at a time. Local time with its offset from UTC in digits:
    // Windows names its time zones in words.
    const QDateTime now = QDateTime::currentDateTime();
    const int offset = now.offsetFromUtc() / 60;
    const QString stamp = now.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz "))
        + QStringLiteral("%1%2:%3 ")
              .arg(offset < 0 ? QLatin1Char('-') : QLatin1Char('+'))
              .arg(qAbs(offset) / 60, 2, 10, QLatin1Char('0'))
              .arg(qAbs(offset) % 60, 2, 10, QLatin1Char('0'));
    const QByteArray record = stamp.toUtf8() + body;
    QString error;
    if (m_file.size() > 0 && record.size() > m_maxBytes - m_file.size() && !rotate(&error)) {
        fail(error);
        return;
    }
    if (m_file.write(record) != record.size())
        fail(QStringLiteral("cannot write %1: %2").arg(QDir::toNativeSeparators(m_path), m_file.errorString()));
}

void LogFile::install(LogFile* file)
{
    if (file && !installedFile)
        previousHandler = qInstallMessageHandler(handleMessage);
    else if (!file && installedFile)
        qInstallMessageHandler(previousHandler);
    installedFile = file;
}
