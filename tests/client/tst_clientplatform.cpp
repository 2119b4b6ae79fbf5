// What the client decides about the desktop before and beside its windows:
// the Qt platform, where the window and dial button stand on the screens
// there are, and the account's log file.
#include "logfile.h"
#include "platformchoice.h"
#include "screenplacement.h"
#include "testserver.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <memory>
#include <vector>

namespace {

QProcessEnvironment environmentOf(const QStringList& pairs)
{
    QProcessEnvironment environment;
    for (const QString& pair : pairs)
        environment.insert(pair.section(QLatin1Char('='), 0, 0), pair.section(QLatin1Char('='), 1));
    return environment;
}

QStringList linesOf(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

// A log file in `folder`, opened; null (with the reason as a warning) when
// it cannot be.
std::unique_ptr<LogFile> openLog(const QString& folder, qint64 maxBytes = LogFile::kMaxBytes,
                                 int keptFiles = LogFile::kKeptFiles)
{
    auto log = std::make_unique<LogFile>(folder, maxBytes, keptFiles);
    QString error;
    if (!log->open(&error)) {
        qWarning("%s", qPrintable(error));
        return nullptr;
    }
    return log;
}

const QRegularExpression kRecord(QStringLiteral("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3} [+-]\\d\\d:\\d\\d "
                                                "(debug|info|warning|critical|fatal) "));

QStringList recordedMessages;
void recordMessage(QtMsgType, const QMessageLogContext&, const QString& message)
{
    recordedMessages.append(message);
}

} // namespace

class TestClientPlatform : public QObject
{
    Q_OBJECT

private slots:
    void platformChoice_data();
    void platformChoice();
    void platformLineSaysWhatIsLost();

    void placement_data();
    void placement();
    void dialButtonOnAScreen_data();
    void dialButtonOnAScreen();

    void logFolderFollowsXdgStateHome();
    void logRecordsCarryTimeAndLevelAndOnlyTheAccountReadsThem();
    void messageCannotForgeARecord();
    void filesRotateWithinTheirBound();
    void fullFileIsRotatedWhenOpened();
    void folderThatCannotBeWrittenIsSaid();
    void concurrentWritersKeepRecordsWhole();
    void installedFileKeepsThePreviousHandler();
};

void TestClientPlatform::platformChoice_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QStringList>("environment");
    QTest::addColumn<QByteArray>("platformList");
    QTest::addColumn<int>("reason");

    const QStringList wayland{"XDG_SESSION_TYPE=wayland", "WAYLAND_DISPLAY=wayland-0"};
    const QStringList plain{"torvaneapp"};
    QTest::newRow("X11 session") << plain << QStringList{"XDG_SESSION_TYPE=x11", "DISPLAY=:0"} << QByteArray()
                                 << int(PlatformChoice::QtDefault);
    QTest::newRow("nothing known") << plain << QStringList{} << QByteArray() << int(PlatformChoice::QtDefault);
    QTest::newRow("Wayland with XWayland") << plain << wayland + QStringList{"DISPLAY=:0"} << QByteArray("xcb;wayland")
                                           << int(PlatformChoice::XWayland);
    QTest::newRow("GNOME on Wayland")
        << plain << wayland + QStringList{"DISPLAY=:1", "XDG_CURRENT_DESKTOP=GNOME"} << QByteArray("xcb;wayland")
        << int(PlatformChoice::XWayland);
    QTest::newRow("compositor started from a console")
        << plain << QStringList{"XDG_SESSION_TYPE=tty", "WAYLAND_DISPLAY=wayland-1", "DISPLAY=:0"}
        << QByteArray("xcb;wayland") << int(PlatformChoice::XWayland);
    QTest::newRow("Wayland without XWayland") << plain << wayland << QByteArray("wayland;xcb")
                                              << int(PlatformChoice::NativeWayland);
    QTest::newRow("X11 session with a stray WAYLAND_DISPLAY")
        << plain << QStringList{"XDG_SESSION_TYPE=x11", "WAYLAND_DISPLAY=wayland-0", "DISPLAY=:0"} << QByteArray()
        << int(PlatformChoice::QtDefault);
    QTest::newRow("QT_QPA_PLATFORM wins") << plain << wayland + QStringList{"DISPLAY=:0", "QT_QPA_PLATFORM=wayland"}
                                          << QByteArray() << int(PlatformChoice::UserEnvironment);
    QTest::newRow("empty QT_QPA_PLATFORM is no choice")
        << plain << wayland + QStringList{"DISPLAY=:0", "QT_QPA_PLATFORM="} << QByteArray("xcb;wayland")
        << int(PlatformChoice::XWayland);
    QTest::newRow("-platform wins") << QStringList{"torvaneapp", "-platform", "wayland"}
                                    << wayland + QStringList{"DISPLAY=:0"} << QByteArray()
                                    << int(PlatformChoice::UserArgument);
    QTest::newRow("--platform wins over QT_QPA_PLATFORM")
        << QStringList{"torvaneapp", "--platform", "xcb"} << wayland + QStringList{"QT_QPA_PLATFORM=wayland"}
        << QByteArray() << int(PlatformChoice::UserArgument);
    QTest::newRow("-platform without a value") << QStringList{"torvaneapp", "-platform"}
                                               << wayland + QStringList{"DISPLAY=:0"} << QByteArray("xcb;wayland")
                                               << int(PlatformChoice::XWayland);
}

