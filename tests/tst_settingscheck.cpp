#include "TestSupport.h"

#include "app/ConfigCheck.h"
#include "cycle/DatabaseCycle.h"
#include "db/EmbeddedSchema.h"
#include "diag/ErrorLog.h"
#include "platform/Clock.h"
#include "settings/Settings.h"
#include "settings/SettingsCheck.h"

#include <QTcpServer>
#include <QtTest>

// What the headless start and --check-config say about Volmara.INI: every
// setting with its source, and each problem named by section and key.
class TestSettingsCheck : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void problemsNameTheKey_data();
    void problemsNameTheKey();
    void sourceIsFileOrDefault();
    void longValueCutIsLoggedOnce();
    void passwordsLeftOut_data();
    void passwordsLeftOut();
    void intervalUsedIsTheCycles_data();
    void intervalUsedIsTheCycles();
    void byteOrderMarkIsSaid();
    void schedsReadIsChecked_data();
    void schedsReadIsChecked();
    void checkConfigRules_data();
    void checkConfigRules();
};

namespace {

const QByteArray kGood = "[ORVIKMap]\r\nMapIP=127.0.0.1\r\nPort=21953\r\nGMT=2\r\n"
                         "[Database]\r\nSQLServer=sqlite:db\r\n[Misc]\r\nDBInterval=15\r\n";

QByteArray with(const QByteArray &from, const QByteArray &to)
{
    QByteArray text = kGood;
    return text.replace(from, to);
}

} // namespace

void TestSettingsCheck::problemsNameTheKey_data()
{
    QTest::addColumn<QByteArray>("ini");
    QTest::addColumn<QStringList>("blocking"); // problems that stop a start
    QTest::addColumn<QString>("other"); // a problem that only falls back, or empty

    QTest::newRow("complete") << kGood << QStringList() << QString();
    QTest::newRow("no file at all")
        << QByteArray()
        << QStringList{"[ORVIKMap] MapIP is missing", "[Database] SQLServer is missing"}
        << QString();
    QTest::newRow("empty map address") << with("MapIP=127.0.0.1", "MapIP=")
                                       << QStringList{"[ORVIKMap] MapIP is empty"} << QString();
    QTest::newRow("server key absent")
        << with("SQLServer=sqlite:db\r\n", "") << QStringList{"[Database] SQLServer is missing"}
        << QString();
    QTest::newRow("port not a number")
        << with("Port=21953", "Port=21953x")
        << QStringList{"[ORVIKMap] Port = 21953x is not a TCP port (1 to 65535)"} << QString();
    QTest::newRow("port too large")
        << with("Port=21953", "Port=70000")
        << QStringList{"[ORVIKMap] Port = 70000 is not a TCP port (1 to 65535)"} << QString();
    QTest::newRow("port zero") << with("Port=21953", "Port=0")
                               << QStringList{"[ORVIKMap] Port = 0 is not a TCP port (1 to 65535)"}
                               << QString();
    QTest::newRow("port empty") << with("Port=21953", "Port=")
                                << QStringList{"[ORVIKMap] Port is empty"} << QString();
    QTest::newRow("GMT not a number")
        << with("GMT=2", "GMT=two")
        << QStringList{"[ORVIKMap] GMT = two is not a whole number of hours"} << QString();
    QTest::newRow("interval typo falls back")
        << with("DBInterval=15", "DBInterval=1O") << QStringList()
        << QString("[Misc] DBInterval = 1O is not a number of seconds (15 is used)");
    QTest::newRow("interval zero") << with("DBInterval=15", "DBInterval=0") << QStringList()
                                   << QString("[Misc] DBInterval = 0 is outside 1 to 3600 seconds "
                                              "(1 is used)");
    QTest::newRow("interval above an hour")
        << with("DBInterval=15", "DBInterval=7200") << QStringList()
        << QString("[Misc] DBInterval = 7200 is outside 1 to 3600 seconds (3600 is used)");
    QTest::newRow("interval not whole")
        << with("DBInterval=15", "DBInterval=2.6") << QStringList()
        << QString("[Misc] DBInterval = 2.6 is not a whole number of seconds (3 is used)");
    QTest::newRow("status beyond this machine without a token")
        << (kGood + "StatusListen=0.0.0.0:9531\r\n") << QStringList()
        << QString("[Misc] StatusListen = 0.0.0.0:9531 reaches beyond this machine and needs "
                   "[Misc] StatusToken (the status server stays off)");
    QTest::newRow("status beyond this machine with a token")
        << (kGood + "StatusListen=0.0.0.0:9531\r\nStatusToken=t\r\n") << QStringList() << QString();
    QTest::newRow("status address not one")
        << (kGood + "StatusListen=9531\r\n") << QStringList()
        << QString("[Misc] StatusListen: \"9531\" is not ADDRESS:PORT (the status server stays "
                   "off)");
    QTest::newRow("switch typo falls back")
        << (kGood + "SentLines2File=Ture\r\n") << QStringList()
        << QString("[Misc] SentLines2File = Ture is neither True nor False (False is used)");
    QTest::newRow("time-out typo falls back")
        << with("SQLServer=sqlite:db", "SQLServer=sqlite:db\r\nConnection TimeOut=abc")
        << QStringList()
        << QString("[Database] Connection TimeOut = abc is not a number of seconds (20 is used)");
}

