// The running-copy check and the URL scheme with the real client binary:
// copies in temporary trees, our tasklist beside them, and a loopback HTTPS
// server in the place of the activation host.
#include "httpconnectionhandlerpool.h"
#include "httplistener.h"
#include "httprequest.h"
#include "httprequesthandler.h"
#include "httpresponse.h"
#include "urlscheme.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMutex>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSettings>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

namespace {

class RecordingHandler : public quillon::HttpRequestHandler
{
public:
    void service(quillon::HttpRequest& request, quillon::HttpResponse& response) override
    {
        {
            QMutexLocker locker(&mutex);
            requests.append(request.method() + ' ' + request.rawPath());
            lastAt = QDateTime::currentMSecsSinceEpoch();
        }
        response.write("{\"status\":true}", true);
    }
    QStringList taken()
    {
        QMutexLocker locker(&mutex);
        return requests;
    }
    QMutex mutex;
    QStringList requests;
    qint64 lastAt = 0;
};

} // namespace

class TestSingleInstance : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void cleanup();

    void tasklistOutput_data();
    void tasklistOutput();
    void secondStartNotifiesTheActivationHostAndEnds_data();
    void secondStartNotifiesTheActivationHostAndEnds();
    void silentActivationHostDoesNotKeepTheSecondCopyAlive();
    void otherLetterCaseIsNotDetected();
    void withoutTasklistTheClientStartsNormally();
    void urlSchemeIsWrittenOnEveryStart();
    void windowsCommandQuotesPathAndLink_data();
    void windowsCommandQuotesPathAndLink();
    void execLineEscapesReservedCharacters_data();
    void execLineEscapesReservedCharacters();
    void linkFromTheEntryBehavesLikeASecondStart();
    void linkOpenedByTheDesktopReachesTheRunningCopy();
    void anAccountsOwnListenerIsNamedAndReached();

private:
    QString install(const QString& binDir, bool withTaskList = true, bool withConfig = true,
                    const QString& name = QStringLiteral("torvaneapp"));
    QProcess* start(const QString& program, const QStringList& arguments = {});
    bool waitForLog(QProcess* process, const QString& marker, QString* log, int timeoutMs = 60000);
    bool serveActivation(bool tls);

    QTemporaryDir m_dir;
    QTemporaryDir m_xdg;
    QSettings* m_settings = nullptr;
    RecordingHandler m_handler;
    quillon::HttpListener* m_listener = nullptr;
    QList<QProcess*> m_processes;
};

void TestSingleInstance::initTestCase()
{
    const QString ssl = QStringLiteral(TORVANE_BUILD_DIR "/ssl");
    QProcess certs;
    certs.start(QStringLiteral(TORVANE_SOURCE_DIR "/tools/make-certs.sh"), {ssl});
    QVERIFY(certs.waitForFinished(120000));
    if (certs.exitCode() != 0)
        QSKIP("cannot create the local certificates (mkcert)");
    m_settings = new QSettings(m_dir.filePath("activation.ini"), QSettings::IniFormat);
    m_settings->setValue("listener/host", "127.0.0.1");
    m_settings->setValue("listener/port", QString(TORVANE_ACTIVATION_HOST).section(':', 1).toInt());
    m_settings->setValue("listener/sslCertFile", ssl + "/localhost.pem");
    m_settings->setValue("listener/sslKeyFile", ssl + "/localhost-key.pem");
    m_settings->beginGroup("listener");
    QVERIFY(serveActivation(true));
}

// The activation host, over TLS or plain HTTP, as the client's own listener
// may serve it.
bool TestSingleInstance::serveActivation(bool tls)
{
    delete m_listener;
    const QString ssl = QStringLiteral(TORVANE_BUILD_DIR "/ssl");
    m_settings->setValue("sslCertFile", tls ? ssl + "/localhost.pem" : QString());
    m_settings->setValue("sslKeyFile", tls ? ssl + "/localhost-key.pem" : QString());
    m_listener = new quillon::HttpListener(m_settings, &m_handler);
    return m_listener->isListening() && m_listener->connectionPool()->isSslEnabled() == tls;
}

void TestSingleInstance::cleanupTestCase()
{
    delete m_listener;
    delete m_settings;
}

void TestSingleInstance::cleanup()
{
    for (QProcess* process : qAsConst(m_processes)) {
        process->kill();
        process->waitForFinished(10000);
    }
    qDeleteAll(m_processes);
    m_processes.clear();
    QMutexLocker locker(&m_handler.mutex);
    m_handler.requests.clear();
}

