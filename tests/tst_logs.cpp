#include "TestSupport.h"

#include "diag/ErrorLog.h"
#include "diag/LogHousekeeping.h"
#include "diag/StderrLog.h"
#include "platform/Clock.h"
#include "status/LogTail.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryFile>
#include <QtTest>

#include <cstdio>
#include <unistd.h>

class TestLogs : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void debugLineLayout();
    void otherFilesGetTheMessageAlone();
    void debugFileNameIgnoresCase();
    void trimAtTheLimit_data();
    void trimAtTheLimit();
    void emergencyFileWhenAppendFails();
    void standardErrorWhenNoFileCanBeWritten();
    void lineFilesAreKeptBounded();
    void failedCopyIsOneWarningAMinute();
    void emergencyFileName_data();
    void emergencyFileName();
    void pruneKeepsTenNewest();
    void sortKeyTail();
    void trimKeepsTheCutPart();
    void repeatedRecordWrittenOnceAMinute();
    void repeatCountWrittenWithoutAnotherRecord();
    void repeatCountWrittenWhenTheRepeatingStops_data();
    void repeatCountWrittenWhenTheRepeatingStops();
    void stderrCopy_data();
    void stderrCopy();
    void stderrRepeatsCountedOverFiveMinutes();
    void checkModeWritesNoFile();
    void everySinkSeesWhatTheFileHoldsBack();

private:
    static void makeFile(const QString &path, qint64 size, char fill);
    static void setModified(const QString &path, const QDateTime &when);
};

void TestLogs::makeFile(const QString &path, qint64 size, char fill)
{
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    QByteArray chunk(size, fill);
    // The last bytes are numbered so that a test can see which end was kept.
    if (size >= 10)
        chunk.replace(size - 10, 10, "0123456789");
    f.write(chunk);
}

void TestLogs::setModified(const QString &path, const QDateTime &when)
{
    QFile f(path);
    QVERIFY(f.open(QIODevice::ReadWrite));
    QVERIFY(f.setFileTime(when, QFileDevice::FileModificationTime));
}

void TestLogs::debugLineLayout()
{
    TempHome home;
    Clock clock;
    clock.setNow(QDateTime(QDate(2026, 12, 7), QTime(14, 3, 5)));
    ErrorLog log(home.path(), clock);
    log.Err2File(QStringLiteral("StartApp"), QString(), 5,
        QStringLiteral("Invalid procedure call or argument"), QStringLiteral("Debug.TXT"));
    log.Err2File(QStringLiteral("EndProgram"), QStringLiteral("TimerFuncs"), 0, QString(),
        QStringLiteral("Debug.TXT"));
    QCOMPARE(home.read(QStringLiteral("Debug.TXT")),
        QByteArray("07/12/2026 14:03:05 StartApp: Error Number: 5Description: Invalid procedure "
                   "call or argument\r\n"
                   "07/12/2026 14:03:05 EndProgram: TimerFuncsError Number: 0Description: \r\n"));
}

void TestLogs::otherFilesGetTheMessageAlone()
{
    TempHome home;
    Clock clock;
    ErrorLog log(home.path(), clock);
    log.Err2File(QString(), QStringLiteral("SendAll - $NotifyOrganization,dedod"), 0, QString(),
        QStringLiteral("Bufs.TXT"));
    log.Err2File(QString(), QStringLiteral("נהג"), 0, QString(), QStringLiteral("Bufs.TXT"));
    QCOMPARE(home.read(QStringLiteral("Bufs.TXT")),
        QByteArray("SendAll - $NotifyOrganization,dedod\r\n\xF0\xE4\xE2\r\n"));
    QVERIFY(!home.exists(QStringLiteral("Debug.TXT")));
}

void TestLogs::debugFileNameIgnoresCase()
{
    TempHome home;
    Clock clock;
    ErrorLog log(home.path(), clock);
    log.Err2File(QStringLiteral("P"), QStringLiteral("m"), 1, QStringLiteral("d"),
        QStringLiteral("debug.txt"));
    QVERIFY(QString::fromLatin1(home.read(QStringLiteral("debug.txt")))
                .contains(QStringLiteral(" P: mError Number: 1Description: d")));
}

void TestLogs::trimAtTheLimit_data()
{
    QTest::addColumn<qint64>("size");
    QTest::addColumn<qint64>("after");
    QTest::newRow("exactly 1,000,000 bytes is left alone") << qint64(1000000) << qint64(1000000);
    QTest::newRow("1,000,001 bytes is cut") << qint64(1000001) << qint64(500000);
}

