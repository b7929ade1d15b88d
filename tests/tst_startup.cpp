#include "TestSupport.h"

#include "app/AppLifecycle.h"
#include "app/Gateway.h"
#include "app/Supervisor.h"
#include "common/MenuMarks.h"
#include "cycle/DatabaseCycle.h"
#include "cycle/DatabaseThread.h"
#include "db/EmbeddedSchema.h"
#include "db/SqlConnect.h"
#include "platform/Clock.h"
#include "platform/DbSession.h"
#include "platform/Failure.h"

#include <QtTest>

class TestStartup : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void roleWord_data();
    void roleWord();
    void settingsAtStartup_data();
    void settingsAtStartup();
    void versionTexts();
    void startupDefaultsAndOrder();
    void closeAnsweredNoKeepsRunning();
    void closeAnsweredYesEndsThroughTaskTimer();
    void exitEntryAsksTheSameQuestion();
    void stopSignalPathAsksNothing();
    void endClosesTheSessionsBeforeTheProcessEnds();
    void logOnUnloadingItselfIsNotAnError();
};

void TestStartup::roleWord_data()
{
    QTest::addColumn<QString>("commandLine");
    QTest::addColumn<QString>("role");
    QTest::addColumn<bool>("logged");
    QTest::newRow("client lower case between spaces") << "  client  "
                                                      << "Client" << false;
    QTest::newRow("Server") << "Server"
                            << "Server" << false;
    QTest::newRow("empty") << ""
                           << "Server" << false;
    QTest::newRow("other word") << "Clients"
                                << "Server" << true;
    QTest::newRow("two words") << "Client Server"
                               << "Server" << true;
}

void TestStartup::roleWord()
{
    QFETCH(QString, commandLine);
    QFETCH(QString, role);
    TempHome home;
    Gateway gw(home.path());
    FakeUi ui;
    gw.setUi(&ui);
    QFETCH(bool, logged);
    gw.lifecycle().MDIForm_Load(commandLine);
    QCOMPARE(roleName(gw.mapSettings().strRole), role);
    // A word that names no role is not taken silently.
    const QStringList refused = home.lines(QStringLiteral("Debug.TXT"))
                                    .filter(QStringLiteral("MDIForm_Load: Command line = "));
    QCOMPARE(refused.size(), logged ? 1 : 0);
}

void TestStartup::settingsAtStartup_data()
{
    QTest::addColumn<QByteArray>("ini");
    QTest::addColumn<QString>("interval");
    QTest::addColumn<bool>("debugAll");
    QTest::addColumn<bool>("logged");
    QTest::newRow("no settings file") << QByteArray() << "15" << false << false;
    QTest::newRow("interval and true in lower case")
        << QByteArray("[Misc]\r\nDBInterval=30\r\nSentLines2File=true\r\n") << "30" << true
        << false;
    QTest::newRow("interval not a number")
        << QByteArray("[Misc]\r\nDBInterval=abc\r\n") << "15" << false << false;
    QTest::newRow("interval present but empty")
        << QByteArray("[Misc]\r\nDBInterval=\r\n") << "15" << false << false;
    QTest::newRow("numeric truth")
        << QByteArray("[Misc]\r\nSentLines2File=1\r\n") << "15" << true << false;
    QTest::newRow("truth word that is not one")
        << QByteArray("[Misc]\r\nSentLines2File=yes\r\nDBInterval=20\r\n") << "20" << false << true;
}

void TestStartup::settingsAtStartup()
{
    QFETCH(QByteArray, ini);
    QFETCH(QString, interval);
    QFETCH(bool, debugAll);
    QFETCH(bool, logged);
    TempHome home;
    if (!ini.isEmpty())
        home.write(QStringLiteral("Volmara.INI"), ini);
    Gateway gw(home.path());
    FakeUi ui;
    gw.setUi(&ui);
    gw.lifecycle().MDIForm_Load(QStringLiteral("Server"));
    QCOMPARE(gw.cycle().intervalText(), interval);
    QCOMPARE(gw.cycle().intervalTag(), interval);
    QCOMPARE(gw.marks().checked(MenuMarks::mnuDebugAll), debugAll);
    QVERIFY(!gw.marks().checked(MenuMarks::mnuDebugCurrent));
    QCOMPARE(home.exists(QStringLiteral("Debug.TXT")), logged);
    // A bad setting never stops the start-up: the window is shown and the
    // logon dialog loaded.
    QCOMPARE(ui.count(QStringLiteral("showMainWindow")), 1);
    QCOMPARE(ui.count(QStringLiteral("loadLogOn")), 1);
}

