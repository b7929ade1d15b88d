#include "TestSupport.h"

#include "app/Gateway.h"
#include "app/MainCommands.h"
#include "common/MenuMarks.h"
#include "cycle/DatabaseCycle.h"
#include "cycle/DatabaseThread.h"
#include "cycle/StatusReport.h"
#include "platform/Clock.h"
#include "platform/DateTime.h"
#include "platform/DbSession.h"
#include "settings/Settings.h"

#include <QFile>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QtTest>

class TestMainCommands : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void summaryWithNothing();
    void summaryOfSessions();
    void refreshRequestsOnceAndBeats();
    void debugAllToggleIsStored();
    void oneShotMarks();
    void ticksLeavesItsMarkCleared();
    void statusPopupAndPanel();
    void minimizedWindowIsLeftAlone();

private:
    static std::shared_ptr<DbSession> openEmbedded(const TempHome &home, const QString &catalog);
};

std::shared_ptr<DbSession> TestMainCommands::openEmbedded(
    const TempHome &home, const QString &catalog)
{
    {
        QSqlDatabase db
            = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("mk"));
        db.setDatabaseName(home.file(catalog + QStringLiteral(".sqlite")));
        db.open();
        QSqlQuery(db).exec(QStringLiteral("CREATE TABLE T (x)"));
        db.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("mk"));
    auto session = std::make_shared<DbSession>();
    session->setProperty(QStringLiteral("Data Source"), QStringLiteral("sqlite:") + home.path());
    session->setProperty(QStringLiteral("Initial Catalog"), catalog);
    session->open();
    return session;
}

void TestMainCommands::summaryWithNothing()
{
    TempHome home;
    Gateway gw(home.path());
    FakeUi ui;
    gw.setUi(&ui);
    QString text;
    gw.statusReport().Statuses(text);
    QCOMPARE(text, QStringLiteral("JOBS - Nothing, ORVIKDB - Nothing, Map - Closed"));
    gw.statusReport().ShowStatuses();
    QCOMPARE(gw.statusRows().strStatus, text);
    QCOMPARE(gw.panels().panelText(QStringLiteral("keyStatus")), text + QStringLiteral("  "));
}

void TestMainCommands::summaryOfSessions()
{
    TempHome home;
    Gateway gw(home.path());
    FakeUi ui;
    gw.setUi(&ui);
    gw.database().call([&](DatabaseWorker &w) {
        w.sessions().cnJobs = openEmbedded(home, QStringLiteral("ORVIK_Jobs"));
        w.sessions().cnORVIKDB = openEmbedded(home, QStringLiteral("ORVIKDB"));
    });
    QString text;
    gw.statusReport().Statuses(text);
    QCOMPARE(text, QStringLiteral("JOBS - Open, ORVIKDB - Open, Map - Closed"));
    // A session whose file went away is open but not working.
    QVERIFY(QFile::remove(home.file(QStringLiteral("ORVIK_Jobs.sqlite"))));
    gw.database().call([](DatabaseWorker &w) { w.sessions().cnORVIKDB->close(); });
    gw.statusReport().Statuses(text);
    QCOMPARE(text,
        QStringLiteral("JOBS - Open, Connection Status not Open, ORVIKDB - Closed, Map - Closed"));
}

void TestMainCommands::refreshRequestsOnceAndBeats()
{
    TempHome home;
    Gateway gw(home.path());
    FakeUi ui;
    gw.setUi(&ui);
    gw.link().bRequestLines = false;
    gw.cycle().setLastQueryAll(QDateTime(QDate(2026, 12, 7), QTime(10, 0)));
    gw.clock().setNow(QDateTime(QDate(2026, 12, 7), QTime(10, 5, 7, 375)));
    gw.commands().mnuRefresh_Click();
    QCOMPARE(gw.panels().panelText(QStringLiteral("keyAlive")), QStringLiteral("False: 375"));
    QVERIFY(gw.marks().checked(MenuMarks::mnuRefresh));
    QVERIFY(gw.link().bRequestLines);
    QVERIFY(DateTime::isZero(gw.cycle().dtLastQueryAll()));

    // A second choice before a cycle ran changes only the heartbeat.
    gw.link().bRequestLines = false;
    gw.cycle().start();
    gw.clock().advanceMs(250);
    gw.commands().mnuRefresh_Click();
    QCOMPARE(gw.panels().panelText(QStringLiteral("keyAlive")), QStringLiteral("True: 625"));
    QVERIFY(!gw.link().bRequestLines);
}