void TestLogs::trimAtTheLimit()
{
    QFETCH(qint64, size);
    QFETCH(qint64, after);
    TempHome home;
    makeFile(home.file(QStringLiteral("Debug.TXT")), size, 'a');
    LogHousekeeping::run(home.path(), QString());
    const QByteArray content = home.read(QStringLiteral("Debug.TXT"));
    QCOMPARE(content.size(), after);
    QVERIFY(content.endsWith("0123456789")); // the newest end is the one kept
    QVERIFY(!home.exists(QStringLiteral("Debug.TXT.DEL")));
}

void TestLogs::emergencyFileWhenAppendFails()
{
    TempHome home;
    Clock clock;
    clock.setNow(QDateTime(QDate(2026, 12, 7), QTime(12, 0, 10, 250)));
    // A folder in place of the log file makes every append fail.
    QVERIFY(QDir(home.path()).mkdir(QStringLiteral("Debug.TXT")));
    ErrorLog log(home.path(), clock);
    log.Err2File(QStringLiteral("QueryDB"), QStringLiteral("Step - Quering"), 3021,
        QStringLiteral("EOF"), QStringLiteral("Debug.TXT"));
    const QString name = QStringLiteral("ERR43210.2500.ERR");
    QVERIFY2(home.exists(name), qPrintable(QDir(home.path()).entryList().join(QLatin1Char(','))));
    const QStringList lines = home.lines(name);
    QCOMPARE(lines.size(), 2);
    QCOMPARE(lines.at(0),
        QStringLiteral(
            "07/12/2026 12:00:10 QueryDB: Step - QueringError Number: 3021Description: EOF"));
    QVERIFY(lines.at(1).startsWith(QStringLiteral("07/12/2026 12:00:10Err2File 75 ")));
}

// Neither the log nor an emergency file can be made (the program folder's path
// runs through a regular file, which not even root can write under): the
// record goes to standard error, whole; a copy of a pushed message does not.
void TestLogs::standardErrorWhenNoFileCanBeWritten()
{
    TempHome home;
    home.write(QStringLiteral("plain"), QByteArray("not a folder"));
    Clock clock;
    clock.setNow(QDateTime(QDate(2026, 12, 7), QTime(12, 0, 10, 250)));
    ErrorLog log(home.file(QStringLiteral("plain/Volmara")), clock);

    QTemporaryFile capture;
    QVERIFY(capture.open());
    std::fflush(stderr);
    const int saved = ::dup(STDERR_FILENO);
    QVERIFY(saved >= 0);
    QVERIFY(::dup2(capture.handle(), STDERR_FILENO) >= 0);
    log.Err2File(QStringLiteral("QueryDB"), QString::fromUtf8("Step - נהג"), 3021,
        QStringLiteral("EOF"), QStringLiteral("Debug.TXT"));
    // A pushed message's copy is never written out elsewhere: one warning
    // names the file instead, and only once a minute.
    for (int i = 0; i < 50; ++i)
        log.copyLine(QStringLiteral("Bufs.TXT"), QStringLiteral("SendAll - $x"));
    std::fflush(stderr);
    ::dup2(saved, STDERR_FILENO);
    ::close(saved);

    capture.seek(0);
    const QStringList lines = QString::fromLocal8Bit(capture.readAll()).split(QLatin1Char('\n'));
    QCOMPARE(lines.size(), 5); // two records of two lines, and the last line end
    QCOMPARE(lines.at(0),
        QString::fromUtf8(
            "07/12/2026 12:00:10 QueryDB: Step - נהגError Number: 3021Description: EOF"));
    QVERIFY2(lines.at(1).startsWith(QStringLiteral("07/12/2026 12:00:10Err2File 75 ")),
        qPrintable(lines.at(1)));
    QVERIFY2(lines.at(2).startsWith(QStringLiteral("07/12/2026 12:00:10 Err2File: Bufs.TXT "
                                                   "cannot be written; its copies are dropped: "
                                                   "Error Number: 75")),
        qPrintable(lines.at(2)));
    QVERIFY(!lines.join(QLatin1Char('\n')).contains(QStringLiteral("$x")));
    QVERIFY(QFileInfo(home.file(QStringLiteral("plain"))).isFile());
}