void TestClientPlatform::platformChoice()
{
    QFETCH(QStringList, arguments);
    QFETCH(QStringList, environment);
    QFETCH(QByteArray, platformList);
    QFETCH(int, reason);
    const PlatformChoice choice = PlatformChoice::choose(arguments, environmentOf(environment));
    QCOMPARE(choice.platformList(), platformList);
    QCOMPARE(int(choice.reason()), reason);
}

void TestClientPlatform::platformLineSaysWhatIsLost()
{
    const QStringList wayland{"XDG_SESSION_TYPE=wayland", "WAYLAND_DISPLAY=wayland-0"};
    const PlatformChoice through =
        PlatformChoice::choose({"torvaneapp"}, environmentOf(wayland + QStringList{"DISPLAY=:5"}));
    QVERIFY(through.describe("xcb").startsWith("Platform: xcb through XWayland (DISPLAY=:5)"));
    QVERIFY(through.describe("xcb").contains("QT_QPA_PLATFORM=wayland"));
    // XWayland that does not answer leaves the native platform, and says so.
    QVERIFY(through.describe("wayland").contains("could not be reached"));
    QVERIFY(through.describe("wayland").contains("cannot stay above other windows"));
    const PlatformChoice native = PlatformChoice::choose({"torvaneapp"}, environmentOf(wayland));
    QVERIFY(native.describe("wayland").startsWith("Platform: wayland: this Wayland session has no XWayland"));
    QVERIFY(native.describe("wayland").contains("the compositor places the window"));
    const PlatformChoice chosen =
        PlatformChoice::choose({"torvaneapp", "-platform", "offscreen"}, environmentOf(wayland));
    QCOMPARE(chosen.describe("offscreen"), QStringLiteral("Platform: offscreen, as the -platform argument asks"));
}

void TestClientPlatform::placement_data()
{
    QTest::addColumn<QRect>("available");
    QTest::addColumn<QPoint>("window");
    QTest::addColumn<QPoint>("dialButton");
    QTest::newRow("one screen") << QRect(0, 0, 1920, 1040) << QPoint(1629, 620) << QPoint(1853, 933);
    QTest::newRow("a panel at the top") << QRect(0, 32, 1920, 1048) << QPoint(1629, 660) << QPoint(1853, 973);
    QTest::newRow("a screen right of another") << QRect(1920, 0, 1280, 1024) << QPoint(2909, 604) << QPoint(3133, 917);
    QTest::newRow("a screen left of the primary") << QRect(-1280, 56, 1280, 968) << QPoint(-291, 604)
                                                  << QPoint(-67, 917);
}

void TestClientPlatform::placement()
{
    QFETCH(QRect, available);
    QFETCH(QPoint, window);
    QFETCH(QPoint, dialButton);
    QCOMPARE(screenplacement::mainWindowPosition(available, QSize(271, 420)), window);
    QCOMPARE(screenplacement::dialButtonDefaultPosition(available), dialButton);
}

