#include "TestSupport.h"

#include "platform/CodePage.h"
#include "platform/Convert.h"
#include "platform/DateTime.h"
#include "platform/Failure.h"
#include "platform/HangupSignal.h"
#include "platform/InstanceLock.h"
#include "platform/KeyedCollection.h"
#include "platform/ProfileFile.h"
#include "settings/Settings.h"

#include <QSignalSpy>
#include <QtTest>

#include <csignal>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

class TestPlatform : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void codePageRoundTrip_data();
    void codePageRoundTrip();
    void codePageUnknownCharacters();

    void readIni_data();
    void readIni();
    void readIniMissingFile();
    void writeIniCreatesAndReplaces();
    void writeIniKeepsOtherLinesAndUsesCrlf();
    void byteOrderMarkPassedOverAndKept();
    void unreadableFileIsNamedAndKept_data();
    void unreadableFileIsNamedAndKept();
    void instanceLockOnePerFolder();
    void hangupIsAReloadNotAnEnd();

    void keyedCollectionKeysIgnoreCase();
    void keyedCollectionOrder();
    void keyedCollectionFailures();

    void dateDifferences_data();
    void dateDifferences();
    void dateFormats();
    void dateFromVariant_data();
    void dateFromVariant();

    void conversions_data();
    void conversions();
    void trapCatchesEverything();
};

void TestPlatform::codePageRoundTrip_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("ascii") << QStringLiteral("$Q,0\r\n") << QByteArray("$Q,0\r\n");
    QTest::newRow("hebrew") << QStringLiteral("לא פעיל") << QByteArray("\xEC\xE0 \xF4\xF2\xE9\xEC");
    QTest::newRow("shekel and euro") << QStringLiteral("₪€") << QByteArray("\xA4\x80");
    QTest::newRow("tav and marks") << QStringLiteral("ת\u200F") << QByteArray("\xFA\xFE");
}

void TestPlatform::codePageRoundTrip()
{
    QFETCH(QString, text);
    QFETCH(QByteArray, bytes);
    QCOMPARE(CodePage::toBytes(text), bytes);
    QCOMPARE(CodePage::toText(bytes), text);
}

void TestPlatform::codePageUnknownCharacters()
{
    // Characters outside the code page become "?", undefined bytes U+FFFD.
    QCOMPARE(CodePage::toBytes(QStringLiteral("aБc")), QByteArray("a?c"));
    QCOMPARE(CodePage::toText(QByteArray("\x81\xFF")), QString(QStringLiteral("\uFFFD\uFFFD")));
    QCOMPARE(CodePage::toText(QByteArray("a\0b", 3)).size(), 3);
}