void TestSettingsCheck::problemsNameTheKey()
{
    QFETCH(QByteArray, ini);
    QFETCH(QStringList, blocking);
    QFETCH(QString, other);
    TempHome home;
    if (!ini.isEmpty())
        home.write(QStringLiteral("Volmara.INI"), ini);
    const Settings settings(home.path());
    QCOMPARE(SettingsCheck::blockingProblems(settings), blocking);
    QStringList all;
    for (const SettingsCheck::Entry &e : SettingsCheck::review(settings)) {
        if (!e.problem.isEmpty() && !e.blocksStart)
            all << e.problem;
    }
    QCOMPARE(all, other.isEmpty() ? QStringList() : QStringList{other});
}

void TestSettingsCheck::sourceIsFileOrDefault()
{
    TempHome home;
    home.write(QStringLiteral("Volmara.INI"), kGood);
    QHash<QString, SettingsCheck::Entry> byName;
    for (const SettingsCheck::Entry &e : SettingsCheck::review(Settings(home.path())))
        byName.insert(e.name(), e);
    QVERIFY(byName.value(QStringLiteral("[ORVIKMap] Port")).fromFile);
    QCOMPARE(byName.value(QStringLiteral("[ORVIKMap] Port")).value, QStringLiteral("21953"));
    // Not in the file: the gateway's defaults, marked as such.
    const SettingsCheck::Entry second = byName.value(QStringLiteral("[Database] ORVIKDBServer"));
    QVERIFY(!second.fromFile);
    QCOMPARE(second.value, QStringLiteral("sqlite:db")); // the jobs session's source
    const SettingsCheck::Entry timeout
        = byName.value(QStringLiteral("[Database] Connection TimeOut"));
    QVERIFY(!timeout.fromFile);
    QCOMPARE(timeout.value, QStringLiteral("20"));
    QCOMPARE(byName.value(QStringLiteral("[Database] ODBCDriver")).value,
        QStringLiteral("ODBC Driver 18 for SQL Server"));
}

