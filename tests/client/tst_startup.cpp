// Start-up of the real client binary, copied into temporary trees: where it
// looks for its configuration file and what it says.
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

class TestStartup : public QObject
{
    Q_OBJECT

private slots:
    void fileBesideTheExecutableWins();
    void fileFoundThroughParentEtcIsReportedCanonical();
    void noFileAnywhereGivesTwelveWarningsThenTheFatalMessage();

private:
    QString install(const QString& binDir);
    QString runUntil(const QString& program, const QString& marker, bool* finished, int* exitCode = nullptr);
    void writeIni(const QString& path);

    QTemporaryDir m_xdg;
};

QString TestStartup::install(const QString& binDir)
{
    QDir().mkpath(binDir);
    const QString program = binDir + "/torvaneapp";
    QFile::copy(QStringLiteral(TORVANEAPP_PATH), program);
    return program;
}

void TestStartup::writeIni(const QString& path)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("[listener]\nport=0\nhost=127.0.0.1\n");
}

// Runs the program until `marker` appears in its log or it ends; returns the log.
QString TestStartup::runUntil(const QString& program, const QString& marker, bool* finished, int* exitCode)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("QTWEBENGINE_DISABLE_SANDBOX", "1");
    environment.insert("QT_LOGGING_RULES", "*.debug=true;qt.*.debug=false");
    environment.insert("XDG_DATA_HOME", m_xdg.filePath("data"));
    environment.insert("XDG_CONFIG_HOME", m_xdg.filePath("config"));
    process.setProcessEnvironment(environment);
    process.start(program, QStringList());
    QString log;
    *finished = false;
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < 60000) {
        if (process.waitForFinished(100)) {
            *finished = true;
            break;
        }
        log += QString::fromLocal8Bit(process.readAll());
        if (!marker.isEmpty() && log.contains(marker))
            break;
    }
    log += QString::fromLocal8Bit(process.readAll());
    if (exitCode)
        *exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    if (process.state() != QProcess::NotRunning) {
        process.kill();
        process.waitForFinished(10000);
    }
    return log;
}

void TestStartup::fileBesideTheExecutableWins()
{
    QTemporaryDir dir;
    const QString root = QDir(dir.path()).canonicalPath();
    const QString program = install(root + "/app/bin");
    writeIni(root + "/app/bin/TorvaneAPP.ini");
    writeIni(root + "/app/bin/etc/TorvaneAPP.ini");
    writeIni(root + "/app/etc/TorvaneAPP.ini");
    bool finished;
    const QString log = runUntil(program, "Using config file", &finished);
    QVERIFY2(log.contains("Using config file " + root + "/app/bin/TorvaneAPP.ini"), qPrintable(log));
    QVERIFY(log.contains("\"" + root + "/app/bin\""));
    QVERIFY(!log.contains("not found"));
}

void TestStartup::fileFoundThroughParentEtcIsReportedCanonical()
{
    QTemporaryDir dir;
    const QString root = QDir(dir.path()).canonicalPath();
    const QString program = install(root + "/app/bin");
    writeIni(root + "/app/etc/TorvaneAPP.ini");
    bool finished;
    const QString log = runUntil(program, "Using config file", &finished);
    QVERIFY2(log.contains("Using config file " + root + "/app/etc/TorvaneAPP.ini\n"), qPrintable(log));
}

void TestStartup::noFileAnywhereGivesTwelveWarningsThenTheFatalMessage()
{
    if (QFile::exists("/etc/TorvaneAPP.ini") || QFile::exists("/etc/opt/TorvaneAPP.ini")
        || QFile::exists("/etc/torvaneapp/TorvaneAPP.ini"))
        QSKIP("this machine has a configuration file under /etc");
    QTemporaryDir dir;
    const QString d = QDir(dir.path()).canonicalPath() + "/a/b/c/d/e/bin";
    const QString program = install(d);
    bool finished;
    int exitCode = 0;
    const QString log = runUntil(program, QString(), &finished, &exitCode);
    QVERIFY(finished);
    QVERIFY(exitCode != 0);
    const QStringList expected = {
        d, d + "/etc", d + "/../etc", d + "/../../etc",
        d + "/../QTTorvaneAppDesktop-master/etc", d + "/../../QTTorvaneAppDesktop-master/etc",
        d + "/../../../QTTorvaneAppDesktop-master/etc", d + "/../../../../QTTorvaneAppDesktop-master/etc",
        d + "/../../../../../QTTorvaneAppDesktop-master/etc", "/etc/opt", "/etc", "/etc/torvaneapp",
    };
    QStringList warnings;
    for (const QString& line : log.split('\n')) {
        if (line.endsWith("/TorvaneAPP.ini not found"))
            warnings.append(line.left(line.size() - QString("/TorvaneAPP.ini not found").size()));
    }
    QCOMPARE(warnings, expected);
    const int lastWarning = log.lastIndexOf("not found");
    const int fatal = log.indexOf("Cannot find config file TorvaneAPP.ini");
    QVERIFY2(fatal > lastWarning, qPrintable(log));
    QVERIFY(!log.contains("Using config file"));
}

QTEST_GUILESS_MAIN(TestStartup)
#include "tst_startup.moc"