void TestPlatform::readIni_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QString>("section");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("expected");

    const QByteArray basic
        = "[Misc]\r\nDBInterval=30\r\nEmpty=\r\n[ORVIKMap]\r\nMapIP= 10.0.0.5 \r\n";
    QTest::newRow("plain") << basic << "Misc"
                           << "DBInterval"
                           << "30";
    QTest::newRow("names ignore case") << basic << "misc"
                                       << "dbinterval"
                                       << "30";
    QTest::newRow("trimmed") << basic << "ORVIKMap"
                             << "MapIP"
                             << "10.0.0.5";
    QTest::newRow("empty value is empty, not the default") << basic << "Misc"
                                                           << "Empty"
                                                           << "";
    QTest::newRow("missing key gives default") << basic << "Misc"
                                               << "Nope"
                                               << "dflt";
    QTest::newRow("key of another section") << basic << "ORVIKMap"
                                            << "DBInterval"
                                            << "dflt";
    // Values up to 4,096 characters are read whole (long ODBC connection
    // strings); a longer one is cut there.
    QTest::newRow("250 characters read whole")
        << QByteArray("[A]\r\nK=" + QByteArray(250, 'x') + "\r\n") << "A"
        << "K" << QString(250, 'x');
    QTest::newRow("300 characters read whole")
        << QByteArray("[A]\r\nK=" + QByteArray(300, 'y') + "\r\n") << "A"
        << "K" << QString(300, 'y');
    QTest::newRow("4,096 characters read whole")
        << QByteArray("[A]\r\nK=" + QByteArray(4096, 'z') + "\r\n") << "A"
        << "K" << QString(4096, 'z');
    QTest::newRow("5,000 characters cut to 4,096")
        << QByteArray("[A]\r\nK=" + QByteArray(4096, 'a') + QByteArray(904, 'b') + "\r\n") << "A"
        << "K" << QString(4096, 'a');
    QTest::newRow("NULs removed") << QByteArray("[A]\nK=a\0b\n", 10) << "A"
                                  << "K"
                                  << "ab";
    QTest::newRow("LF line ends") << QByteArray("[A]\nK=v\n") << "A"
                                  << "K"
                                  << "v";
    QTest::newRow("hebrew value") << QByteArray("[A]\r\nK=\xF9\xE5\xED\r\n") << "A"
                                  << "K" << QStringLiteral("שום");
    QTest::newRow("no sections at all") << QByteArray("K=v\r\n") << "A"
                                        << "K"
                                        << "dflt";
    QTest::newRow("binary junk") << QByteArray("\x01\x02[\xff\r\n=\r\n]]]\r\n", 13) << "A"
                                 << "K"
                                 << "dflt";
    QTest::newRow("comment line") << QByteArray("[A]\r\n;K=old\r\nK=new\r\n") << "A"
                                  << "K"
                                  << "new";
    // As the classic reader reads them: blanks around the value go before the
    // cut, then one pair of double quotes; the first of two sections wins.
    QTest::newRow("quoted value") << QByteArray("[Database]\r\nSQLServer=\"MY SERVER\"\r\n")
                                  << "Database"
                                  << "SQLServer"
                                  << "MY SERVER";
    QTest::newRow("blanks outside quotes go, inside stay")
        << QByteArray("[A]\r\nK=  \" padded \"  \r\n") << "A"
        << "K"
        << " padded ";
    QTest::newRow("one pair only") << QByteArray("[A]\r\nK=\"\"x\"\"\r\n") << "A"
                                   << "K"
                                   << "\"x\"";
    QTest::newRow("empty quotes") << QByteArray("[A]\r\nK=\"\"\r\n") << "A"
                                  << "K"
                                  << "";
    QTest::newRow("lone quote stays") << QByteArray("[A]\r\nK=\"\r\n") << "A"
                                      << "K"
                                      << "\"";
    QTest::newRow("unbalanced quote stays") << QByteArray("[A]\r\nK=\"open\r\n") << "A"
                                            << "K"
                                            << "\"open";
    QTest::newRow("quote inside stays") << QByteArray("[A]\r\nK=say \"hi\"\r\n") << "A"
                                        << "K"
                                        << "say \"hi\"";
    QTest::newRow("indented 5,000 characters keep 4,096")
        << QByteArray("[A]\r\nK=" + QByteArray(20, ' ') + QByteArray(5000, 'x') + "  \r\n") << "A"
        << "K" << QString(4096, 'x');
    QTest::newRow("quoted 5,000 characters cut to 4,096")
        << QByteArray("[A]\r\nK=\"" + QByteArray(5000, 'x') + "\"\r\n") << "A"
        << "K" << QString(4096, 'x');
    QTest::newRow("blank at the cut stays")
        << QByteArray("[A]\r\nK=" + QByteArray(4095, 'x') + " y\r\n") << "A"
        << "K" << QString(4095, 'x') + QLatin1Char(' ');
    const QByteArray twice = "[A]\r\nK=first\r\n[B]\r\nK=b\r\n[a]\r\nK=second\r\nL=late\r\n";
    QTest::newRow("first of two sections") << twice << "A"
                                           << "K"
                                           << "first";
    QTest::newRow("key only in the second section") << twice << "A"
                                                    << "L"
                                                    << "dflt";
}

void TestPlatform::readIni()
{
    QFETCH(QByteArray, file);
    QFETCH(QString, section);
    QFETCH(QString, key);
    QFETCH(QString, expected);
    TempHome home;
    home.write(QStringLiteral("Volmara.INI"), file);
    Settings settings(home.path());
    QCOMPARE(settings.ReadINI(section, key, QStringLiteral("dflt")), expected);
}