void TestSettingsCheck::longValueCutIsLoggedOnce()
{
    TempHome home;
    // A 213-character connection string is read whole; a 5,000-character one
    // is cut at 4,096 and that is logged once, with its key.
    const QString connection
        = QStringLiteral("DRIVER={ODBC Driver 18 for SQL Server};SERVER=sqlsrv01;")
        + QString(213 - 55, QLatin1Char('x'));
    QCOMPARE(connection.size(), 213);
    home.write(QStringLiteral("Volmara.INI"),
        "[Database]\r\nSQLServer=" + connection.toLatin1()
            + "\r\nORVIKDBServer=" + QByteArray(5000, 'q') + "\r\n");
    Clock clock;
    ErrorLog log(home.path(), clock);
    Settings settings(home.path());
    settings.setLog(&log);
    QCOMPARE(settings.ReadINI(QStringLiteral("Database"), QStringLiteral("SQLServer"), QString()),
        connection);
    QVERIFY(!home.exists(QStringLiteral("Debug.TXT")));
    // Read again and again, in any letter case: one record.
    for (const char *key : {"ORVIKDBServer", "orvikdbserver", "ORVIKDBServer"}) {
        QCOMPARE(settings.ReadINI(QStringLiteral("Database"), QLatin1String(key), QString()),
            QString(4096, QLatin1Char('q')));
    }
    const QStringList lines = home.lines(QStringLiteral("Debug.TXT"));
    QCOMPARE(lines.size(), 1);
    QVERIFY2(lines.first().contains(QStringLiteral(
                 "ReadINI: [Database] ORVIKDBServer is longer than 4096 characters")),
        qPrintable(lines.first()));
}

void TestSettingsCheck::passwordsLeftOut_data()
{
    QTest::addColumn<QString>("source");
    QTest::addColumn<QString>("shown");
    QTest::newRow("host name") << "sqlsrv01\\SITE"
                               << "sqlsrv01\\SITE";
    QTest::newRow("PWD at the end") << "DRIVER={FreeTDS};SERVER=s;UID=orvikuser;PWD=secret"
                                    << "DRIVER={FreeTDS};SERVER=s;UID=orvikuser;PWD=***";
    QTest::newRow("Password in the middle, any case") << "Server=s;password=se cret;Database=d"
                                                      << "Server=s;password=***;Database=d";
    QTest::newRow("braced password with a semicolon") << "UID=u;PWD={a;b}}c};Encrypt=yes"
                                                      << "UID=u;PWD=***;Encrypt=yes";
    QTest::newRow("first key") << "PWD=x;UID=u"
                               << "PWD=***;UID=u";
}

void TestSettingsCheck::passwordsLeftOut()
{
    QFETCH(QString, source);
    QFETCH(QString, shown);
    QCOMPARE(SettingsCheck::withoutPassword(source), shown);
}

void TestSettingsCheck::intervalUsedIsTheCycles_data()
{
    QTest::addColumn<QString>("text");
    for (const char *t :
        {"15", "", "0", "-3", "1", "2.5", "3.5", "2.6", "3600", "3600.4", "99999", " 7 ", "1e2"})
        QTest::newRow(t) << QString::fromLatin1(t);
}

void TestSettingsCheck::intervalUsedIsTheCycles()
{
    // What the check says is used must be what the cycle takes.
    QFETCH(QString, text);
    QCOMPARE(SettingsCheck::intervalUsed(text), DatabaseCycle::intervalSeconds(text));
}

void TestSettingsCheck::byteOrderMarkIsSaid()
{
    TempHome home;
    home.write(QStringLiteral("Volmara.INI"), "\xEF\xBB\xBF" + kGood);
    const Settings settings(home.path());
    QVERIFY2(SettingsCheck::encodingNote(settings).contains(
                 QStringLiteral("begins with a UTF-8 byte order mark")),
        qPrintable(SettingsCheck::encodingNote(settings)));
    // Passed over: the first section is read, nothing is a problem.
    QVERIFY(SettingsCheck::blockingProblems(settings).isEmpty());
    home.write(QStringLiteral("Volmara.INI"), kGood);
    QVERIFY(SettingsCheck::encodingNote(settings).isEmpty());
}

void TestSettingsCheck::schedsReadIsChecked_data()
{
    QTest::addColumn<QString>("schema"); // run on the schedules file
    QTest::addColumn<QString>("said");
    QTest::newRow("readable") << QString() << "ok    database ORVIKDB";
    QTest::newRow("no table") << "DROP TABLE Scheds"
                              << "FAIL  database ORVIKDB";
}

