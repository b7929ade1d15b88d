#include "NotifySocket.h"
#include "TestSupport.h"

#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QTcpServer>
#include <QtTest>

// The headless gateway volmarad and the command lines of all four programs,
// run as a service manager runs them: no display variable at all.
class TestE2eDaemon : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init();
    void cleanup();
    void runsHeadlessPushesAndStopsInOrder();
    void incompleteSettingsEndWithStatus78_data();
    void incompleteSettingsEndWithStatus78();
    void checkConfig_data();
    void checkConfig();
    void exitStatuses_data();
    void exitStatuses();

private:
    static QString bin(const QString &name);
    static QProcessEnvironment headlessEnvironment();
    static quint16 freePort();
    void writeSettings(quint16 port, const QByteArray &server = "sqlite:db");
    void startSimulator(quint16 port, const QString &receivedFile);

    std::unique_ptr<TempHome> m_home;
    QProcess m_sim;
};

QString TestE2eDaemon::bin(const QString &name)
{
    return QDir(qEnvironmentVariable("VOLMARA_BIN_DIR")).filePath(name);
}

QProcessEnvironment TestE2eDaemon::headlessEnvironment()
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "VOLMARA_HOME",
             "NOTIFY_SOCKET", "WATCHDOG_USEC", "WATCHDOG_PID", "JOURNAL_STREAM"})
        env.remove(QString::fromLatin1(name));
    return env;
}

quint16 TestE2eDaemon::freePort()
{
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost, 0))
        return 0;
    return probe.serverPort();
}

void TestE2eDaemon::init()
{
    m_home = std::make_unique<TempHome>();
}

void TestE2eDaemon::cleanup()
{
    if (m_sim.state() != QProcess::NotRunning) {
        m_sim.terminate();
        if (!m_sim.waitForFinished(10000))
            m_sim.kill();
        m_sim.waitForFinished(5000);
    }
    m_home.reset();
}

void TestE2eDaemon::writeSettings(quint16 port, const QByteArray &server)
{
    m_home->write(QStringLiteral("Volmara.INI"),
        "[ORVIKMap]\r\nMapIP=127.0.0.1\r\nPort=" + QByteArray::number(port)
            + "\r\nGMT=2\r\n[Database]\r\nSQLServer=" + server + "\r\n[Misc]\r\nDBInterval=1\r\n");
}

void TestE2eDaemon::startSimulator(quint16 port, const QString &receivedFile)
{
    QStringList args{QStringLiteral("--port"), QString::number(port), QStringLiteral("--quiet")};
    if (!receivedFile.isEmpty())
        args << QStringLiteral("--received-file") << receivedFile;
    m_sim.setProcessChannelMode(QProcess::MergedChannels);
    m_sim.start(bin(QStringLiteral("volmara-mapsim")), args);
    QVERIFY(m_sim.waitForStarted(10000));
    QVERIFY(m_sim.waitForReadyRead(10000)); // the listening address
}