QString TestSingleInstance::install(const QString& binDir, bool withTaskList, bool withConfig, const QString& name)
{
    QDir().mkpath(binDir);
    QFile::copy(QStringLiteral(TORVANE_BUILD_DIR "/bin/torvaneapp"), binDir + "/" + name);
    if (withTaskList)
        QFile::copy(QStringLiteral(TORVANE_BUILD_DIR "/bin/tasklist"), binDir + "/tasklist");
    if (withConfig) {
        QFile ini(binDir + "/TorvaneAPP.ini");
        ini.open(QIODevice::WriteOnly);
        ini.write("[listener]\nhost=127.0.0.1\nport=0\n");
    }
    return binDir + "/" + name;
}

QProcess* TestSingleInstance::start(const QString& program, const QStringList& arguments)
{
    auto* process = new QProcess;
    process->setProcessChannelMode(QProcess::MergedChannels);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("QTWEBENGINE_DISABLE_SANDBOX", "1");
    environment.insert("QT_LOGGING_RULES", "*.debug=true;qt.*.debug=false");
    environment.insert("XDG_DATA_HOME", m_xdg.filePath("data"));
    environment.insert("XDG_CONFIG_HOME", m_xdg.filePath("config"));
    QDir().mkpath(m_xdg.filePath("runtime"));
    QFile::setPermissions(m_xdg.filePath("runtime"), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    environment.insert("XDG_RUNTIME_DIR", m_xdg.filePath("runtime"));
    process->setProcessEnvironment(environment);
    process->start(program, arguments);
    m_processes.append(process);
    return process;
}

bool TestSingleInstance::waitForLog(QProcess* process, const QString& marker, QString* log, int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < timeoutMs) {
        process->waitForReadyRead(100);
        *log += QString::fromLocal8Bit(process->readAll());
        if (log->contains(marker))
            return true;
        if (process->state() == QProcess::NotRunning)
            return false;
    }
    return false;
}

void TestSingleInstance::tasklistOutput_data()
{
    QTest::addColumn<int>("copies");
    QTest::newRow("none") << 0;
    QTest::newRow("one") << 1;
    QTest::newRow("two") << 2;
}

void TestSingleInstance::tasklistOutput()
{
    QFETCH(int, copies);
    const QString program = m_dir.filePath("fakeprocess");
    QFile::remove(program);
    QVERIFY(QFile::copy("/bin/sleep", program));
    for (int i = 0; i < copies; ++i) {
        auto* process = new QProcess;
        process->start(program, {"30"});
        QVERIFY(process->waitForStarted());
        m_processes.append(process);
    }
    QProcess tasklist;
    tasklist.start(QStringLiteral(TORVANE_BUILD_DIR "/bin/tasklist"),
                   {"/NH", "/FO", "CSV", "/FI", "IMAGENAME eq fakeprocess.exe"});
    QVERIFY(tasklist.waitForFinished(10000));
    const QString output = QString::fromUtf8(tasklist.readAllStandardOutput());
    QCOMPARE(output.count(QRegularExpression("^\"fakeprocess\\.exe\",\"\\d+\",", QRegularExpression::MultilineOption)),
             copies);
    QCOMPARE(output.split("fakeprocess.exe").size() - 1, copies);
}

void TestSingleInstance::secondStartNotifiesTheActivationHostAndEnds_data()
{
    QTest::addColumn<bool>("tls");
    QTest::newRow("TLS") << true;
    // The client's own listener as shipped.
    QTest::newRow("plain HTTP") << false;
}