void TestClientPlatform::dialButtonOnAScreen_data()
{
    QTest::addColumn<QPoint>("position");
    QTest::addColumn<bool>("onAScreen");
    // Two screens side by side, the right one shorter.
    QTest::newRow("on the left screen") << QPoint(100, 100) << true;
    QTest::newRow("at the left screen's bottom right") << QPoint(1859, 1019) << true;
    QTest::newRow("one pixel beyond it") << QPoint(1860, 1019) << false;
    QTest::newRow("on the right screen") << QPoint(3000, 900) << true;
    QTest::newRow("below the shorter screen") << QPoint(3000, 1000) << false;
    QTest::newRow("where a removed screen was") << QPoint(4000, 100) << false;
    QTest::newRow("above every screen") << QPoint(100, -30) << false;
}

void TestClientPlatform::dialButtonOnAScreen()
{
    QFETCH(QPoint, position);
    QFETCH(bool, onAScreen);
    const QVector<QRect> screens{QRect(0, 0, 1920, 1080), QRect(1920, 0, 1280, 1024)};
    QCOMPARE(screenplacement::dialButtonIsOnAScreen(position, screens), onAScreen);
}

void TestClientPlatform::logFolderFollowsXdgStateHome()
{
#ifdef Q_OS_WIN
    QCOMPARE(LogFile::defaultFolder(environmentOf({"LOCALAPPDATA=C:\\Users\\agent\\AppData\\Local"})),
             QStringLiteral("C:/Users/agent/AppData/Local/TorvaneAPP"));
    return;
#endif
    QCOMPARE(LogFile::defaultFolder(environmentOf({"XDG_STATE_HOME=/var/state", "HOME=/home/agent"})),
             QStringLiteral("/var/state/TorvaneAPP"));
    QCOMPARE(LogFile::defaultFolder(environmentOf({"HOME=/home/agent"})),
             QStringLiteral("/home/agent/.local/state/TorvaneAPP"));
    // A relative value is not a base directory.
    QCOMPARE(LogFile::defaultFolder(environmentOf({"XDG_STATE_HOME=state", "HOME=/home/agent"})),
             QStringLiteral("/home/agent/.local/state/TorvaneAPP"));
}

void TestClientPlatform::logRecordsCarryTimeAndLevelAndOnlyTheAccountReadsThem()
{
    QTemporaryDir dir;
    const auto log = openLog(dir.filePath("state/TorvaneAPP"));
    QVERIFY(log);
    log->write(QtWarningMsg, "HttpListener: Cannot bind on port 8085");
    log->write(QtInfoMsg, "Platform: xcb");
    const QStringList lines = linesOf(log->filePath());
    QCOMPARE(lines.size(), 2);
    QVERIFY2(kRecord.match(lines.at(0)).hasMatch(), qPrintable(lines.at(0)));
    QVERIFY(lines.at(0).endsWith(" warning HttpListener: Cannot bind on port 8085"));
    QVERIFY(lines.at(1).endsWith(" info Platform: xcb"));
    QCOMPARE(QFileInfo(log->filePath()).fileName(), QStringLiteral("TorvaneAPP.log"));
#ifdef Q_OS_UNIX
    QCOMPARE(QFile::permissions(log->filePath()) & 0x0077, QFileDevice::Permissions());
    QCOMPARE(QFile::permissions(dir.filePath("state/TorvaneAPP")) & 0x0077, QFileDevice::Permissions());
    // A file another version left readable is closed to others too.
    QFile::setPermissions(log->filePath(), QFileDevice::Permissions(0x6644));
    QVERIFY(openLog(dir.filePath("state/TorvaneAPP")));
    QCOMPARE(QFile::permissions(log->filePath()) & 0x0077, QFileDevice::Permissions());
#endif
}

void TestClientPlatform::messageCannotForgeARecord()
{
    QTemporaryDir dir;
    const auto log = openLog(dir.path());
    QVERIFY(log);
    log->write(QtDebugMsg, "command\n2026-01-01 00:00:00.000 +00:00 warning forged\rline");
    const QStringList lines = linesOf(log->filePath());
    QCOMPARE(lines.size(), 2);
    QVERIFY(kRecord.match(lines.at(0)).hasMatch());
    QCOMPARE(lines.at(1), QStringLiteral("    2026-01-01 00:00:00.000 +00:00 warning forged line"));
}

