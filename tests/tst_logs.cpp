#include "TestSupport.h"

#include "diag/ErrorLog.h"
#include "diag/LogHousekeeping.h"
#include "platform/Clock.h"

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
    void emergencyFileName_data();
    void emergencyFileName();
    void pruneKeepsTenNewest();
    void sortKeyTail();

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
// record goes to standard error, whole.
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
    log.Err2File(
        QString(), QStringLiteral("SendAll - $x"), 0, QString(), QStringLiteral("Bufs.TXT"));
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
    // Any other file's record carries the full record too.
    QCOMPARE(lines.at(2),
        QStringLiteral("07/12/2026 12:00:10 : SendAll - $xError Number: 0Description: "));
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

QTEST_GUILESS_MAIN(TestLogs)
#include "tst_logs.moc"