void TestSettingsCheck::schedsReadIsChecked()
{
    // The read the day's first insert makes: where it fails, every insert
    // would.
    QFETCH(QString, schema);
    QFETCH(QString, said);
    TempHome home;
    home.write(QStringLiteral("Volmara.INI"), with("Port=21953", "Port=1"));
    EmbeddedSchema::create(home.file(QStringLiteral("db")));
    if (!schema.isEmpty())
        EmbeddedSchema::run(EmbeddedSchema::orvikDbFile(home.file(QStringLiteral("db"))), {schema});
    QString out;
    QTextStream stream(&out);
    ConfigCheck(home.path(), QString()).run(stream);
    const QStringList lines = out.split(QLatin1Char('\n')).filter(QStringLiteral("Scheds"));
    QVERIFY2(lines.size() == 1 && lines.first().startsWith(said), qPrintable(out));
    QVERIFY(!home.exists(QStringLiteral("Debug.TXT")));
}

void TestSettingsCheck::checkConfigRules_data()
{
    QTest::addColumn<QByteArray>("ini"); // empty: a folder in place of the file
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("line");
    // The gateway starts with these, the value used named: the check warns.
    QTest::newRow("interval below the range")
        << with("DBInterval=15", "DBInterval=-5") << int(ConfigCheck::kConnectionFailed)
        << "WARN  [Misc] DBInterval = -5 is outside 1 to 3600 seconds (1 is used)";
    QTest::newRow("interval not a number")
        << with("DBInterval=15", "DBInterval=abc") << int(ConfigCheck::kConnectionFailed)
        << "WARN  [Misc] DBInterval = abc is not a number of seconds (15 is used)";
    // It does not start with these: the check fails, the file's own
    // problem first and never "ok".
    QTest::newRow("UTF-16 file")
        << QByteArray("\xFF\xFE") + QByteArray("[\0O\0R\0V\0I\0K\0M\0a\0p\0]\0\r\0\n\0", 24)
        << int(ConfigCheck::kSettingInvalid)
        << "Volmara.INI is UTF-16 (little-endian) text, which is not read: save it as "
           "Windows-1255 or plain ASCII";
    QTest::newRow("folder in place of the file")
        << QByteArray() << int(ConfigCheck::kSettingInvalid) << "Volmara.INI cannot be read: ";
}

void TestSettingsCheck::checkConfigRules()
{
    QFETCH(QByteArray, ini);
    QFETCH(int, status);
    QFETCH(QString, line);
    TempHome home;
    // A port nobody listens on: the map is refused at once.
    QTcpServer probe;
    QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
    const QByteArray port = QByteArray::number(probe.serverPort());
    probe.close();
    if (ini.isEmpty())
        QVERIFY(QDir(home.path()).mkdir(Settings::kFileName));
    else
        home.write(Settings::kFileName, ini.replace("Port=21953", "Port=" + port));

    QString text;
    QTextStream out(&text);
    QCOMPARE(ConfigCheck(home.path(), QString()).run(out), status);
    const QStringList lines = text.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QVERIFY2(!lines.filter(line).isEmpty(), qPrintable(text));
    const bool fileFails = status == ConfigCheck::kSettingInvalid;
    QCOMPARE(lines.first().startsWith(QStringLiteral("FAIL  settings file ")), fileFails);
    QCOMPARE(lines.first().startsWith(QStringLiteral("ok    settings file ")), !fileFails);
    // The headless start refuses what the check fails, with the same reason first.
    const QStringList blocking = SettingsCheck::blockingProblems(Settings(home.path()));
    QCOMPARE(blocking.isEmpty(), !fileFails);
    if (fileFails)
        QVERIFY2(blocking.first().contains(line), qPrintable(blocking.first()));
}

QTEST_GUILESS_MAIN(TestSettingsCheck)
#include "tst_settingscheck.moc"