void TestPlatform::readIniMissingFile()
{
    TempHome home;
    Settings settings(home.path());
    QCOMPARE(settings.ReadINI(
                 QStringLiteral("ORVIKMap"), QStringLiteral("Port"), QStringLiteral("21953")),
        QStringLiteral("21953"));
}

void TestPlatform::writeIniCreatesAndReplaces()
{
    TempHome home;
    Settings settings(home.path());
    QVERIFY(settings.WriteINI(
        QStringLiteral("ORVIKMap"), QStringLiteral("MapIP"), QStringLiteral("1.2.3.4")));
    QVERIFY(settings.WriteINI(
        QStringLiteral("Misc"), QStringLiteral("DBInterval"), QStringLiteral("20")));
    QVERIFY(settings.WriteINI(
        QStringLiteral("orvikmap"), QStringLiteral("mapip"), QStringLiteral("5.6.7.8")));
    QVERIFY(settings.WriteINI(
        QStringLiteral("ORVIKMap"), QStringLiteral("Port"), QStringLiteral("21953")));
    QCOMPARE(settings.ReadINI(QStringLiteral("ORVIKMap"), QStringLiteral("MapIP"), QString()),
        QStringLiteral("5.6.7.8"));
    QCOMPARE(settings.ReadINI(QStringLiteral("ORVIKMap"), QStringLiteral("Port"), QString()),
        QStringLiteral("21953"));
    QCOMPARE(settings.ReadINI(QStringLiteral("Misc"), QStringLiteral("DBInterval"), QString()),
        QStringLiteral("20"));
    // The new key joins its own section, not the end of the file.
    QCOMPARE(home.lines(QStringLiteral("Volmara.INI")),
        QStringList({"[ORVIKMap]", "mapip=5.6.7.8", "Port=21953", "[Misc]", "DBInterval=20"}));
}

void TestPlatform::writeIniKeepsOtherLinesAndUsesCrlf()
{
    TempHome home;
    home.write(QStringLiteral("Volmara.INI"),
        "; site settings\n[Misc]\nSentLines2File=True\n\n[Database]\nSQLServer=srv\n");
    Settings settings(home.path());
    settings.WriteINI(QStringLiteral("Misc"), QStringLiteral("DBInterval"), QStringLiteral("שלום"));
    const QByteArray bytes = home.read(QStringLiteral("Volmara.INI"));
    QCOMPARE(bytes,
        QByteArray(
            "; site "
            "settings\r\n[Misc]\r\nSentLines2File=True\r\nDBInterval=\xF9\xEC\xE5\xED\r\n\r\n"
            "[Database]\r\nSQLServer=srv\r\n"));
}

void TestPlatform::byteOrderMarkPassedOverAndKept()
{
    TempHome home;
    home.write(QStringLiteral("Volmara.INI"), "\xEF\xBB\xBF[ORVIKMap]\r\nMapIP=10.0.0.5\r\n");
    Settings settings(home.path());
    QVERIFY(ProfileFile::startsWithUtf8Bom(settings.filePath()));
    // The first section is read, not lost behind the mark.
    QCOMPARE(settings.ReadINI(QStringLiteral("ORVIKMap"), QStringLiteral("MapIP"), QString()),
        QStringLiteral("10.0.0.5"));
    settings.WriteINI(QStringLiteral("ORVIKMap"), QStringLiteral("Port"), QStringLiteral("1"));
    QCOMPARE(home.read(QStringLiteral("Volmara.INI")),
        QByteArray("\xEF\xBB\xBF[ORVIKMap]\r\nMapIP=10.0.0.5\r\nPort=1\r\n"));
    home.write(QStringLiteral("Volmara.INI"), "[ORVIKMap]\r\n");
    QVERIFY(!ProfileFile::startsWithUtf8Bom(settings.filePath()));
}

static QByteArray utf16(const QString &text, bool bigEndian, bool mark)
{
    QByteArray out;
    if (mark)
        out += bigEndian ? "\xFE\xFF" : "\xFF\xFE";
    for (QChar c : text) {
        const char hi = char(c.unicode() >> 8), lo = char(c.unicode() & 0xFF);
        out.append(bigEndian ? hi : lo).append(bigEndian ? lo : hi);
    }
    return out;
}