void TestLogs::lineFilesAreKeptBounded()
{
    TempHome home;
    Clock clock;
    ErrorLog log(home.path(), clock);
    makeFile(home.file(QStringLiteral("Bufs.TXT")), 1000000, 'b');
    log.Err2File(
        QString(), QStringLiteral("SendAll - last"), 0, QString(), QStringLiteral("Bufs.TXT"));
    const QByteArray content = home.read(QStringLiteral("Bufs.TXT"));
    QCOMPARE(content.size(), 500000);
    QVERIFY(content.endsWith("SendAll - last\r\n"));
}

// The folder takes the debug log but not the copy of the pushed messages.
void TestLogs::failedCopyIsOneWarningAMinute()
{
    TempHome home;
    QVERIFY(QDir(home.path()).mkdir(QStringLiteral("Bufs.TXT")));
    Clock clock;
    const QDateTime start(QDate(2026, 12, 7), QTime(12, 0, 0));
    ErrorLog log(home.path(), clock);
    RecordingSink sink;
    log.addSink(&sink);
    for (int s = 0; s < 150; ++s) {
        clock.setNow(start.addSecs(s));
        log.copyLine(QStringLiteral("Bufs.TXT"), QStringLiteral("SendAll - $NotifyOrganization"));
    }
    const QStringList lines = home.lines(QStringLiteral("Debug.TXT"));
    QCOMPARE(lines.size(), 3); // 12:00:00, 12:01:00, 12:02:00
    QVERIFY(lines.filter(QStringLiteral("Bufs.TXT cannot be written")).size() == 3);
    QVERIFY(!lines.join(QLatin1Char('\n')).contains(QStringLiteral("NotifyOrganization")));
    QCOMPARE(sink.records.size(), 3);
    QVERIFY(sink.records.first().severity == LogRecord::Severity::Warning);
    QVERIFY(!home.exists(QStringLiteral("ERR43200.0000.ERR")));
}

void TestLogs::emergencyFileName_data()
{
    QTest::addColumn<double>("seconds");
    QTest::addColumn<QString>("name");
    QTest::newRow("afternoon") << 43210.25 << QStringLiteral("ERR43210.2500.ERR");
    QTest::newRow("just after midnight") << 5.5 << QStringLiteral("ERR005.5000.ERR");
    QTest::newRow("three digits") << 123.0 << QStringLiteral("ERR123.0000.ERR");
}

void TestLogs::emergencyFileName()
{
    QFETCH(double, seconds);
    QFETCH(QString, name);
    QCOMPARE(ErrorLog::emergencyFileName(seconds), name);
}

void TestLogs::pruneKeepsTenNewest()
{
    TempHome home;
    // Eleven files: one of 1 January and ten of later days of December; the key
    // has no year, so the 1 January file (written after New Year) sorts first
    // and goes, although it is the newest.
    const QString janFile = QStringLiteral("ERR00100.0000.ERR");
    makeFile(home.file(janFile), 10, 'x');
    setModified(home.file(janFile), QDateTime(QDate(2027, 1, 1), QTime(0, 1, 40)));
    for (int i = 0; i < 10; ++i) {
        const QString name = QStringLiteral("ERR%1.0000.ERR").arg(1000 + i);
        makeFile(home.file(name), 10, 'x');
        setModified(home.file(name), QDateTime(QDate(2026, 12, 20 + i), QTime(10, 0)));
    }
    home.write(QStringLiteral("Debug.TXT"), "keep me");
    LogHousekeeping::run(home.path(), QStringLiteral("err*.err"));
    const QStringList left = QDir(home.path()).entryList({QStringLiteral("ERR*.ERR")}, QDir::Files);
    QCOMPARE(left.size(), 10);
    QVERIFY(!left.contains(janFile));
    QVERIFY(home.exists(QStringLiteral("Debug.TXT")));
}

void TestLogs::sortKeyTail()
{
    const QDateTime when(QDate(2026, 12, 31), QTime(23, 59, 58));
    QCOMPARE(LogHousekeeping::sortKey(QStringLiteral("C:\\V\\ERR43210.1234.ERR"), when),
        QStringLiteral("123123595834.ER"));
    QCOMPARE(LogHousekeeping::sortKey(QStringLiteral("E"), when), QStringLiteral("1231235958E___"));
}