void TestStartup::versionTexts()
{
    TempHome home;
    Gateway gw(home.path());
    FakeUi ui;
    gw.setUi(&ui);
    gw.lifecycle().MDIForm_Load(QString());
    QCOMPARE(
        gw.panels().panelText(QStringLiteral("keyVersion")), QStringLiteral("Version 3.00.50  "));
    QCOMPARE(gw.statusRows().strVersion, QStringLiteral("Version 3.0.50"));
}

void TestStartup::startupDefaultsAndOrder()
{
    TempHome home;
    Gateway gw(home.path());
    FakeUi ui;
    gw.setUi(&ui);
    const QDateTime now(QDate(2026, 12, 7), QTime(9, 0));
    gw.clock().setNow(now);
    QVERIFY(!gw.tasks().isActive());
    QVERIFY(!gw.cycle().tmrDB().isActive());
    gw.lifecycle().MDIForm_Load(QStringLiteral("Server"));
    QVERIFY(gw.link().bRequestLines);
    QCOMPARE(gw.link().dtLinesTime, now);
    QVERIFY(gw.windows().loaded(WindowTable::Window::Main));
    QCOMPARE(gw.tasks().step(), TaskStep::MainAppearance);
    QVERIFY(gw.tasks().isActive());
    QCOMPARE(gw.tasks().interval(), 200);
    QVERIFY(!gw.cycle().tmrDB().isActive());
    QCOMPARE(ui.calls, QStringList({"showMainWindow", "loadLogOn"}));
    // The first tick lays the main window out once and leaves the timer off.
    QTRY_COMPARE_WITH_TIMEOUT(ui.count(QStringLiteral("layoutMainWindow")), 1, 2000);
    QVERIFY(!gw.tasks().isActive());
}

void TestStartup::closeAnsweredNoKeepsRunning()
{
    TempHome home;
    Gateway gw(home.path());
    FakeUi ui;
    gw.setUi(&ui);
    int ended = 0;
    gw.lifecycle().setProcessEnder([&ended] { ++ended; });
    gw.lifecycle().MDIForm_Load(QStringLiteral("Server"));
    gw.tasks().setStep(TaskStep::None);
    gw.tasks().stop();
    ui.answers = {false};
    QVERIFY(gw.lifecycle().MDIForm_QueryUnload()); // the close is refused
    QCOMPARE(ui.questions, QStringList({"Are you sure that you want to exit now?"}));
    QVERIFY(gw.tasks().step() == TaskStep::None);
    QVERIFY(!gw.tasks().isActive());
    QTest::qWait(300);
    QCOMPARE(ended, 0);
}

void TestStartup::closeAnsweredYesEndsThroughTaskTimer()
{
    TempHome home;
    Gateway gw(home.path());
    FakeUi ui;
    gw.setUi(&ui);
    int ended = 0;
    gw.lifecycle().setProcessEnder([&ended] { ++ended; });
    gw.lifecycle().MDIForm_Load(QStringLiteral("Server"));
    gw.windows().setLoaded(WindowTable::Window::LogOn, true);
    ui.onUnloadLogOn = [&gw] { gw.windows().setLoaded(WindowTable::Window::LogOn, false); };
    ui.answers = {true};
    QVERIFY(gw.lifecycle().MDIForm_QueryUnload());
    QCOMPARE(gw.tasks().step(), TaskStep::EndProgram);
    QCOMPARE(ended, 0); // not ended by the close request itself
    QTRY_COMPARE_WITH_TIMEOUT(ended, 1, 2000);
    QCOMPARE(ui.count(QStringLiteral("unloadLogOn")), 1);
    const QStringList lines = home.lines(QStringLiteral("Debug.TXT"));
    QCOMPARE(lines.size(), 1);
    QVERIFY(lines.first().endsWith(
        QStringLiteral(" EndProgram: TimerFuncsError Number: 0Description: ")));
}