void TestE2eDaemon::runsHeadlessPushesAndStopsInOrder()
{
    const quint16 port = freePort();
    QVERIFY(port != 0);
    writeSettings(port);
    QCOMPARE(QProcess::execute(bin(QStringLiteral("volmara-dbinit")),
                 {m_home->file(QStringLiteral("db")), QStringLiteral("--demo")}),
        0);
    startSimulator(port, m_home->file(QStringLiteral("received.txt")));

    NotifySocket notify(m_home->file(QStringLiteral("notify")));
    QVERIFY(notify.bound());
    QProcessEnvironment env = headlessEnvironment();
    env.insert(QStringLiteral("NOTIFY_SOCKET"), m_home->file(QStringLiteral("notify")));
    env.insert(QStringLiteral("WATCHDOG_USEC"), QStringLiteral("1000000"));
    QProcess daemon;
    daemon.setProcessEnvironment(env);
    daemon.start(bin(QStringLiteral("volmarad")), {QStringLiteral("--home"), m_home->path()});
    QVERIFY(daemon.waitForStarted(10000));

    QTRY_VERIFY2_WITH_TIMEOUT(
        m_home->read(QStringLiteral("received.txt")).contains(",ExpLineSched\\c"),
        m_home->read(QStringLiteral("Debug.TXT")).constData(), 30000);
    QTRY_VERIFY_WITH_TIMEOUT(notify.messages().contains(QStringLiteral("READY=1")), 10000);
    QTRY_VERIFY_WITH_TIMEOUT(
        !notify.messages().filter(QStringLiteral("Map - Connected")).isEmpty(), 15000);
    QVERIFY(notify.messages()
                .filter(QStringLiteral("Map - Connected"))
                .first()
                .startsWith(QStringLiteral("STATUS=")));
    // The cycle runs: the watchdog is fed, more than once.
    QTRY_VERIFY_WITH_TIMEOUT(notify.messages().count(QStringLiteral("WATCHDOG=1")) >= 3, 10000);

    QCOMPARE(daemon.state(), QProcess::Running);
    daemon.terminate();
    QVERIFY(daemon.waitForFinished(15000));
    QCOMPARE(daemon.exitStatus(), QProcess::NormalExit);
    QCOMPARE(daemon.exitCode(), 0);
    QVERIFY(notify.messages().contains(QStringLiteral("STOPPING=1")));

    const QString err = QString::fromUtf8(daemon.readAllStandardError());
    QVERIFY2(err.contains(QStringLiteral("info: EndProgram: TimerFuncs\n")), qPrintable(err));
    QVERIFY2(
        err.contains(QStringLiteral("info: volmarad: Version 3.0.50 starts in ")), qPrintable(err));
    // Every line of the copy is led by its severity.
    for (const QString &line : err.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        QVERIFY2(line.startsWith(QStringLiteral("info: "))
                || line.startsWith(QStringLiteral("warning: "))
                || line.startsWith(QStringLiteral("error: ")),
            qPrintable(line));
    }
    const QStringList lines = m_home->lines(QStringLiteral("Debug.TXT"));
    QVERIFY(!lines.filter(QStringLiteral(" EndProgram: TimerFuncsError Number: 0")).isEmpty());
}

void TestE2eDaemon::incompleteSettingsEndWithStatus78_data()
{
    QTest::addColumn<QByteArray>("ini");
    QTest::addColumn<QString>("named");
    QTest::newRow("no settings file") << QByteArray() << "[ORVIKMap] MapIP is missing";
    QTest::newRow("no data source")
        << QByteArray("[ORVIKMap]\r\nMapIP=127.0.0.1\r\n") << "[Database] SQLServer is missing";
    QTest::newRow("port out of range") << QByteArray(
        "[ORVIKMap]\r\nMapIP=127.0.0.1\r\nPort=70000\r\n[Database]\r\nSQLServer=sqlite:db\r\n")
                                       << "[ORVIKMap] Port = 70000 is not a TCP port";
    // The logon would take 0 and try it for ever; the check refuses it.
    QTest::newRow("port zero") << QByteArray(
        "[ORVIKMap]\r\nMapIP=127.0.0.1\r\nPort=0\r\n[Database]\r\nSQLServer=sqlite:db\r\n")
                               << "[ORVIKMap] Port = 0 is not a TCP port";
}

void TestE2eDaemon::incompleteSettingsEndWithStatus78()
{
    QFETCH(QByteArray, ini);
    QFETCH(QString, named);
    if (!ini.isEmpty())
        m_home->write(QStringLiteral("Volmara.INI"), ini);
    QProcess daemon;
    QProcessEnvironment env = headlessEnvironment();
    env.insert(QStringLiteral("VOLMARA_HOME"), m_home->path());
    daemon.setProcessEnvironment(env);
    QElapsedTimer took;
    took.start();
    daemon.start(bin(QStringLiteral("volmarad")), {});
    QVERIFY(daemon.waitForFinished(5000));
    QVERIFY(took.elapsed() < 5000);
    QCOMPARE(daemon.exitStatus(), QProcess::NormalExit);
    QCOMPARE(daemon.exitCode(), 78);
    const QString err = QString::fromUtf8(daemon.readAllStandardError());
    QVERIFY2(err.contains(QStringLiteral("error: MDIForm_Load: ") + named), qPrintable(err));
    QVERIFY2(!m_home->lines(QStringLiteral("Debug.TXT")).filter(named).isEmpty(),
        m_home->read(QStringLiteral("Debug.TXT")).constData());
}