void TestMainCommands::debugAllToggleIsStored()
{
    TempHome home;
    Gateway gw(home.path());
    FakeUi ui;
    gw.setUi(&ui);
    gw.commands().mnuDebugAll_Click();
    QVERIFY(gw.marks().checked(MenuMarks::mnuDebugAll));
    QCOMPARE(
        gw.settings().ReadINI(QStringLiteral("Misc"), QStringLiteral("SentLines2File"), QString()),
        QStringLiteral("True"));
    gw.commands().mnuDebugAll_Click();
    QVERIFY(!gw.marks().checked(MenuMarks::mnuDebugAll));
    QCOMPARE(
        gw.settings().ReadINI(QStringLiteral("Misc"), QStringLiteral("SentLines2File"), QString()),
        QStringLiteral("False"));
}

void TestMainCommands::oneShotMarks()
{
    TempHome home;
    Gateway gw(home.path());
    FakeUi ui;
    gw.setUi(&ui);
    gw.commands().mnuDebugCurrent_Click();
    gw.commands().mnuSaveQuery_Click();
    QVERIFY(gw.marks().checked(MenuMarks::mnuDebugCurrent));
    QVERIFY(gw.marks().checked(MenuMarks::mnuSaveQuery));
    gw.commands().mnuDB_Click();
    QVERIFY(gw.marks().bDBCommand);
    QVERIFY(gw.marks().checked(MenuMarks::mnuDB));
    // While the mark is set a second choice does nothing.
    gw.marks().bDBCommand = false;
    gw.commands().mnuDB_Click();
    QVERIFY(!gw.marks().bDBCommand);
}

void TestMainCommands::ticksLeavesItsMarkCleared()
{
    TempHome home;
    Gateway gw(home.path());
    FakeUi ui;
    gw.setUi(&ui);
    QList<bool> marksSeen;
    connect(&gw.marks(), &MenuMarks::changed, this, [&](MenuMarks::Mark m, bool on) {
        if (m == MenuMarks::mnuTicks)
            marksSeen << on;
    });
    gw.commands().mnuTicks_Click();
    QCOMPARE(ui.count(QStringLiteral("saveTrafficWindow")), 1);
    QCOMPARE(marksSeen, QList<bool>({true, false}));
    QVERIFY(!gw.marks().checked(MenuMarks::mnuTicks));
    gw.commands().mnuClear_Click();
    QCOMPARE(ui.count(QStringLiteral("clearTrafficWindow")), 1);
}

void TestMainCommands::statusPopupAndPanel()
{
    TempHome home;
    Gateway gw(home.path());
    FakeUi ui;
    gw.setUi(&ui);
    gw.commands().mnuStatus_Click();
    QCOMPARE(ui.calls.last(),
        QStringLiteral("showStatusPopup:SQLServer Status - Nothing\r\nMap State - 0"));
    QCOMPARE(gw.panels().panelText(QStringLiteral("keyStatus")),
        QStringLiteral("SQLServer Status - Nothing, Map State - 0  "));
    gw.database().call([&](DatabaseWorker &w) {
        w.sessions().cnJobs = openEmbedded(home, QStringLiteral("ORVIK_Jobs"));
    });
    gw.commands().mnuStatus_Click();
    QCOMPARE(
        ui.calls.last(), QStringLiteral("showStatusPopup:SQLServer Status - 1\r\nMap State - 0"));
}

void TestMainCommands::minimizedWindowIsLeftAlone()
{
    TempHome home;
    Gateway gw(home.path());
    FakeUi ui;
    gw.setUi(&ui);
    ui.minimized = true;
    gw.commands().MDIForm_Resize();
    QCOMPARE(ui.count(QStringLiteral("layoutMainWindow")), 0);
    QVERIFY(gw.panels().panelText(QStringLiteral("keyStatus")).isEmpty());
    ui.minimized = false;
    gw.commands().MDIForm_Resize();
    QCOMPARE(ui.count(QStringLiteral("layoutMainWindow")), 1);
    QVERIFY(!gw.panels().panelText(QStringLiteral("keyStatus")).isEmpty());
}

QTEST_GUILESS_MAIN(TestMainCommands)
#include "tst_maincommands.moc"
