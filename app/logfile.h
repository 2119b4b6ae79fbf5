#pragma once

#include <QFile>
#include <QMutex>
#include <QProcessEnvironment>
#include <QString>
#include <QtGlobal>

// The account's own log of the client, for support: every message of Qt's
// logger, with its time stamp and level, in a file only the account may
// read. Bounded: past `maxBytes` the file is renamed to .1 (the older ones
// to .2 and so on) and at most `keptFiles` old files stay.
class LogFile
{
    Q_DISABLE_COPY(LogFile)

public:
    static constexpr qint64 kMaxBytes = 1024 * 1024;
    static constexpr int kKeptFiles = 3;

    explicit LogFile(const QString& folder, qint64 maxBytes = kMaxBytes, int keptFiles = kKeptFiles);
    ~LogFile();

    // $XDG_STATE_HOME/TorvaneAPP (by default ~/.local/state/TorvaneAPP);
    // %LOCALAPPDATA%\TorvaneAPP on Windows.
    static QString defaultFolder(const QProcessEnvironment& environment = QProcessEnvironment::systemEnvironment());

    QString filePath() const { return m_path; }
    // Creates the folder and opens the file for appending; false with the
    // reason, also said on standard error, when that cannot be done.
    bool open(QString* error);
    // Appends one record; callable from any thread. A write that fails is
    // said once on standard error, and the file is left alone from then on.
    void write(QtMsgType type, const QString& message);

    // Sends every message to `file` as well as where it went before
    // (standard error). One instance at a time; null uninstalls.
    static void install(LogFile* file);

private:
    QString rotatedPath(int index) const;
    bool openFile(QString* error);
    bool rotate(QString* error);
    void fail(const QString& reason);

    QString m_folder;
    QString m_path;
    qint64 m_maxBytes;
    int m_keptFiles;
    QMutex m_mutex;
    QFile m_file;
    bool m_failed = false;
};