void TestPlatform::unreadableFileIsNamedAndKept_data()
{
    // What Notepad's "Unicode" and "Unicode big endian" save, and the same
    // without the mark; the tests run as root, who reads a file of mode 000,
    // so the file that cannot be opened is a folder in its place.
    const QString ini = QStringLiteral("[ORVIKMap]\r\nMapIP=10.0.0.5\r\n");
    QTest::addColumn<QByteArray>("bytes"); // empty: a folder
    QTest::addColumn<QString>("why"); // empty: read as settings
    QTest::newRow("UTF-16 little-endian")
        << utf16(ini, false, true) << "is UTF-16 (little-endian) text, which is not read";
    QTest::newRow("UTF-16 big-endian")
        << utf16(ini, true, true) << "is UTF-16 (big-endian) text, which is not read";
    QTest::newRow("UTF-16 without its mark")
        << utf16(ini, false, false) << "is UTF-16 (little-endian) text, which is not read";
    QTest::newRow("a folder in place of the file") << QByteArray() << "cannot be read: ";
    QTest::newRow("Windows-1255 with a NUL is read")
        << QByteArray("[ORVIKMap]\r\nMapIP=10.0.0.5\0\r\nName=\xF9\xEC\r\n", 38) << QString();
}

void TestPlatform::unreadableFileIsNamedAndKept()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, why);
    TempHome home;
    Settings settings(home.path());
    if (bytes.isEmpty())
        QVERIFY(QDir(home.path()).mkdir(Settings::kFileName));
    else
        home.write(Settings::kFileName, bytes);
    const QString problem = ProfileFile::unreadable(settings.filePath());
    QVERIFY2(why.isEmpty() ? problem.isEmpty() : problem.startsWith(why), qPrintable(problem));
    const QString ip = settings.ReadINI(QStringLiteral("ORVIKMap"), QStringLiteral("MapIP"), "-");
    QCOMPARE(ip, why.isEmpty() ? QStringLiteral("10.0.0.5") : QStringLiteral("-"));
    // Not replaced by a file that holds one key: the other settings would go.
    QCOMPARE(settings.WriteINI(QStringLiteral("Misc"), QStringLiteral("DBInterval"), "20"),
        why.isEmpty());
    if (!why.isEmpty() && !bytes.isEmpty())
        QCOMPARE(home.read(Settings::kFileName), bytes);
    QCOMPARE(QFileInfo(settings.filePath()).isDir(), bytes.isEmpty());
}

void TestPlatform::instanceLockOnePerFolder()
{
    TempHome home;
    home.write(InstanceLock::kFileName, "99999999\n"); // left by a run that crashed
    auto first = std::make_unique<InstanceLock>(home.path());
    QCOMPARE(first->take(), InstanceLock::Outcome::Taken);
    QCOMPARE(home.read(InstanceLock::kFileName), QByteArray::number(qint64(::getpid())) + '\n');

    // A second holder of the same file is refused and told who holds it.
    InstanceLock second(home.path());
    QCOMPARE(second.take(), InstanceLock::Outcome::HeldElsewhere);
    QCOMPARE(second.holderPid(), qint64(::getpid()));
    const QString message = second.heldMessage(QStringLiteral("volmarad"));
    QVERIFY2(message.contains(QStringLiteral("(PID %1)").arg(::getpid()))
            && message.contains(QDir(home.path()).absolutePath()),
        qPrintable(message));

    first.reset();
    {
        InstanceLock third(home.path());
        QCOMPARE(third.take(), InstanceLock::Outcome::Taken);
    }

    // A holder that has not written its PID yet (or only part of it) is
    // named so, not with an empty or a cut number.
    for (const QByteArray &written : {QByteArray(), QByteArray("12")}) {
        home.write(InstanceLock::kFileName, written);
        const int fd = ::open(
            QFile::encodeName(home.file(InstanceLock::kFileName)).constData(), O_RDWR | O_CLOEXEC);
        QVERIFY(fd >= 0);
        QCOMPARE(::flock(fd, LOCK_EX | LOCK_NB), 0);
        InstanceLock early(home.path());
        QCOMPARE(early.take(), InstanceLock::Outcome::HeldElsewhere);
        QCOMPARE(early.holderPid(), qint64(0));
        const QString told = early.heldMessage(QStringLiteral("volmarad"));
        QVERIFY2(told.contains(QStringLiteral("another Volmara gateway (its PID is not written "
                                              "yet) runs on the folder")),
            qPrintable(told));
        ::close(fd);
    }

    InstanceLock nowhere(home.file(QStringLiteral("no/such/folder")));
    QCOMPARE(nowhere.take(), InstanceLock::Outcome::Failed);
    QVERIFY(!nowhere.error().isEmpty());
}