// The part cut off is kept as "Debug.1.TXT", replacing the older one, so that
// an outage's first records survive the trim.
void TestLogs::trimKeepsTheCutPart()
{
    TempHome home;
    const QString path = home.file(QStringLiteral("Debug.TXT"));
    QByteArray first;
    for (int i = 0; first.size() < 1000001; ++i)
        first += QByteArray::number(i).rightJustified(9, '0') + '\n';
    home.write(QStringLiteral("Debug.TXT"), first);
    home.write(QStringLiteral("Debug.1.TXT"), "older\n");
    LogHousekeeping::run(home.path(), QString());
    const QByteArray kept = home.read(QStringLiteral("Debug.TXT"));
    const QByteArray cut = home.read(QStringLiteral("Debug.1.TXT"));
    QCOMPARE(kept.size(), qint64(LogHousekeeping::kKeepBytes));
    QCOMPARE(cut + kept, first); // nothing lost, nothing twice
    QVERIFY(cut.startsWith("000000000\n"));
    QVERIFY(!home.exists(QStringLiteral("Debug.TXT.DEL")));

    // The next trim replaces the previous part.
    home.write(QStringLiteral("Debug.TXT"), kept + QByteArray(600000, 'n'));
    LogHousekeeping::trim(path);
    QCOMPARE(home.read(QStringLiteral("Debug.1.TXT")), kept + QByteArray(100000, 'n'));
    QCOMPARE(LogHousekeeping::previousPath(QStringLiteral("/x/Bufs.TXT")),
        QDir::toNativeSeparators(QStringLiteral("/x/Bufs.1.TXT")));
}

// An outage repeats one failure every second: ten a minute are written, the
// rest are counted and the count is written once the minute is over.
void TestLogs::repeatedRecordWrittenOnceAMinute()
{
    TempHome home;
    Clock clock;
    const QDateTime start(QDate(2026, 3, 2), QTime(6, 0, 0));
    clock.setNow(start);
    ErrorLog log(home.path(), clock);
    log.Err2File(QStringLiteral("StartApp"), QStringLiteral("first"), 0, QString(),
        QStringLiteral("Debug.TXT"));
    for (int s = 0; s < 90; ++s) {
        clock.setNow(start.addSecs(s));
        log.Err2File(QStringLiteral("sckmap_Error"), QStringLiteral("Can't connect to Map"), 0,
            QString(), QStringLiteral("Debug.TXT"));
        // Another procedure's record between them is counted on its own and
        // does not end this repeating.
        if (s % 30 == 0)
            log.Err2File(QStringLiteral("MapConnect"), QStringLiteral("Can't connect to Map"), 5,
                QStringLiteral("x"), QStringLiteral("Debug.TXT"));
    }
    const QStringList lines = home.lines(QStringLiteral("Debug.TXT"));
    QCOMPARE(lines.first(),
        QStringLiteral("02/03/2026 06:00:00 StartApp: firstError Number: 0Description: "));
    const QStringList plain = lines.filter(QStringLiteral("Can't connect to MapError Number: 0"));
    // Ten in the first minute, ten more in the second (seconds 60 to 69).
    QCOMPARE(plain.size(), 20);
    QCOMPARE(lines.filter(QStringLiteral("Error Number: 5")).size(), 3);
    const QStringList counted = lines.filter(QStringLiteral("repeated"));
    QCOMPARE(counted.size(), 1);
    QCOMPARE(counted.first(),
        QStringLiteral("02/03/2026 06:01:00 sckmap_Error: Can't connect to Map [repeated 50 more "
                       "times since 06:00:00]Error Number: 0Description: "));
    // The second minute's count waits for its end.
    clock.setNow(start.addSecs(121));
    log.flushRepeats();
    QVERIFY(home.lines(QStringLiteral("Debug.TXT"))
                .last()
                .contains(QStringLiteral("[repeated 20 more times since 06:01:00]")));
}

void TestLogs::repeatCountWrittenWithoutAnotherRecord()
{
    TempHome home;
    Clock clock;
    clock.setNow(QDateTime(QDate(2026, 3, 2), QTime(6, 0, 0)));
    ErrorLog log(home.path(), clock);
    for (int i = 0; i < 12; ++i)
        log.logMessage(QStringLiteral("P"), QStringLiteral("m"));
    log.flushRepeats(); // the minute is not over: nothing yet
    QCOMPARE(home.lines(QStringLiteral("Debug.TXT")).size(), 10);
    log.flushRepeats(true); // the end of the program: everything counted
    QCOMPARE(home.lines(QStringLiteral("Debug.TXT")).size(), 11);
    QVERIFY(home.lines(QStringLiteral("Debug.TXT"))
                .last()
                .contains(QStringLiteral("[repeated 2 more")));
}