void TestSingleInstance::secondStartNotifiesTheActivationHostAndEnds()
{
    QFETCH(bool, tls);
    QVERIFY2(serveActivation(tls), "the activation host's port is taken");
    const auto restore = qScopeGuard([this] { serveActivation(true); });
    const QString program = install(m_dir.filePath(tls ? "second/bin" : "second-plain/bin"));
    QString firstLog;
    QVERIFY(waitForLog(start(program), "Using config file", &firstLog));

    QString secondLog;
    QProcess* second = start(program);
    // The activation host lives on this thread: keep its events running.
    QTRY_VERIFY_WITH_TIMEOUT(second->state() == QProcess::NotRunning, 60000);
    const qint64 ended = QDateTime::currentMSecsSinceEpoch();
    secondLog += QString::fromLocal8Bit(second->readAll());
    QCOMPARE(second->exitStatus(), QProcess::NormalExit);
    QCOMPARE(second->exitCode(), 1);
    QCOMPARE(m_handler.taken(), QStringList{"GET /"});
    qint64 requestAt;
    {
        QMutexLocker locker(&m_handler.mutex);
        requestAt = m_handler.lastAt;
    }
    QVERIFY2(ended - requestAt >= 2900 && ended - requestAt < 10000, qPrintable(QString::number(ended - requestAt)));
    // It ends before the configuration is looked for and shows no page.
    QVERIFY2(!secondLog.contains("Using config file") && !secondLog.contains(m_dir.filePath("second/bin") + "\""),
             qPrintable(secondLog));
    QVERIFY(!secondLog.contains("Progresso... FINISH"));
}

void TestSingleInstance::silentActivationHostDoesNotKeepTheSecondCopyAlive()
{
    const QString program = install(m_dir.filePath("silent/bin"));
    QString log;
    QVERIFY(waitForLog(start(program), "Using config file", &log));
    // A host that accepts connections (the kernel does, into the backlog)
    // and never answers.
    const quint16 port = m_listener->serverPort();
    m_listener->close();
    QTcpServer silent;
    QVERIFY(silent.listen(QHostAddress::LocalHost, port));
    QElapsedTimer timer;
    timer.start();
    QProcess* second = start(program);
    QVERIFY(second->waitForFinished(90000));
    const qint64 elapsed = timer.elapsed();
    silent.close();
    m_listener->startListening();
    QCOMPARE(second->exitCode(), 1);
    // 30 s for the answer that never comes, then the 3 s pause.
    QVERIFY2(elapsed >= 32000 && elapsed < 60000, qPrintable(QString::number(elapsed)));
}

// A running copy named in other letters is listed by tasklist (its filter
// ignores case) but not taken for this program: a second start runs on.
void TestSingleInstance::otherLetterCaseIsNotDetected()
{
    const QString other = install(m_dir.filePath("case1/bin"), true, true, "TorvaneApp");
    QString log;
    QVERIFY(waitForLog(start(other), "Using config file", &log));
    QProcess tasklist;
    tasklist.start(m_dir.filePath("case1/bin/tasklist"), {"/NH", "/FO", "CSV", "/FI", "IMAGENAME eq torvaneapp.exe"});
    QVERIFY(tasklist.waitForFinished(10000));
    QVERIFY(QString::fromUtf8(tasklist.readAllStandardOutput()).contains("\"TorvaneApp.exe\""));

    QString secondLog;
    QProcess* second = start(install(m_dir.filePath("case2/bin")));
    QVERIFY2(waitForLog(second, "Using config file", &secondLog), qPrintable(secondLog));
    QCOMPARE(second->state(), QProcess::Running);
    QCOMPARE(m_handler.taken(), QStringList());
}

void TestSingleInstance::withoutTasklistTheClientStartsNormally()
{
    const QString first = install(m_dir.filePath("notasks1/bin"));
    QString log;
    QVERIFY(waitForLog(start(first), "Using config file", &log));
    const QString second = install(m_dir.filePath("notasks2/bin"), false);
    QString secondLog;
    QVERIFY2(waitForLog(start(second), "Using config file", &secondLog), qPrintable(secondLog));
    QVERIFY(m_handler.taken().isEmpty());
}