void TestPlatform::hangupIsAReloadNotAnEnd()
{
    {
        HangupSignal hangup;
        QSignalSpy reloads(&hangup, &HangupSignal::reloadRequested);
        ::raise(SIGHUP);
        ::raise(SIGHUP);
        QVERIFY(reloads.wait(5000));
        QTest::qWait(100);
        QCOMPARE(reloads.count(), 1); // two before the event loop looked: one reload
        ::raise(SIGHUP);
        QVERIFY(reloads.wait(5000));
    }
    // Afterwards it is ignored, never the default end.
    ::raise(SIGHUP);
    QTest::qWait(50);
}

void TestPlatform::keyedCollectionKeysIgnoreCase()
{
    KeyedCollection<QString> c;
    c.add(QStringLiteral("Abc"), std::make_shared<QString>(QStringLiteral("one")));
    QVERIFY(c.contains(QStringLiteral("aBC")));
    QCOMPARE(*c.item(QStringLiteral("ABC")), QStringLiteral("one"));
    try {
        c.add(QStringLiteral("abc"), std::make_shared<QString>(QStringLiteral("two")));
        QFAIL("a second member under the same key must fail");
    } catch (const Failure &f) {
        QCOMPARE(f.number(), int(Failure::KeyAlreadyUsed));
    }
    c.remove(QStringLiteral("ABC"));
    QVERIFY(c.isEmpty());
    QVERIFY(!c.value(QStringLiteral("abc")));
}

void TestPlatform::keyedCollectionOrder()
{
    KeyedCollection<int> c;
    auto keysOf = [&c] {
        QStringList keys;
        for (auto it = c.begin(); it != c.end(); ++it)
            keys << it.key();
        return keys;
    };
    for (const char *k : {"020000", "010000", "030000", "015000"})
        c.insertInKeyOrder(QString::fromLatin1(k), std::make_shared<int>(0));
    QCOMPARE(keysOf(), QStringList({"010000", "015000", "020000", "030000"}));
    c.insertBefore(QStringLiteral("010000"), QStringLiteral("first"), std::make_shared<int>(1));
    c.add(QStringLiteral("last"), std::make_shared<int>(2));
    QCOMPARE(keysOf().first(), QStringLiteral("first"));
    QCOMPARE(keysOf().last(), QStringLiteral("last"));
    c.remove(QStringLiteral("015000"));
    QCOMPARE(keysOf(), QStringList({"first", "010000", "020000", "030000", "last"}));
    QCOMPARE(c.count(), 5);

    // Members added and removed before the first insertion in key order
    // count for it as they stand.
    KeyedCollection<int> late;
    late.add(QStringLiteral("030000"), std::make_shared<int>(0));
    late.add(QStringLiteral("010000"), std::make_shared<int>(0));
    late.remove(QStringLiteral("010000"));
    late.add(QStringLiteral("020000"), std::make_shared<int>(0));
    late.insertInKeyOrder(QStringLiteral("025000"), std::make_shared<int>(0));
    late.insertInKeyOrder(QStringLiteral("040000"), std::make_shared<int>(0));
    QStringList keys;
    for (auto it = late.begin(); it != late.end(); ++it)
        keys << it.key();
    QCOMPARE(keys, QStringList({"025000", "030000", "020000", "040000"}));
}

void TestPlatform::keyedCollectionFailures()
{
    KeyedCollection<int> c;
    QVERIFY_THROWS_EXCEPTION(Failure, c.item(QStringLiteral("x")));
    QVERIFY_THROWS_EXCEPTION(Failure, c.remove(QStringLiteral("x")));
    QVERIFY_THROWS_EXCEPTION(
        Failure, c.insertBefore(QStringLiteral("x"), QStringLiteral("y"), nullptr));
}

