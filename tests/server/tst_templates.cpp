// The template engine, and the localising loader with its cache.
#include "template.h"
#include "templatecache.h"
#include "testserver.h"
#include "fuzz/templateinput.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QSettings>
#include <QTest>

using namespace quillon;

class TestTemplates : public QObject
{
    Q_OBJECT

private slots:
    void nestedLoopsStepByStep();
    void loop_data();
    void loop();
    void twoBlocksOfOneLoop();
    void variableValueHoldingItsOwnMarker();
    void markersAreCaseSensitive();
    void valuesFilledTogetherAreNeverScanned();
    void missingVariableWarnsOnlyWhenEnabled();
    void missingLoopEndEndsTheExpansion();
    void explodingNestedLoopsStopGrowing();
    void expansionWorkIsBounded();
    void fuzzFindingsStayWithinTheDocumentBound_data();
    void fuzzFindingsStayWithinTheDocumentBound();

    void candidateOrder_data();
    void candidateOrder();
    void foundVariantNamesTheTemplate();
    void secondLookupReadsNoFile();
    void missingFileIsRememberedUntilItExpires();
    void templateLargerThanTheCacheIsNeverCached();
    void rememberedMissesAreBounded();
    void unknownEncodingFallsBackToTheLocaleCodec();
    void relativePathAndEncoding();

private:
    QSettings* settings(QTemporaryDir& dir, const QVariantMap& keys);
    void writeFile(const QString& path, const QByteArray& content);
};

QSettings* TestTemplates::settings(QTemporaryDir& dir, const QVariantMap& keys)
{
    auto* settings = new QSettings(dir.filePath("etc/test.ini"), QSettings::IniFormat, this);
    settings->beginGroup("templates");
    if (!keys.contains("path"))
        settings->setValue("path", dir.path());
    for (auto it = keys.cbegin(); it != keys.cend(); ++it)
        settings->setValue(it.key(), it.value());
    return settings;
}

void TestTemplates::writeFile(const QString& path, const QByteArray& content)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(content);
}

void TestTemplates::nestedLoopsStepByStep()
{
    Template t("{loop row}[{loop row.cell}{row.cell.v}{end row.cell}]{end row}", "nested");
    QCOMPARE(t.loop("row", 2), 1);
    QCOMPARE(QString(t), QString("[{loop row0.cell}{row0.cell.v}{end row0.cell}][{loop row1.cell}{row1.cell.v}{end row1.cell}]"));
    QCOMPARE(t.loop("row0.cell", 1), 1);
    QCOMPARE(QString(t), QString("[{row0.cell0.v}][{loop row1.cell}{row1.cell.v}{end row1.cell}]"));
    QCOMPARE(t.loop("row1.cell", 0), 1);
    QCOMPARE(QString(t), QString("[{row0.cell0.v}][]"));
    QCOMPARE(t.setVariable("row0.cell0.v", "7"), 1);
    QCOMPARE(QString(t), QString("[7][]"));
}

void TestTemplates::loop_data()
{
    QTest::addColumn<QString>("source");
    QTest::addColumn<int>("repetitions");
    QTest::addColumn<QString>("result");
    QTest::newRow("else part with repetitions") << "<{loop x}a{x.v}{else x}none{end x}>" << 2 << "<a{x0.v}a{x1.v}>";
    QTest::newRow("else part without repetitions") << "<{loop x}a{else x}none{end x}>" << 0 << "<none>";
    QTest::newRow("no else part, no repetitions") << "<{loop x}a{end x}>" << 0 << "<>";
    QTest::newRow("negative is like zero") << "<{loop x}a{else x}none{end x}>" << -3 << "<none>";
    QTest::newRow("renames if/ifnot/else/end/loop markers")
        << "{loop x}{if x.a}{ifnot x.b}{else x.c}{end x.d}{loop x.e}{end x}" << 1
        << "{if x0.a}{ifnot x0.b}{else x0.c}{end x0.d}{loop x0.e}";
    QTest::newRow("other loops untouched") << "{loop x}{xy.z}{x}{y.x.q}{end x}" << 1 << "{xy.z}{x}{y.x.q}";
    QTest::newRow("header is not headers") << "{loop headers}a{end headers}" << 1 << "{loop headers}a{end headers}";
    QTest::newRow("else of a later block") << "{loop x}a{end x}{else x}" << 0 << "{else x}";
}