// The entry is rewritten on every start; the scheme's default handler is
// set only where the user chose none.
void TestSingleInstance::urlSchemeIsWrittenOnEveryStart()
{
    const QString binDir = m_dir.filePath("with space/and \"quote\"/bin");
    const QString program = install(binDir);
    const QString entry = m_xdg.filePath("data/applications/torvaneapp-zolapp.desktop");
    const QString mimeapps = m_xdg.filePath("config/mimeapps.list");
    QDir().mkpath(m_xdg.filePath("config"));
    const QString others = "[Default Applications]\ntext/html=browser.desktop\n";
    const QString rest = "[Added Associations]\nimage/png=viewer.desktop;\n";
    const QString ours = "x-scheme-handler/zolapp=torvaneapp-zolapp.desktop\n";
    const QString usersChoice = "x-scheme-handler/zolapp=other-phone.desktop\n";
    const QStringList before = {others + rest, others + usersChoice + rest};
    const QStringList after = {"[Default Applications]\n" + ours + "text/html=browser.desktop\n" + rest,
                               others + usersChoice + rest};
    QFile::remove(entry);
    for (int round = 0; round < 2; ++round) {
        {
            QFile file(mimeapps);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(before.at(round).toUtf8());
        }
        QString log;
        QProcess* process = start(program);
        QVERIFY(waitForLog(process, "Using config file", &log));
        process->kill();
        process->waitForFinished();
        QFile file(entry);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QString text = QString::fromUtf8(file.readAll());
        QVERIFY(text.contains("MimeType=x-scheme-handler/zolapp;\n"));
        QString quoted = program;
        quoted.replace("\"", "\\\\\"");
        QVERIFY2(text.contains("Exec=\"" + quoted + "\" %u\n"), qPrintable(text));
        QFile list(mimeapps);
        QVERIFY(list.open(QIODevice::ReadOnly));
        QCOMPARE(QString::fromUtf8(list.readAll()), after.at(round));
        QVERIFY(QFile::remove(entry));
    }
}

void TestSingleInstance::windowsCommandQuotesPathAndLink_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("command");
    QTest::newRow("spaces") << "C:\\Program Files\\Torvane\\torvaneapp.exe"
                            << "\"C:\\Program Files\\Torvane\\torvaneapp.exe\" \"%1\"";
    QTest::newRow("plain") << "C:\\t\\app.exe" << "\"C:\\t\\app.exe\" \"%1\"";
}

void TestSingleInstance::windowsCommandQuotesPathAndLink()
{
    QFETCH(QString, path);
    QFETCH(QString, command);
    QCOMPARE(windowsOpenCommand(path), command);
}

void TestSingleInstance::execLineEscapesReservedCharacters_data()
{
    QTest::addColumn<QString>("program");
    QTest::addColumn<QString>("exec");
    // Unquoted where nothing needs quotes: xdg-open's generic opener starts
    // only those.
    QTest::newRow("no reserved character") << "/usr/bin/torvaneapp" << "/usr/bin/torvaneapp %u";
    QTest::newRow("space") << "/opt/torvane app/bin/torvaneapp" << "\"/opt/torvane app/bin/torvaneapp\" %u";
    QTest::newRow("percent") << "/opt/100%/bin/app" << "/opt/100%%/bin/app %u";
    QTest::newRow("field code") << "/opt/%u/app" << "/opt/%%u/app %u";
    QTest::newRow("percent and space") << "/opt/100 %/app" << "\"/opt/100 %%/app\" %u";
    QTest::newRow("quote, backtick, dollar") << "/a\"b`c$d" << "\"/a\\\\\"b\\\\`c\\\\$d\" %u";
    QTest::newRow("backslash") << "/a\\b" << "\"/a\\\\\\\\b\" %u";
    QTest::newRow("line break") << "/a\nb" << "\"/a\\nb\" %u";
}

void TestSingleInstance::execLineEscapesReservedCharacters()
{
    QFETCH(QString, program);
    QFETCH(QString, exec);
    QCOMPARE(desktopEntryExec(program), exec);
}

void TestSingleInstance::linkFromTheEntryBehavesLikeASecondStart()
{
    const QString program = install(m_dir.filePath("link dir/bin"));
    QString log;
    QVERIFY(waitForLog(start(program), "Using config file", &log));
    QFile file(m_xdg.filePath("data/applications/torvaneapp-zolapp.desktop"));
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QString exec = QString::fromUtf8(file.readAll()).section("Exec=", 1).section('\n', 0, 0);
    // The quoted program, then the field code of the link.
    const QRegularExpressionMatch match = QRegularExpression("^\"((?:[^\"\\\\]|\\\\.)*)\" %u$").match(exec);
    QVERIFY2(match.hasMatch(), qPrintable(exec));
    QString path = match.captured(1);
    path.replace("\\\\", "\\");
    path.replace(QRegularExpression("\\\\([\"`$\\\\])"), "\\1");
    QCOMPARE(path, program);
    QProcess* second = start(path, {"zolapp:anything"});
    QTRY_VERIFY_WITH_TIMEOUT(second->state() == QProcess::NotRunning, 60000);
    QCOMPARE(second->exitCode(), 1);
    QCOMPARE(m_handler.taken(), QStringList{"GET /"});
}