void TestE2eDaemon::checkConfig_data()
{
    QTest::addColumn<QString>("setup");
    QTest::addColumn<int>("status");
    QTest::addColumn<QStringList>("expected"); // lines that must be there

    QTest::newRow("good")
        << "good" << 0
        << QStringList{"ok    [ORVIKMap] MapIP = 127.0.0.1  (file)",
               "ok    [Database] ORVIKDBServer = sqlite:db  (default)",
               "ok    database JOBS Data Source = sqlite:db, Catalog = ORVIK_Jobs",
               "ok    database ORVIKDB Data Source = sqlite:db, Catalog = ORVIKDB",
               "answered $A,L,"};
    QTest::newRow("bad port") << "bad port" << 78
                              << QStringList{"FAIL  [ORVIKMap] Port = 21x is not a TCP port",
                                     "FAIL  map server not tried"};
    QTest::newRow("unreachable map")
        << "unreachable map" << 1
        << QStringList{"FAIL  map server 127.0.0.1:",
               "([ORVIKMap] MapIP, Port): Connection refused", "ok    database JOBS"};
    QTest::newRow("missing database folder")
        << "missing database folder" << 1
        << QStringList{"FAIL  database JOBS Data Source = sqlite:nowhere", "([Database] SQLServer)",
               "FAIL  database ORVIKDB"};
    // Said, and the outcome unchanged: the reader passes the mark over.
    QTest::newRow("byte order mark") << "byte order mark" << 0
                                     << QStringList{"WARN  ", "begins with a UTF-8 byte order mark",
                                            "ok    [ORVIKMap] MapIP = 127.0.0.1  (file)"};
    QTest::newRow("interval the cycle changes")
        << "interval 0" << 0
        << QStringList{"WARN  [Misc] DBInterval = 0 is outside 1 to 3600 seconds (1 is used)"};
    QTest::newRow("no settings")
        << "no settings" << 78
        << QStringList{"FAIL  settings file", "FAIL  [ORVIKMap] MapIP is missing",
               "FAIL  databases not opened: [Database] SQLServer is missing"};
}