void TestTemplates::loop()
{
    QFETCH(QString, source);
    QFETCH(int, repetitions);
    QFETCH(QString, result);
    Template t(source, "t");
    const QString name = source.contains("headers") ? "header" : "x";
    t.loop(name, repetitions);
    QCOMPARE(QString(t), result);
}

void TestTemplates::twoBlocksOfOneLoop()
{
    Template t("{loop x}a{x.i}{end x}|{loop x}b{end x}", "t");
    QCOMPARE(t.loop("x", 2), 2);
    QCOMPARE(QString(t), QString("a{x0.i}a{x1.i}|bb"));
}

void TestTemplates::variableValueHoldingItsOwnMarker()
{
    Template t("{v} and {v}", "t");
    QCOMPARE(t.setVariable("v", "<{v}>"), 2);
    QCOMPARE(QString(t), QString("<{v}> and <{v}>"));
}

void TestTemplates::valuesFilledTogetherAreNeverScanned()
{
    LogCapture log;
    Template t("{a}|{b}|{a}|{{b}}|{c", "together");
    t.enableWarnings(true);
    QCOMPARE(t.setVariables({{"a", "{b}"}, {"b", "{a}"}, {"gone", "x"}}), 4);
    QCOMPARE(QString(t), QString("{b}|{a}|{b}|{{a}}|{c"));
    QCOMPARE(log.count("Template: missing variable {gone} in together"), 1);
    QCOMPARE(log.count("Template: missing variable"), 1);
}

void TestTemplates::markersAreCaseSensitive()
{
    Template t("{Loop x}a{end x} {X}", "t");
    QCOMPARE(t.loop("x", 3), 0);
    QCOMPARE(t.setVariable("x", "1"), 0);
    QCOMPARE(QString(t), QString("{Loop x}a{end x} {X}"));
}

void TestTemplates::missingVariableWarnsOnlyWhenEnabled()
{
    LogCapture log;
    Template t("text", "demo-de");
    QCOMPARE(t.setVariable("path", "/"), 0);
    QCOMPARE(t.loop("header", 1), 0);
    QCOMPARE(log.count("Template:"), 0);
    t.enableWarnings(true);
    t.setVariable("path", "/");
    t.loop("header", 1);
    QCOMPARE(log.count("Template: missing variable {path} in demo-de"), 1);
    QCOMPARE(log.count("Template: missing loop {loop header} in demo-de"), 1);
}

void TestTemplates::missingLoopEndEndsTheExpansion()
{
    LogCapture log;
    Template t("a{loop x}{x.v}{loop x}b{end x}c{loop x}tail", "broken");
    // The first two start markers pair with the one end marker; the last has none.
    const int blocks = t.loop("x", 2);
    QCOMPARE(log.count("Template: missing loop end {end x} in broken"), 1);
    QCOMPARE(blocks, 1);
    QVERIFY(t.endsWith("{loop x}tail"));
    QVERIFY(t.size() < 200);
}

void TestTemplates::explodingNestedLoopsStopGrowing()
{
    LogCapture log;
    // Every pass re-expands the copies: 8^12 characters without a limit.
    QString source;
    for (int i = 0; i < 12; ++i)
        source += "{loop x}";
    source += "abcdefgh";
    for (int i = 0; i < 12; ++i)
        source += "{end x}";
    Template t(source, "nested");
    t.loop("x", 8);
    QVERIFY(t.size() <= 4 * 1024 * 1024);
    QCOMPARE(log.count("Template: loop {loop x} in nested grows beyond"), 1);
}