namespace {

struct CapturedStderr : StderrLog
{
    CapturedStderr() : StderrLog([this](const QByteArray &b) { out += b; }) { }
    QByteArray out;
};

} // namespace

// An outage's failure repeats; then the outcome changes. The count is
// written at that moment, in the debug log and on standard error, not when
// the counting window ends (a minute, five minutes) or never.
void TestLogs::repeatCountWrittenWhenTheRepeatingStops_data()
{
    QTest::addColumn<QString>("stop");
    QTest::addColumn<bool>("written");
    QTest::newRow("the procedure works again") << "endRepeats" << true;
    QTest::newRow("another outcome of the procedure") << "other message" << true;
    QTest::newRow("another procedure's record") << "other procedure" << false;
}

void TestLogs::repeatCountWrittenWhenTheRepeatingStops()
{
    QFETCH(QString, stop);
    QFETCH(bool, written);
    TempHome home;
    Clock clock;
    const QDateTime start(QDate(2026, 3, 2), QTime(6, 0, 0));
    ErrorLog log(home.path(), clock);
    CapturedStderr err;
    log.addSink(&err);
    for (int i = 0; i < 15; ++i) {
        clock.setNow(start.addSecs(i));
        log.Err2File(QStringLiteral("tmrDB_Timer"), QStringLiteral("Map State - 9 Step: 3552"), 0,
            QString(), QStringLiteral("Debug.TXT"), LogRecord::Severity::Error);
    }
    clock.setNow(start.addSecs(20));
    if (stop == QLatin1String("endRepeats"))
        log.endRepeats(QStringLiteral("tmrDB_Timer"));
    else if (stop == QLatin1String("other message"))
        log.logMessage(QStringLiteral("tmrDB_Timer"), QStringLiteral("JOBS Server State - Broken"));
    else
        log.logMessage(QStringLiteral("QueryDB"), QStringLiteral("x"));
    const QStringList counted = home.lines(QStringLiteral("Debug.TXT")).filter(QStringLiteral("["));
    QCOMPARE(counted.size(), written ? 1 : 0);
    QCOMPARE(err.out.contains("\xE2\x80\xA6 repeated 14 times in the last 20 seconds"), written);
    if (!written)
        return;
    QVERIFY2(counted.first().startsWith(QStringLiteral("02/03/2026 06:00:20 tmrDB_Timer: Map "
                                                       "State - 9 Step: 3552 [repeated 5 more "
                                                       "times since 06:00:00]")),
        qPrintable(counted.first()));
    // The count comes before the record that ended the repeating.
    if (stop == QLatin1String("other message"))
        QVERIFY(home.lines(QStringLiteral("Debug.TXT")).last().contains(QStringLiteral("Broken")));
}

void TestLogs::stderrCopy_data()
{
    QTest::addColumn<QString>("procedure");
    QTest::addColumn<QString>("message");
    QTest::addColumn<int>("number");
    QTest::addColumn<QString>("description");
    QTest::addColumn<QByteArray>("line");
    QTest::newRow("progress") << "EndProgram"
                              << "TimerFuncs" << 0 << ""
                              << QByteArray("info: EndProgram: TimerFuncs\n");
    QTest::newRow("failure, Hebrew in UTF-8")
        << "SQLConnect"
        << "JOBS Data Source = x, Catalog = ORVIK_Jobs: " << 5 << "נכשל"
        << QByteArray("error: SQLConnect: JOBS Data Source = x, Catalog = ORVIK_Jobs (Error "
                      "Number: 5, Description: \xD7\xA0\xD7\x9B\xD7\xA9\xD7\x9C)\n");
    QTest::newRow("empty message")
        << "MDIForm_Load"
        << "" << 13 << "Type mismatch"
        << QByteArray("error: MDIForm_Load: (Error Number: 13, Description: Type mismatch)\n");
    QTest::newRow("driver text on two lines stays one line")
        << "QueryDB"
        << "" << 208 << "line one\nline two"
        << QByteArray("error: QueryDB: (Error Number: 208, Description: line one line two)\n");
}