void TestPlatform::dateDifferences_data()
{
    QTest::addColumn<QDateTime>("from");
    QTest::addColumn<QDateTime>("to");
    QTest::addColumn<qint64>("seconds");
    QTest::addColumn<qint64>("minutes");
    const QDate d(2026, 12, 7);
    QTest::newRow("crossed minute boundary")
        << QDateTime(d, QTime(10, 0, 59)) << QDateTime(d, QTime(10, 1, 0)) << qint64(1)
        << qint64(1);
    QTest::newRow("same minute") << QDateTime(d, QTime(10, 0, 0)) << QDateTime(d, QTime(10, 0, 59))
                                 << qint64(59) << qint64(0);
    QTest::newRow("milliseconds do not count")
        << QDateTime(d, QTime(10, 0, 0, 900)) << QDateTime(d, QTime(10, 0, 1, 100)) << qint64(1)
        << qint64(0);
    QTest::newRow("over midnight")
        << QDateTime(d, QTime(23, 59, 30)) << QDateTime(d.addDays(1), QTime(0, 0, 30)) << qint64(60)
        << qint64(1);
    QTest::newRow("from zero date")
        << DateTime::zero() << QDateTime(QDate(1899, 12, 31), QTime(0, 0)) << qint64(86400)
        << qint64(1440);
    QTest::newRow("backwards") << QDateTime(d, QTime(10, 1)) << QDateTime(d, QTime(10, 0))
                               << qint64(-60) << qint64(-1);
}

void TestPlatform::dateDifferences()
{
    QFETCH(QDateTime, from);
    QFETCH(QDateTime, to);
    QFETCH(qint64, seconds);
    QFETCH(qint64, minutes);
    QCOMPARE(DateTime::secondsBetween(from, to), seconds);
    QCOMPARE(DateTime::minutesBetween(from, to), minutes);
}