// Many blocks of one loop, and blocks nested in themselves, expand fully
// however many there are: a block's expansion is scanned again, the rest of
// the document is not. Only what the expansions copy is bounded.
void TestTemplates::expansionWorkIsBounded()
{
    LogCapture log;
    Template rows(QString("<tr>{loop x}ab{end x}</tr>").repeated(100000), "rows");
    QCOMPARE(rows.loop("x", 2), 100000);
    QCOMPARE(rows, QString("<tr>abab</tr>").repeated(100000));

    Template nested(QString("{loop x}{loop x}ab{end x}{end x}").repeated(20000), "nested");
    QCOMPARE(nested.loop("x", 1), 40000);
    QCOMPARE(nested, QString("ab").repeated(20000));
    QCOMPARE(log.count("takes too long"), 0);

    // One repetition of a block holding a megabyte and the next block of its
    // own loop copies that megabyte once per level: 40 levels stop.
    const QString deep = QString("{loop x}").repeated(40) + QString(1 << 20, 'a') + QString("{end x}").repeated(40);
    Template copies(deep, "copies");
    const int blocks = copies.loop("x", 1);
    QVERIFY(blocks > 1 && blocks < 40);
    QCOMPARE(log.count("Template: loop {loop x} in copies takes too long, expansion stopped"), 1);
}

// Every input the template fuzzer once found too slow, read as the fuzzer
// reads it: each document stays within the bound (the time each takes is
// printed).
void TestTemplates::fuzzFindingsStayWithinTheDocumentBound_data()
{
    QTest::addColumn<QString>("path");
    const QDir dir(TORVANE_SOURCE_DIR "/tests/fuzz/regressions/template");
    const QStringList files = dir.entryList(QDir::Files);
    QVERIFY(!files.isEmpty());
    for (const QString& file : files)
        QTest::newRow(qPrintable(file)) << dir.filePath(file);
}

void TestTemplates::fuzzFindingsStayWithinTheDocumentBound()
{
    QFETCH(QString, path);
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    int largest = 0;
    QElapsedTimer timer;
    {
        LogCapture log;
        timer.start();
        runTemplateInput(file.readAll(), [&](const Template& t) { largest = qMax(largest, t.size()); });
    }
    const qint64 ms = timer.elapsed();
    qDebug("%s: %lld ms, largest document %d characters", qPrintable(path.section('/', -1)), ms, largest);
    // Their time is held by the fuzz stage, which replays them under its own
    // timeout before anything else.
    QVERIFY(largest <= 4 * 1024 * 1024);
}

void TestTemplates::candidateOrder_data()
{
    QTest::addColumn<QString>("locales");
    QTest::addColumn<QStringList>("files");
    QTest::newRow("German, then English") << "de-DE,de;q=0.9,en;q=0.8"
                                          << QStringList{"demo-de_DE", "demo-de", "demo-en", "demo"};
    QTest::newRow("no header") << "" << QStringList{"demo"};
    QTest::newRow("en-US, en") << "en-US, en" << QStringList{"demo-en_US", "demo-en", "demo"};
    QTest::newRow("quality value") << "fr;q=0.5" << QStringList{"demo-fr", "demo"};
    QTest::newRow("separators and dots are no tags")
        << "x/../../secret,..\\up,a.b,de" << QStringList{"demo-de", "demo"};
    QTest::newRow("NUL and controls are no tags") << QString::fromUtf16(u"d\0e,f\ng,en", 10) << QStringList{"demo-en", "demo"};
    QTest::newRow("tags of 35 characters at most")
        << QString(36, 'a') + "," + QString(35, 'b') << QStringList{"demo-" + QString(35, 'b'), "demo"};
    QStringList many;
    QStringList tried;
    for (int i = 0; i < 40; ++i)
        many.append("l" + QString::number(i));
    for (int i = 0; i < 32; ++i)
        tried.append("demo-l" + QString::number(i));
    QTest::newRow("32 languages at most") << many.join(',') << tried + QStringList{"demo"};
}

void TestTemplates::candidateOrder()
{
    QFETCH(QString, locales);
    QFETCH(QStringList, files);
    QTemporaryDir dir;
    TemplateLoader loader(settings(dir, {}));
    LogCapture log;
    const Template t = loader.getTemplate("demo", locales);
    QVERIFY(t.isEmpty());
    QStringList tried;
    for (const QString& line : log.messages().filter("TemplateCache: trying file "))
        tried.append(line.section('/', -1).remove(".tpl"));
    QCOMPARE(tried, files);
    QCOMPARE(log.count("TemplateCache: cannot find template demo"), 1);
}