void TestClientPlatform::filesRotateWithinTheirBound()
{
    QTemporaryDir dir;
    const auto log = openLog(dir.path(), 1000, 3);
    QVERIFY(log);
    for (int i = 0; i < 200; ++i)
        log->write(QtInfoMsg, QStringLiteral("record %1 ").arg(i, 4, 10, QLatin1Char('0')) + QString(40, 'x'));
    QStringList kept;
    for (const QString& name : {"TorvaneAPP.log.3", "TorvaneAPP.log.2", "TorvaneAPP.log.1", "TorvaneAPP.log"}) {
        const QString path = dir.filePath(name);
        QVERIFY2(QFile::exists(path), qPrintable(name));
        QVERIFY2(QFileInfo(path).size() <= 1000, qPrintable(name));
        kept += linesOf(path);
    }
    QVERIFY(!QFile::exists(dir.filePath("TorvaneAPP.log.4")));
    // The newest records, in order, without a gap.
    QVERIFY(kept.size() > 30);
    QVERIFY(kept.last().contains("record 0199 "));
    for (int i = 0; i < kept.size(); ++i)
        QVERIFY2(kept.at(i).contains(QStringLiteral("record %1 ").arg(200 - kept.size() + i, 4, 10, QLatin1Char('0'))),
                 qPrintable(kept.at(i)));
}

void TestClientPlatform::fullFileIsRotatedWhenOpened()
{
    QTemporaryDir dir;
    QFile full(dir.filePath("TorvaneAPP.log"));
    QVERIFY(full.open(QIODevice::WriteOnly));
    full.write(QByteArray(1000, 'o') + '\n');
    full.close();
    const auto log = openLog(dir.path(), 1000, 3);
    QVERIFY(log);
    log->write(QtInfoMsg, "next run");
    QCOMPARE(QFileInfo(dir.filePath("TorvaneAPP.log.1")).size(), 1001);
    QCOMPARE(linesOf(log->filePath()).size(), 1);
}

void TestClientPlatform::folderThatCannotBeWrittenIsSaid()
{
    QTemporaryDir dir;
    // A file where the folder would be: not even root can make the folder.
    QFile blocker(dir.filePath("state"));
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    LogFile log(dir.filePath("state/TorvaneAPP"));
    QString error;
    QVERIFY(!log.open(&error));
    QVERIFY2(error.contains(QDir::toNativeSeparators(dir.filePath("state/TorvaneAPP"))), qPrintable(error));
    log.write(QtWarningMsg, "goes nowhere, and does not crash");
}

void TestClientPlatform::concurrentWritersKeepRecordsWhole()
{
    QTemporaryDir dir;
    // Small files, so that rotation happens while the others write.
    const auto log = openLog(dir.path(), 4096, 2);
    QVERIFY(log);
    std::vector<std::unique_ptr<QThread>> writers;
    for (int t = 0; t < 4; ++t) {
        writers.emplace_back(createThread([&log, t] {
            for (int i = 0; i < 500; ++i)
                log->write(QtDebugMsg, QStringLiteral("writer %1 record %2 end").arg(t).arg(i));
        }));
        startThread(writers.back().get());
    }
    for (auto& writer : writers)
        QVERIFY(joinThread(writer.get(), 60000));
    const QRegularExpression whole(kRecord.pattern() + QStringLiteral("writer \\d record \\d+ end$"));
    int records = 0;
    for (const QString& name : {"TorvaneAPP.log", "TorvaneAPP.log.1", "TorvaneAPP.log.2"}) {
        QVERIFY(QFileInfo(dir.filePath(name)).size() <= 4096);
        for (const QString& line : linesOf(dir.filePath(name))) {
            QVERIFY2(whole.match(line).hasMatch(), qPrintable(line));
            ++records;
        }
    }
    QVERIFY(records > 0);
}

void TestClientPlatform::installedFileKeepsThePreviousHandler()
{
    QTemporaryDir dir;
    const auto log = openLog(dir.path());
    QVERIFY(log);
    recordedMessages.clear();
    const QtMessageHandler before = qInstallMessageHandler(recordMessage);
    LogFile::install(log.get());
    qWarning("Tray: no host");
    LogFile::install(nullptr);
    qWarning("after");
    qInstallMessageHandler(before);
    QCOMPARE(recordedMessages, (QStringList{"Tray: no host", "after"}));
    const QStringList lines = linesOf(log->filePath());
    QCOMPARE(lines.size(), 1);
    QVERIFY(lines.at(0).endsWith(" warning Tray: no host"));
}

QTEST_GUILESS_MAIN(TestClientPlatform)
#include "tst_clientplatform.moc"