// As the desktop starts a link: xdg-open finds the entry as the scheme's
// handler (on a display) and starts the program with the link, which then
// behaves like a second start.
void TestSingleInstance::linkOpenedByTheDesktopReachesTheRunningCopy()
{
    const QString program = install(m_dir.filePath("desktop-link/bin"));
    QString log;
    QVERIFY(waitForLog(start(program), "Using config file", &log));
    QProcess* opened = start("xdg-open", {"zolapp:from-the-desktop"});
    QTRY_VERIFY_WITH_TIMEOUT(!m_handler.taken().isEmpty(), 60000);
    QCOMPARE(m_handler.taken(), QStringList{"GET /"});
    QVERIFY(opened->waitForFinished(30000));
}

// On a machine several accounts share: with the machine's port taken (by
// the activation host here, another account's client in real life) the
// client still runs, says so and writes so in its listener file; with a port
// of its own in the account's settings file it listens there, names it in
// the file (which only the account may read), and a second start of the
// account reaches that listener, not the machine's port.
void TestSingleInstance::anAccountsOwnListenerIsNamedAndReached()
{
    const QString program = install(m_dir.filePath("account/bin"));
    QFile ini(m_dir.filePath("account/bin/TorvaneAPP.ini"));
    QVERIFY(ini.open(QIODevice::WriteOnly));
    ini.write("[listener]\nhost=127.0.0.1\nport=" + QByteArray::number(m_listener->serverPort()) + "\n");
    ini.close();
    const QString record = m_xdg.filePath("runtime/TorvaneAPP/listener.json");
    const auto readRecord = [&record] {
        QFile file(record);
        return file.open(QIODevice::ReadOnly) ? QJsonDocument::fromJson(file.readAll()).object() : QJsonObject();
    };

    QString log;
    QProcess* taken = start(program);
    QVERIFY2(waitForLog(taken, "cannot listen on port", &log), qPrintable(log));
    QVERIFY2(log.contains("[listener] port=... in " + m_xdg.filePath("config/TorvaneAPP/TorvaneAPP.ini")), qPrintable(log));
    QTRY_VERIFY(readRecord().contains("error"));
    QCOMPARE(readRecord().value("port").toInt(), int(m_listener->serverPort()));
    QCOMPARE(taken->state(), QProcess::Running);
    taken->terminate();
    QVERIFY(taken->waitForFinished(30000));
    QVERIFY(!QFile::exists(record));

    QDir().mkpath(m_xdg.filePath("config/TorvaneAPP"));
    QFile own(m_xdg.filePath("config/TorvaneAPP/TorvaneAPP.ini"));
    QVERIFY(own.open(QIODevice::WriteOnly));
    own.write("[listener]\nport=0\n");
    own.close();
    const auto removeOwn = qScopeGuard([&own] { own.remove(); });
    log.clear();
    QProcess* first = start(program);
    QVERIFY2(waitForLog(first, "Using config file", &log), qPrintable(log));
    QTRY_VERIFY(readRecord().contains("url"));
    const QUrl url(readRecord().value("url").toString());
    QCOMPARE(url.scheme(), QString("http"));
    QVERIFY(url.port() > 0 && url.port() != m_listener->serverPort());
    QCOMPARE(QFileInfo(record).permissions() & (QFileDevice::ReadGroup | QFileDevice::ReadOther), QFileDevice::Permissions());
    QTcpSocket command;
    command.connectToHost(QHostAddress::LocalHost, quint16(url.port()));
    QVERIFY(command.waitForConnected(5000));
    command.write("GET /?comando=ping HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n");
    QByteArray answer;
    while (command.waitForReadyRead(5000))
        answer += command.readAll();
    QVERIFY2(answer.startsWith("HTTP/1.1 200 OK"), answer.constData());

    QProcess* second = start(program);
    QTRY_VERIFY_WITH_TIMEOUT(second->state() == QProcess::NotRunning, 60000);
    QCOMPARE(second->exitCode(), 1);
    const QString secondLog = QString::fromLocal8Bit(second->readAll());
    QVERIFY2(secondLog.contains("Activation request " + url.toString() + ": answered"), qPrintable(secondLog));
    QCOMPARE(m_handler.taken(), QStringList());
    first->terminate();
    QVERIFY(first->waitForFinished(30000));
    QVERIFY(!QFile::exists(record));
}

QTEST_GUILESS_MAIN(TestSingleInstance)
#include "tst_singleinstance.moc"