void TestTemplates::foundVariantNamesTheTemplate()
{
    QTemporaryDir dir;
    writeFile(dir.filePath("demo-en.tpl"), "english {missing}");
    writeFile(dir.filePath("demo.tpl"), "default");
    TemplateLoader loader(settings(dir, {}));
    Template t = loader.getTemplate("demo", "en-US, en");
    QCOMPARE(QString(t), QString("english {missing}"));
    QCOMPARE(t.sourceName(), QString("demo-en"));
    QCOMPARE(QString(loader.getTemplate("demo", "it")), QString("default"));
}

void TestTemplates::secondLookupReadsNoFile()
{
    QTemporaryDir dir;
    writeFile(dir.filePath("demo.tpl"), "cached");
    TemplateCache cache(settings(dir, {}));
    QCOMPARE(QString(cache.getTemplate("demo", "")), QString("cached"));
    LogCapture log;
    QCOMPARE(QString(cache.getTemplate("demo", "")), QString("cached"));
    QCOMPARE(log.count("TemplateCache: trying cached demo"), 1);
    QCOMPARE(log.count("TemplateCache: trying file"), 0);
}

void TestTemplates::missingFileIsRememberedUntilItExpires()
{
    QTemporaryDir dir;
    TemplateCache cache(settings(dir, {{"cacheTime", 300}}));
    QVERIFY(cache.getTemplate("late", "").isEmpty());
    writeFile(dir.filePath("late.tpl"), "here now");
    QVERIFY(cache.getTemplate("late", "").isEmpty());
    QTest::qWait(350);
    QCOMPARE(QString(cache.getTemplate("late", "")), QString("here now"));
}

void TestTemplates::templateLargerThanTheCacheIsNeverCached()
{
    QTemporaryDir dir;
    writeFile(dir.filePath("big.tpl"), "elevenchars");
    TemplateCache cache(settings(dir, {{"cacheSize", 10}}));
    LogCapture log;
    for (int i = 0; i < 3; ++i)
        QCOMPARE(QString(cache.getTemplate("big", "")), QString("elevenchars"));
    QCOMPARE(log.count("TemplateCache: trying file"), 3);
}

// Every distinct missing name is remembered for a while, but not all of them
// for ever: an early miss is looked up on disk again after many others.
void TestTemplates::rememberedMissesAreBounded()
{
    QTemporaryDir dir;
    writeFile(dir.filePath("demo.tpl"), "default");
    TemplateCache cache(settings(dir, {{"cacheTime", 0}}));
    LogCapture log;
    cache.getTemplate("demo", "first");
    cache.getTemplate("demo", "first");
    QCOMPARE(log.count("demo-first.tpl"), 1);
    for (int i = 0; i < 1000; ++i)
        cache.getTemplate("demo", "x" + QString::number(i));
    log.clear();
    cache.getTemplate("demo", "first");
    QCOMPARE(log.count("demo-first.tpl"), 1);
}

void TestTemplates::unknownEncodingFallsBackToTheLocaleCodec()
{
    QTemporaryDir dir;
    writeFile(dir.filePath("demo.tpl"), "plain");
    LogCapture log;
    TemplateLoader loader(settings(dir, {{"encoding", "no-such-codec"}}));
    QCOMPARE(log.count("no-such-codec"), 1);
    QCOMPARE(QString(loader.getTemplate("demo")), QString("plain"));
}

void TestTemplates::relativePathAndEncoding()
{
    QTemporaryDir dir;
    QVERIFY(QDir(dir.path()).mkpath("etc/tpl"));
    writeFile(dir.filePath("etc/tpl/demo.tpl"), "caf\xe9");
    TemplateLoader loader(settings(dir, {{"path", "tpl"}, {"encoding", "ISO-8859-1"}}));
    QCOMPARE(QString(loader.getTemplate("demo")), QString::fromUtf8("café"));
}

QTEST_GUILESS_MAIN(TestTemplates)
#include "tst_templates.moc"