void TestStartup::exitEntryAsksTheSameQuestion()
{
    TempHome home;
    Gateway gw(home.path());
    FakeUi ui;
    gw.setUi(&ui);
    gw.lifecycle().setProcessEnder([] {});
    ui.answers = {false};
    gw.lifecycle().mnuExit_Click();
    QCOMPARE(ui.questions, QStringList({"Are you sure that you want to exit now?"}));
    QVERIFY(gw.tasks().step() == TaskStep::None);
}

void TestStartup::stopSignalPathAsksNothing()
{
    TempHome home;
    Gateway gw(home.path());
    FakeUi ui;
    gw.setUi(&ui);
    int ended = 0;
    gw.lifecycle().setProcessEnder([&ended] { ++ended; });
    gw.lifecycle().requestEnd();
    QTRY_COMPARE_WITH_TIMEOUT(ended, 1, 2000);
    QVERIFY(ui.questions.isEmpty());
}

void TestStartup::endClosesTheSessionsBeforeTheProcessEnds()
{
    TempHome home;
    Gateway gw(home.path());
    FakeUi ui;
    gw.setUi(&ui);
    EmbeddedSchema::create(home.file(QStringLiteral("db")));
    gw.dataSource().strSQLServer = QStringLiteral("sqlite:db");
    gw.dataSource().strCatalog = QStringLiteral("ORVIK_Jobs");
    bool opened = false;
    gw.database().call(
        [&](DatabaseWorker &w) { opened = w.open(SqlConnect::Which::Both, gw.dataSource()).ok; });
    QVERIFY(opened);
    // An outage's failures counted and not yet written.
    for (int i = 0; i < 12; ++i)
        gw.log().logMessage(QStringLiteral("sckmap_Error"), QStringLiteral("Can't connect"));
    // The process ends without unwinding: what is not closed by then never is.
    QStringList seen;
    gw.lifecycle().setProcessEnder([&] {
        seen << QString::number(gw.database().status().jobs.state)
             << QString::number(gw.database().status().orvikDb.state)
             << home.lines(QStringLiteral("Debug.TXT")).last();
    });
    gw.lifecycle().EndProgram(QStringLiteral("TimerFuncs"));
    QCOMPARE(seen.size(), 3);
    QCOMPARE(seen.at(0), QStringLiteral("0"));
    QCOMPARE(seen.at(1), QStringLiteral("0"));
    QVERIFY2(
        seen.at(2).endsWith(QStringLiteral(" EndProgram: TimerFuncsError Number: 0Description: ")),
        qPrintable(seen.at(2)));
    const QStringList lines = home.lines(QStringLiteral("Debug.TXT"));
    QVERIFY2(lines.at(lines.size() - 2).contains(QStringLiteral("[repeated 2 more times")),
        qPrintable(lines.join(QLatin1Char('\n'))));
}

void TestStartup::logOnUnloadingItselfIsNotAnError()
{
    TempHome home;
    Gateway gw(home.path());
    FakeUi ui;
    gw.setUi(&ui);
    // An automatic start: the dialog applies the settings and closes during
    // its load, which reaches start-up as "Object was unloaded".
    ui.onLoadLogOn = [] { throw Failure(Failure::ObjectUnloaded); };
    gw.lifecycle().MDIForm_Load(QStringLiteral("Server"));
    const QStringList lines = home.lines(QStringLiteral("Debug.TXT"));
    QCOMPARE(lines.size(), 1);
    QVERIFY2(
        lines.first().endsWith(QStringLiteral(" MDIForm_Load: Error Number: 364Description: Object "
                                              "was unloaded: But this is not an Error")),
        qPrintable(lines.first()));
    QVERIFY(gw.windows().loaded(WindowTable::Window::Main));
}

QTEST_GUILESS_MAIN(TestStartup)
#include "tst_startup.moc"