void TestLogs::stderrCopy()
{
    QFETCH(QString, procedure);
    QFETCH(QString, message);
    QFETCH(int, number);
    QFETCH(QString, description);
    QFETCH(QByteArray, line);
    TempHome home;
    Clock clock;
    ErrorLog log(home.path(), clock);
    CapturedStderr err;
    log.addSink(&err);
    log.Err2File(procedure, message, number, description, QStringLiteral("Debug.TXT"));
    // Other files are not the debug log: not copied.
    log.Err2File(procedure, message, number, description, QStringLiteral("Bufs.TXT"));
    QCOMPARE(err.out, line);
    QVERIFY(home.exists(QStringLiteral("Debug.TXT")));
}

void TestLogs::stderrRepeatsCountedOverFiveMinutes()
{
    TempHome home;
    Clock clock;
    const QDateTime start(QDate(2026, 3, 2), QTime(6, 0, 0));
    clock.setNow(start);
    ErrorLog log(home.path(), clock);
    CapturedStderr err;
    log.addSink(&err);
    for (int i = 0; i < 240; ++i) {
        clock.setNow(start.addMSecs(qint64(i) * 1250));
        log.Err2File(QStringLiteral("sckmap_Error"), QStringLiteral("Can't connect to Map"), 0,
            QString(), QStringLiteral("Debug.TXT"), LogRecord::Severity::Error);
    }
    log.logMessage(QStringLiteral("EndProgram"), QStringLiteral("TimerFuncs"));
    clock.setNow(start.addSecs(300));
    log.flushRepeats();
    const QList<QByteArray> lines = err.out.split('\n');
    QCOMPARE(lines.size(), 4); // three lines and the empty rest
    QCOMPARE(lines.at(0), QByteArray("error: sckmap_Error: Can't connect to Map"));
    QCOMPARE(lines.at(1), QByteArray("info: EndProgram: TimerFuncs"));
    QCOMPARE(lines.at(2),
        QByteArray("error: sckmap_Error: Can't connect to Map \xE2\x80\xA6 repeated 239 times in "
                   "the last 5 minutes"));
}

// The settings check logs nowhere but its sink: it changes no file.
void TestLogs::checkModeWritesNoFile()
{
    TempHome home;
    Clock clock;
    ErrorLog log(home.path(), clock);
    CapturedStderr err;
    log.addSink(&err);
    log.setFileWrites(false);
    log.Err2File(QStringLiteral("SQLConnect"), QStringLiteral("x"), 5, QStringLiteral("d"),
        QStringLiteral("Debug.TXT"));
    log.Err2File(QString(), QStringLiteral("x"), 0, QString(), QStringLiteral("Bufs.TXT"));
    QVERIFY(!err.out.isEmpty());
    QCOMPARE(QDir(home.path()).entryList(QDir::Files | QDir::NoDotAndDotDot), QStringList());
}

// The status page's tail and the standard error copy both get every record,
// also the repeats the file only counts.
void TestLogs::everySinkSeesWhatTheFileHoldsBack()
{
    TempHome home;
    Clock clock;
    clock.setNow(QDateTime(QDate(2026, 3, 2), QTime(6, 0, 0)));
    ErrorLog log(home.path(), clock);
    CapturedStderr err;
    LogTail tail(5);
    log.addSink(&err);
    log.addSink(&tail);
    log.addSink(&tail); // once only
    for (int i = 0; i < ErrorLog::kRepeatsPerMinute + 5; ++i)
        log.Err2File(QStringLiteral("sckmap_Error"), QStringLiteral("x"), 0, QString(),
            QStringLiteral("Debug.TXT"), LogRecord::Severity::Error);
    QCOMPARE(home.lines(QStringLiteral("Debug.TXT")).size(), ErrorLog::kRepeatsPerMinute);
    QCOMPARE(tail.count(LogRecord::Severity::Error), quint64(ErrorLog::kRepeatsPerMinute + 5));
    QCOMPARE(tail.entries().size(), 5);
    QVERIFY(!err.out.isEmpty());

    log.removeSink(&tail);
    log.logMessage(QStringLiteral("EndProgram"), QStringLiteral("TimerFuncs"));
    QCOMPARE(tail.count(LogRecord::Severity::Info), quint64(0));
    QVERIFY(err.out.contains("info: EndProgram: TimerFuncs"));
}

QTEST_GUILESS_MAIN(TestLogs)
#include "tst_logs.moc"