void TestPlatform::dateFormats()
{
    const QDateTime dt(QDate(2026, 1, 2), QTime(6, 5, 9));
    QCOMPARE(DateTime::hhnn(dt), QStringLiteral("06:05"));
    QCOMPARE(DateTime::yyyymmddHhnnss(dt), QStringLiteral("20260102 06:05:09"));
    QCOMPARE(DateTime::mmddhhnnss(dt), QStringLiteral("0102060509"));
    QCOMPARE(DateTime::yyyymmdd(dt.date()), QStringLiteral("20260102"));
    // The hand-written forms against the general formatter.
    for (const QDate &d : {QDate(1, 1, 1), QDate(999, 12, 31), QDate(1899, 12, 30),
             QDate(2026, 12, 7), QDate(9999, 12, 31), QDate(10000, 1, 1), QDate(-5, 3, 4)}) {
        for (const QTime &t : {QTime(0, 0), QTime(4, 0, 1), QTime(23, 59, 59, 999)}) {
            const QDateTime at(d, t, Qt::UTC);
            QCOMPARE(DateTime::stored(at), at.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")));
            QCOMPARE(DateTime::hhnn(at), t.toString(QStringLiteral("HH:mm")));
        }
    }
    QCOMPARE(DateTime::stored(QDateTime()), QString());
    QCOMPARE(DateTime::hhnn(QDateTime()), QString());
    QVERIFY(DateTime::isZero(DateTime::zero()));
    QVERIFY(!DateTime::isZero(dt));
}

// Values from the databases are wall-clock values: the same calendar date and
// clock time in any local zone, the hour skipped in spring included.
void TestPlatform::dateFromVariant_data()
{
    QTest::addColumn<QVariant>("value");
    QTest::addColumn<QDateTime>("expected");
    const QDateTime dt(QDate(2026, 12, 7), QTime(6, 30), Qt::UTC);
    QTest::newRow("embedded text") << QVariant(QStringLiteral("2026-12-07 06:30:00")) << dt;
    QTest::newRow("iso T") << QVariant(QStringLiteral("2026-12-07T06:30:00")) << dt;
    QTest::newRow("server text") << QVariant(QStringLiteral("20261207 06:30:00")) << dt;
    QTest::newRow("date only") << QVariant(QStringLiteral("2026-12-07"))
                               << QDateTime(dt.date(), QTime(0, 0), Qt::UTC);
    QTest::newRow("time only on the zero date") << QVariant(
        QStringLiteral("06:30:00")) << QDateTime(DateTime::zero().date(), QTime(6, 30), Qt::UTC);
    QTest::newRow("QDateTime with ms")
        << QVariant(QDateTime(dt.date(), QTime(6, 30, 0, 500))) << dt;
    const QDateTime skipped(QDate(2026, 3, 29), QTime(2, 30), Qt::UTC);
    QTest::newRow("skipped hour, embedded text")
        << QVariant(QStringLiteral("2026-03-29 02:30:00")) << skipped;
    QTest::newRow("skipped hour, with ms")
        << QVariant(QStringLiteral("2026-03-29 02:30:00.250")) << skipped;
    QTest::newRow("skipped hour, iso T")
        << QVariant(QStringLiteral("2026-03-29T02:30:00")) << skipped;
    QTest::newRow("skipped hour, server text")
        << QVariant(QStringLiteral("20260329 02:30:00")) << skipped;
    QTest::newRow("skipped hour, no seconds")
        << QVariant(QStringLiteral("2026-03-29 02:30")) << skipped;
    QTest::newRow("repeated hour") << QVariant(QStringLiteral("2026-10-25 02:30:00"))
                                   << QDateTime(QDate(2026, 10, 25), QTime(2, 30), Qt::UTC);
}

void TestPlatform::dateFromVariant()
{
    QFETCH(QVariant, value);
    QFETCH(QDateTime, expected);
    const LocalZone berlin("Europe/Berlin");
    const QDateTime got = DateTime::fromVariant(value);
    QCOMPARE(got, expected);
    QCOMPARE(got.timeSpec(), Qt::UTC);
}

void TestPlatform::conversions_data()
{
    QTest::addColumn<QVariant>("value");
    QTest::addColumn<int>("failure"); // 0: converts
    QTest::addColumn<qint32>("asLong");
    QTest::newRow("int") << QVariant(42) << 0 << 42;
    QTest::newRow("numeric text") << QVariant(QStringLiteral(" 17 ")) << 0 << 17;
    QTest::newRow("half to even") << QVariant(QStringLiteral("2.5")) << 0 << 2;
    QTest::newRow("null") << QVariant() << int(Failure::InvalidUseOfNull) << 0;
    QTest::newRow("letters") << QVariant(QStringLiteral("12a")) << int(Failure::TypeMismatch) << 0;
    QTest::newRow("beyond 32 bits") << QVariant(qint64(1) << 33) << int(Failure::Overflow) << 0;
    QTest::newRow("empty text") << QVariant(QString()) << int(Failure::TypeMismatch) << 0;
}

void TestPlatform::conversions()
{
    QFETCH(QVariant, value);
    QFETCH(int, failure);
    QFETCH(qint32, asLong);
    try {
        const qint32 got = Convert::toLong(value);
        QCOMPARE(failure, 0);
        QCOMPARE(got, asLong);
    } catch (const Failure &f) {
        QCOMPARE(f.number(), failure);
    }
}

void TestPlatform::trapCatchesEverything()
{
    auto f = trapFailure([] { throw Failure(3021); });
    QVERIFY(f);
    QCOMPARE(f->number(), 3021);
    f = trapFailure([] { throw std::runtime_error("boom"); });
    QVERIFY(f);
    QCOMPARE(f->number(), 5);
    QCOMPARE(f->description(), QStringLiteral("boom"));
    QVERIFY(!trapFailure([] {}));
    QVERIFY(Convert::toBool(QStringLiteral("tRuE")));
    QVERIFY(!Convert::toBool(QStringLiteral("0")));
    QVERIFY(Convert::toBool(QStringLiteral("-1")));
    QVERIFY_THROWS_EXCEPTION(Failure, Convert::toBool(QStringLiteral("yes")));
    QCOMPARE(Convert::toInteger(QStringLiteral("32767")), qint16(32767));
    QVERIFY_THROWS_EXCEPTION(Failure, Convert::toInteger(QStringLiteral("32768")));
}

QTEST_GUILESS_MAIN(TestPlatform)
#include "tst_platform.moc"