void TestE2eDaemon::checkConfig()
{
    QFETCH(QString, setup);
    QFETCH(int, status);
    QFETCH(QStringList, expected);
    const quint16 port = freePort();
    QVERIFY(port != 0);
    if (setup != QLatin1String("no settings")) {
        QCOMPARE(QProcess::execute(
                     bin(QStringLiteral("volmara-dbinit")), {m_home->file(QStringLiteral("db"))}),
            0);
        writeSettings(port,
            setup == QLatin1String("missing database folder") ? "sqlite:nowhere" : "sqlite:db");
        if (setup == QLatin1String("byte order mark"))
            m_home->write(QStringLiteral("Volmara.INI"),
                "\xEF\xBB\xBF" + m_home->read(QStringLiteral("Volmara.INI")));
        if (setup == QLatin1String("interval 0")) {
            QByteArray ini = m_home->read(QStringLiteral("Volmara.INI"));
            m_home->write(
                QStringLiteral("Volmara.INI"), ini.replace("DBInterval=1", "DBInterval=0"));
        }
        if (setup == QLatin1String("bad port")) {
            QByteArray ini = m_home->read(QStringLiteral("Volmara.INI"));
            m_home->write(QStringLiteral("Volmara.INI"),
                ini.replace("Port=" + QByteArray::number(port), "Port=21x"));
        }
        if (setup != QLatin1String("unreachable map"))
            startSimulator(port, QString());
    }
    const QStringList before
        = QDir(m_home->path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);

    QProcess check;
    check.setProcessEnvironment(headlessEnvironment());
    check.start(bin(QStringLiteral("volmarad")),
        {QStringLiteral("--check-config"), QStringLiteral("--home"), m_home->path()});
    QVERIFY(check.waitForFinished(30000));
    const QString out = QString::fromUtf8(check.readAllStandardOutput());
    QCOMPARE(check.exitCode(), status);
    for (const QString &line : expected)
        QVERIFY2(out.contains(line), qPrintable(line + QStringLiteral("\n---\n") + out));
    // Every line says ok, WARN or FAIL; nothing in the program folder changed.
    for (const QString &line : out.split(QLatin1Char('\n'), Qt::SkipEmptyParts))
        QVERIFY2(line.startsWith(QStringLiteral("ok    "))
                || line.startsWith(QStringLiteral("FAIL  "))
                || line.startsWith(QStringLiteral("WARN  ")),
            qPrintable(line));
    QCOMPARE(out.contains(QStringLiteral("FAIL")), status != 0);
    QCOMPARE(QDir(m_home->path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), before);
}

void TestE2eDaemon::exitStatuses_data()
{
    QTest::addColumn<QString>("program");
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("printed"); // on standard output, or on standard error for a failure

    for (const char *p : {"volmara", "volmarad", "volmara-mapsim", "volmara-dbinit"}) {
        const QString program = QString::fromLatin1(p);
        QTest::addRow("%s --version", p)
            << program << QStringList{"--version"} << 0 << "Version 3.0.50\n";
        QTest::addRow("%s --help", p) << program << QStringList{"--help"} << 0 << "--version";
        QTest::addRow("%s unknown option", p)
            << program << QStringList{"--frobnicate"} << 64 << "frobnicate";
    }
    QTest::newRow("volmara unknown option")
        << "volmara" << QStringList{"-Server"} << 64 << "Usage: volmara";
    QTest::newRow("volmarad unknown option")
        << "volmarad" << QStringList{"--Server"} << 64 << "Usage: volmarad";
    QTest::newRow("volmarad home without folder")
        << "volmarad" << QStringList{"--home"} << 64 << "--home wants a folder";
    QTest::newRow("volmara-dbinit without folder")
        << "volmara-dbinit" << QStringList() << 64 << "one FOLDER expected";
    QTest::newRow("volmara-mapsim bad port")
        << "volmara-mapsim" << QStringList{"--port", "99999"} << 64 << "--port wants a number";
    QTest::newRow("volmara without a display")
        << "volmara" << QStringList{"Server"} << 1 << "volmarad";
}

void TestE2eDaemon::exitStatuses()
{
    QFETCH(QString, program);
    QFETCH(QStringList, args);
    QFETCH(int, status);
    QFETCH(QString, printed);
    QProcess p;
    QProcessEnvironment env = headlessEnvironment();
    env.insert(QStringLiteral("VOLMARA_HOME"), m_home->path());
    p.setProcessEnvironment(env);
    p.start(bin(program), args);
    QVERIFY(p.waitForFinished(15000));
    QCOMPARE(p.exitStatus(), QProcess::NormalExit);
    QCOMPARE(p.exitCode(), status);
    const QString out
        = QString::fromUtf8(status == 0 ? p.readAllStandardOutput() : p.readAllStandardError());
    QVERIFY2(out.contains(printed), qPrintable(out));
    if (status == 0 && args == QStringList{QStringLiteral("--version")})
        QCOMPARE(out, printed);
    // Nothing started: no log in the program folder.
    QVERIFY(!m_home->exists(QStringLiteral("Debug.TXT")));
}

QTEST_GUILESS_MAIN(TestE2eDaemon)
#include "tst_e2e_daemon.moc"
