#include "TestSupport.h"

#include "app/AppLifecycle.h"
#include "app/Gateway.h"
#include "common/MapProtocol.h"
#include "common/Version.h"
#include "cycle/DatabaseCycle.h"
#include "cycle/DatabaseThread.h"
#include "platform/Clock.h"
#include "platform/DbSession.h"
#include "platform/MapSocket.h"
#include "settings/Settings.h"
#include "settings/frmLogOn.h"
#include "windows/MainWindow.h"
#include "windows/WidgetUi.h"

#include <QAction>
#include <QApplication>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTcpServer>
#include <QTimer>
#include <QtTest>

#include <memory>

namespace {

// A one-shot action that dies with the test that set it, so that it can
// never fire into a later test.
class Later
{
public:
    template <typename F> Later(int ms, F action)
    {
        m_timer.setSingleShot(true);
        QObject::connect(&m_timer, &QTimer::timeout, action);
        m_timer.start(ms);
    }

private:
    QTimer m_timer;
};

struct Entries
{
    QString ip, port, server, gmt;
};

} // namespace

class TestLogOn : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<TempHome> m_home;
    std::unique_ptr<Gateway> m_gw;
    FakeUi m_ui;
    QAction m_mnuConnect;

    void saveSettings(const Entries &e)
    {
        const Settings &ini = m_gw->settings();
        if (!e.ip.isNull())
            ini.WriteINI(QStringLiteral("ORVIKMap"), QStringLiteral("MapIP"), e.ip);
        if (!e.port.isNull())
            ini.WriteINI(QStringLiteral("ORVIKMap"), QStringLiteral("Port"), e.port);
        if (!e.gmt.isNull())
            ini.WriteINI(QStringLiteral("ORVIKMap"), QStringLiteral("GMT"), e.gmt);
        if (!e.server.isNull())
            ini.WriteINI(QStringLiteral("Database"), QStringLiteral("SQLServer"), e.server);
    }

    // A dialog loaded after the first load of the run: it never applies by itself.
    frmLogOn *loadLater()
    {
        m_gw->logOnLogic().takeAutomaticTurn();
        auto *dlg = new frmLogOn(
            m_gw->logOnLogic(), m_gw->windows(), m_gw->clock(), m_gw->log(), &m_mnuConnect);
        dlg->Form_Load();
        return dlg;
    }

    template <typename T> static T *control(QWidget *dlg, const char *name)
    {
        T *c = dlg->findChild<T *>(QString::fromLatin1(name));
        if (!c)
            qFatal("no control %s", name);
        return c;
    }

    static void fill(frmLogOn *dlg, const QString &ip, const QString &port,
        const QStringList &servers, const QString &gmt)
    {
        control<QLineEdit>(dlg, "txtMapIP")->setText(ip);
        control<QLineEdit>(dlg, "txtPort")->setText(port);
        dlg->setServers(servers, -1);
        control<QLineEdit>(dlg, "txtGMT")->setText(gmt);
    }

    QByteArray debugLog() const { return m_home->read(QStringLiteral("Debug.TXT")); }

private Q_SLOTS:
    void init()
    {
        m_home = std::make_unique<TempHome>();
        m_gw = std::make_unique<Gateway>(m_home->path());
        m_ui = FakeUi();
        m_gw->setUi(&m_ui);
        m_mnuConnect.setEnabled(true);
    }
    void cleanup()
    {
        m_gw.reset();
        m_home.reset();
    }

    void loadFillsControls()
    {
        saveSettings({QStringLiteral("10.0.0.5"), QString(), QStringLiteral("SQL01"), QString()});
        std::unique_ptr<frmLogOn> dlg(loadLater());
        QCOMPARE(dlg->windowTitle(), QStringLiteral("System LogOn"));
        QCOMPARE(control<QLineEdit>(dlg.get(), "txtMapIP")->text(), QStringLiteral("10.0.0.5"));
        QCOMPARE(control<QLineEdit>(dlg.get(), "txtPort")->text(), QStringLiteral("21953"));
        QCOMPARE(control<QLineEdit>(dlg.get(), "txtGMT")->text(), QStringLiteral("2"));
        QCOMPARE(dlg->servers(), QStringList{QStringLiteral("SQL01")});
        QCOMPARE(control<QLineEdit>(dlg.get(), "txtOrg")->text(), QStringLiteral("dedod"));
        QCOMPARE(control<QLabel>(dlg.get(), "lblServer")->text(), QStringLiteral("Server Name:"));
        QVERIFY(control<QLineEdit>(dlg.get(), "txtMapUserID")->text().isEmpty());
        QCOMPARE(control<QLineEdit>(dlg.get(), "txtMapPassword")->echoMode(), QLineEdit::Password);
        QVERIFY(control<QPushButton>(dlg.get(), "cmdConnect")->isDefault());
        QVERIFY(m_gw->windows().logOnLoaded());
        QVERIFY(!m_mnuConnect.isEnabled());

        // Tab order as the operator walks it.
        const char *order[] = {"txtMapIP", "txtPort", "txtMapUserID", "txtMapPassword",
            "txtSQLServer", "txtGMT", "txtOrg", "cmdConnect", "cmdCancel"};
        for (size_t i = 1; i < std::size(order); ++i) {
            QWidget *next = control<QWidget>(dlg.get(), order[i - 1])->nextInFocusChain();
            while (!(next->focusPolicy() & Qt::TabFocus))
                next = next->nextInFocusChain();
            QCOMPARE(next->objectName(), QString::fromLatin1(order[i]));
        }

        // Two columns: the map entries left of the user ID column.
        QVERIFY(control<QWidget>(dlg.get(), "txtMapIP")->x()
            < control<QWidget>(dlg.get(), "txtMapUserID")->x());
        QVERIFY(control<QWidget>(dlg.get(), "txtGMT")->x()
            < control<QWidget>(dlg.get(), "txtOrg")->x());

        dlg->unload();
        QVERIFY(!m_gw->windows().logOnLoaded());
        QVERIFY(m_mnuConnect.isEnabled());
    }

    void automaticApply_data()
    {
        QTest::addColumn<QString>("ip");
        QTest::addColumn<QString>("port");
        QTest::addColumn<QString>("server");
        QTest::addColumn<QString>("gmt");
        QTest::addColumn<bool>("started");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("logged");

        const QString none; // key not in the file
        QTest::newRow("complete") << "10.1.1.1"
                                  << "4000"
                                  << "SRV"
                                  << "3" << true << ""
                                  << "";
        QTest::newRow("defaults for port and GMT")
            << "10.1.1.1" << none << "SRV" << none << true << ""
            << "";
        QTest::newRow("no server: silent") << "10.1.1.1"
                                           << "4000" << none << "3" << false << ""
                                           << "";
        QTest::newRow("no address") << none << "4000"
                                    << "SRV"
                                    << "3" << false << "ORVIK Map IP not Applied"
                                    << "";
        QTest::newRow("empty port") << "10.1.1.1"
                                    << ""
                                    << "SRV"
                                    << "3" << false << "Port not Applied"
                                    << "";
        QTest::newRow("empty GMT") << "10.1.1.1"
                                   << "4000"
                                   << "SRV"
                                   << "" << false << "GMT Offset not applied"
                                   << "";
        QTest::newRow("port of letters") << "10.1.1.1"
                                         << "abc"
                                         << "SRV"
                                         << "3" << false << ""
                                         << "cmdConnect_Click: Error Number: 13";
        QTest::newRow("GMT out of range") << "10.1.1.1"
                                          << "4000"
                                          << "SRV"
                                          << "40000" << false << ""
                                          << "cmdConnect_Click: Error Number: 6";
    }
    void automaticApply()
    {
        QFETCH(QString, ip);
        QFETCH(QString, port);
        QFETCH(QString, server);
        QFETCH(QString, gmt);
        QFETCH(bool, started);
        QFETCH(QString, message);
        QFETCH(QString, logged);

        saveSettings({ip, port, server, gmt});
        const QByteArray before = m_home->read(QStringLiteral("Volmara.INI"));

        QPointer<frmLogOn> dlg = new frmLogOn(
            m_gw->logOnLogic(), m_gw->windows(), m_gw->clock(), m_gw->log(), &m_mnuConnect);
        dlg->Form_Load();
        QVERIFY(!m_gw->logOnLogic().takeAutomaticTurn());
        // The automatic apply never writes the settings.
        QCOMPARE(m_home->read(QStringLiteral("Volmara.INI")), before);

        QCOMPARE(m_gw->tasks().step() == TaskStep::StartConnectAll, started);
        QCOMPARE(m_gw->tasks().isActive(), started);
        // Applied: it unloaded itself during its load; else it stays to be shown.
        QCOMPARE(dlg->isUnloaded(), started);
        QCOMPARE(m_gw->windows().logOnLoaded(), !started);
        QCOMPARE(m_mnuConnect.isEnabled(), started);
        if (started) {
            QCOMPARE(m_gw->mapSettings().strMapIP, QStringLiteral("10.1.1.1"));
            QCOMPARE(int(m_gw->mapSettings().iMapPort), port.isNull() ? 21953 : 4000);
            QCOMPARE(int(m_gw->mapSettings().iGMTOffset), gmt.isNull() ? 2 : 3);
            QCOMPARE(m_gw->dataSource().strSQLServer, QStringLiteral("SRV"));
            QCOMPARE(m_gw->dataSource().strCatalog, QStringLiteral("ORVIK_Jobs"));
        }
        if (message.isEmpty()) {
            QVERIFY(m_ui.messages.isEmpty());
        } else {
            QCOMPARE(m_ui.messages.size(), 1);
            QCOMPARE(m_ui.messages.first().text, message);
            QCOMPARE(m_ui.messages.first().icon, Ui::Icon::Critical);
            QCOMPARE(m_ui.messages.first().title, Version::kAppTitle);
        }
        if (!logged.isEmpty())
            QVERIFY2(debugLog().contains(logged.toLatin1()), debugLog().constData());
        delete dlg;
        m_gw->tasks().stop();
    }

    void automaticApplyOnlyOnce()
    {
        saveSettings({QStringLiteral("10.1.1.1"), QString(), QStringLiteral("SRV"), QString()});
        QPointer<frmLogOn> first = new frmLogOn(
            m_gw->logOnLogic(), m_gw->windows(), m_gw->clock(), m_gw->log(), &m_mnuConnect);
        first->Form_Load();
        QVERIFY(first->isUnloaded());
        m_gw->tasks().setStep(TaskStep::None);
        m_gw->tasks().stop();

        std::unique_ptr<frmLogOn> again(new frmLogOn(
            m_gw->logOnLogic(), m_gw->windows(), m_gw->clock(), m_gw->log(), &m_mnuConnect));
        again->Form_Load();
        QVERIFY(!again->isUnloaded());
        QVERIFY(m_gw->tasks().step() == TaskStep::None);
        QVERIFY(!m_gw->tasks().isActive());
        delete first;
    }

    void userChecksInOrder_data()
    {
        QTest::addColumn<QString>("ip");
        QTest::addColumn<QString>("port");
        QTest::addColumn<QStringList>("servers");
        QTest::addColumn<QString>("gmt");
        QTest::addColumn<QString>("message");
        QTest::addColumn<int>("icon");

        const QStringList srv{QStringLiteral("SRV")};
        const int critical = int(Ui::Icon::Critical);
        const int plain = int(Ui::Icon::None);
        QTest::newRow("all empty: the address first") << ""
                                                      << "" << QStringList() << ""
                                                      << "ORVIK Map IP not Applied" << critical;
        QTest::newRow("port before the list") << "h"
                                              << "" << QStringList() << ""
                                              << "Port not Applied" << critical;
        QTest::newRow("empty list") << "h"
                                    << "1" << QStringList() << ""
                                    << "Database (ODBC DSN) not Applied" << plain;
        QTest::newRow("empty first entry")
            << "h"
            << "1" << QStringList{QString(), QStringLiteral("SRV")} << "2"
            << "Database (ODBC DSN) not Applied" << plain;
        QTest::newRow("GMT last") << "h"
                                  << "1" << srv << ""
                                  << "GMT Offset not applied" << critical;
    }
    void userChecksInOrder()
    {
        QFETCH(QString, ip);
        QFETCH(QString, port);
        QFETCH(QStringList, servers);
        QFETCH(QString, gmt);
        QFETCH(QString, message);
        QFETCH(int, icon);

        std::unique_ptr<frmLogOn> dlg(loadLater());
        fill(dlg.get(), ip, port, servers, gmt);
        QTest::mouseClick(control<QPushButton>(dlg.get(), "cmdConnect"), Qt::LeftButton);

        QCOMPARE(m_ui.messages.size(), 1);
        QCOMPARE(m_ui.messages.first().text, message);
        QCOMPARE(int(m_ui.messages.first().icon), icon);
        QCOMPARE(m_ui.messages.first().title, Version::kAppTitle);
        QVERIFY(!m_home->exists(QStringLiteral("Volmara.INI")));
        QVERIFY(m_gw->tasks().step() == TaskStep::None);
        QVERIFY(m_gw->windows().logOnLoaded());
    }

    void userConnectSavesAndStarts_data()
    {
        QTest::addColumn<QString>("ip");
        QTest::addColumn<QString>("port");
        QTest::addColumn<QString>("gmt");
        QTest::addColumn<int>("portValue");
        QTest::addColumn<int>("gmtValue");
        QTest::newRow("plain") << "192.168.7.20"
                               << "21953"
                               << "2" << 21953 << 2;
        QTest::newRow("blank address passes") << " "
                                              << "4000"
                                              << "-3" << 4000 << -3;
        QTest::newRow("port above 32767") << "h"
                                          << "40000"
                                          << "2" << 40000 << 2;
        QTest::newRow("blanks around numbers") << "h"
                                               << " 80 "
                                               << " 1" << 80 << 1;
    }
    void userConnectSavesAndStarts()
    {
        QFETCH(QString, ip);
        QFETCH(QString, port);
        QFETCH(QString, gmt);
        QFETCH(int, portValue);
        QFETCH(int, gmtValue);

        std::unique_ptr<frmLogOn> dlg(loadLater());
        fill(dlg.get(), ip, port, {QStringLiteral("First"), QStringLiteral("Second")}, gmt);
        dlg->cmdConnect_Click();

        QVERIFY(m_ui.messages.isEmpty());
        QCOMPARE(m_gw->mapSettings().strMapIP, ip); // used unchanged, blanks and all
        QCOMPARE(int(m_gw->mapSettings().iMapPort), portValue);
        QCOMPARE(int(m_gw->mapSettings().iGMTOffset), gmtValue);
        QCOMPARE(m_gw->dataSource().strSQLServer, QStringLiteral("First"));
        QCOMPARE(m_gw->dataSource().strCatalog, QStringLiteral("ORVIK_Jobs"));
        QCOMPARE(m_gw->tasks().step(), TaskStep::StartConnectAll);
        QVERIFY(m_gw->tasks().isActive());
        m_gw->tasks().stop();
        // The Connect button keeps the dialog up: it becomes the progress display.
        QVERIFY(!dlg->isUnloaded());

        // Saved as typed, untrimmed; only the first server.
        const QString ini = QString::fromLatin1(m_home->read(QStringLiteral("Volmara.INI")));
        QVERIFY2(
            ini.contains(QStringLiteral("MapIP=") + ip + QStringLiteral("\r\n")), qPrintable(ini));
        QVERIFY2(
            ini.contains(QStringLiteral("Port=") + port + QStringLiteral("\r\n")), qPrintable(ini));
        QVERIFY2(
            ini.contains(QStringLiteral("GMT=") + gmt + QStringLiteral("\r\n")), qPrintable(ini));
        QVERIFY(ini.contains(QStringLiteral("SQLServer=First")));
        QVERIFY(!ini.contains(QStringLiteral("Second")));
    }

    void conversionFailureKeepsSettings_data()
    {
        QTest::addColumn<QString>("port");
        QTest::addColumn<QString>("gmt");
        QTest::addColumn<QString>("logged");
        QTest::newRow("port beyond 16 bits") << "70000"
                                             << "2"
                                             << "Error Number: 6";
        QTest::newRow("port of blanks") << "  "
                                        << "2"
                                        << "Error Number: 13";
        QTest::newRow("GMT of letters") << "21953"
                                        << "two"
                                        << "Error Number: 13";
    }
    void conversionFailureKeepsSettings()
    {
        QFETCH(QString, port);
        QFETCH(QString, gmt);
        QFETCH(QString, logged);

        std::unique_ptr<frmLogOn> dlg(loadLater());
        fill(dlg.get(), QStringLiteral("h"), port, {QStringLiteral("S")}, gmt);
        dlg->cmdConnect_Click();

        QVERIFY(m_ui.messages.isEmpty());
        const QByteArray log = debugLog();
        QVERIFY2(log.contains("cmdConnect_Click: " + logged.toLatin1()), log.constData());
        // Written before the conversion failed; nothing started.
        QCOMPARE(
            m_gw->settings().ReadINI(QStringLiteral("ORVIKMap"), QStringLiteral("GMT"), QString()),
            gmt.trimmed());
        QCOMPARE(m_gw->settings().ReadINI(
                     QStringLiteral("Database"), QStringLiteral("SQLServer"), QString()),
            QStringLiteral("S"));
        QVERIFY(m_gw->tasks().step() == TaskStep::None);
        QVERIFY(!m_gw->tasks().isActive());
        QVERIFY(!dlg->isUnloaded());
        QCOMPARE(control<QPushButton>(dlg.get(), "cmdConnect")->text(), QStringLiteral("Connect"));
    }

    void roleLogin_data()
    {
        QTest::addColumn<QString>("role");
        QTest::addColumn<QString>("user");
        QTest::addColumn<QString>("password");
        QTest::newRow("Server") << "Server"
                                << "orvik"
                                << "qzt";
        QTest::newRow("Client") << "Client"
                                << "1" << MapProtocol::kClientPassword;
        QTest::newRow("client in lower case") << "client"
                                              << "1" << MapProtocol::kClientPassword;
    }
    void roleLogin()
    {
        QFETCH(QString, role);
        QFETCH(QString, user);
        QFETCH(QString, password);

        m_gw->mapSettings().strRole = *parseRole(role);
        m_gw->mapSettings().strMapUserID = QStringLiteral("before");
        m_gw->mapSettings().strMapPassword = QStringLiteral("secret");
        std::unique_ptr<frmLogOn> dlg(loadLater());
        fill(dlg.get(), QStringLiteral("h"), QStringLiteral("1"), {QStringLiteral("S")},
            QStringLiteral("2"));
        // The user ID and password boxes play no part.
        control<QLineEdit>(dlg.get(), "txtMapUserID")->setText(QStringLiteral("typed"));
        control<QLineEdit>(dlg.get(), "txtMapPassword")->setText(QStringLiteral("typed"));
        dlg->cmdConnect_Click();
        m_gw->tasks().stop();
        QCOMPARE(m_gw->mapSettings().strMapUserID, user);
        QCOMPARE(m_gw->mapSettings().strMapPassword, password);
    }

    void changeCaption_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("caption");
        QTest::newRow("empty") << ""
                               << "Add/Remove";
        QTest::newRow("blanks") << "   "
                                << "Add/Remove";
        QTest::newRow("a name") << " SQL2 "
                                << "Add";
    }
    void changeCaption()
    {
        QFETCH(QString, typed);
        QFETCH(QString, caption);
        std::unique_ptr<frmLogOn> dlg(loadLater());
        auto *cmdChange = control<QPushButton>(dlg.get(), "cmdChange");
        control<QLineEdit>(dlg.get(), "txtSQLServer")->setText(QStringLiteral("other"));
        control<QLineEdit>(dlg.get(), "txtSQLServer")->setText(typed);
        QCOMPARE(cmdChange->text(), caption);
        dlg->setServers({QStringLiteral("A")}, 0);
        dlg->lstDBs_GotFocus();
        QCOMPARE(cmdChange->text(), QStringLiteral("Remove"));
        dlg->lstDBs_Validate();
        QCOMPARE(cmdChange->text(), caption);

        // Coming to the list with nothing selected leaves the mode alone.
        dlg->setServers({QStringLiteral("A")}, -1);
        dlg->lstDBs_GotFocus();
        QCOMPARE(cmdChange->text(), caption);
    }

    void addServer_data()
    {
        QTest::addColumn<QStringList>("before");
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QStringList>("after");
        QTest::newRow("new name appended")
            << QStringList{"A", "B"} << "C" << QStringList{"A", "B", "C"};
        QTest::newRow("same name in other case")
            << QStringList{"Sql01", "B"} << "SQL01" << QStringList{"Sql01", "B"};
        QTest::newRow("untrimmed differs") << QStringList{"A"} << " A" << QStringList{"A", " A"};
        QTest::newRow("into an empty list") << QStringList() << "X" << QStringList{"X"};
    }
    void addServer()
    {
        QFETCH(QStringList, before);
        QFETCH(QString, typed);
        QFETCH(QStringList, after);
        std::unique_ptr<frmLogOn> dlg(loadLater());
        dlg->setServers(before, -1);
        auto *txt = control<QLineEdit>(dlg.get(), "txtSQLServer");
        txt->setText(typed);
        auto *cmdChange = control<QPushButton>(dlg.get(), "cmdChange");
        QCOMPARE(cmdChange->text(), QStringLiteral("Add"));
        QTest::mouseClick(cmdChange, Qt::LeftButton);
        QCOMPARE(dlg->servers(), after);
        QCOMPARE(txt->text(), typed); // not cleared
        QCOMPARE(cmdChange->text(), QStringLiteral("Add"));
        QVERIFY(m_ui.questions.isEmpty());
    }

    void removeServer_data()
    {
        QTest::addColumn<QStringList>("before");
        QTest::addColumn<int>("selected");
        QTest::addColumn<bool>("answer");
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QStringList>("after");
        QTest::addColumn<int>("selectedAfter");
        QTest::addColumn<QString>("caption");
        const QStringList abc{"A", "B", "C"};
        QTest::newRow("first of three")
            << abc << 0 << true << "" << QStringList{"B", "C"} << 0 << "Add/Remove";
        QTest::newRow("last of three")
            << abc << 2 << true << "" << QStringList{"A", "B"} << 1 << "Add/Remove";
        QTest::newRow("middle") << abc << 1 << true << "x" << QStringList{"A", "C"} << 0 << "Add";
        QTest::newRow("the only one")
            << QStringList{"A"} << 0 << true << "" << QStringList() << -1 << "Add/Remove";
        QTest::newRow("answered No") << abc << 1 << false << "" << abc << 1 << "Add/Remove";
    }
    void removeServer()
    {
        QFETCH(QStringList, before);
        QFETCH(int, selected);
        QFETCH(bool, answer);
        QFETCH(QString, typed);
        QFETCH(QStringList, after);
        QFETCH(int, selectedAfter);
        QFETCH(QString, caption);

        std::unique_ptr<frmLogOn> dlg(loadLater());
        control<QLineEdit>(dlg.get(), "txtSQLServer")->setText(typed);
        dlg->setServers(before, selected);
        dlg->lstDBs_GotFocus();
        auto *cmdChange = control<QPushButton>(dlg.get(), "cmdChange");
        QCOMPARE(cmdChange->text(), QStringLiteral("Remove"));
        m_ui.answers << answer;
        dlg->cmdChange_Click();

        QCOMPARE(m_ui.questions, QStringList{"Are you sure that you want ro remove this item?"});
        QCOMPARE(dlg->servers(), after);
        QCOMPARE(dlg->selectedServer(), selectedAfter);
        QCOMPARE(cmdChange->text(), caption);
    }

    void removeWithoutSelectionAsksNothing()
    {
        std::unique_ptr<frmLogOn> dlg(loadLater());
        dlg->setServers({"A", "B"}, 0);
        dlg->lstDBs_GotFocus();
        dlg->setServers({"A", "B"}, -1);
        dlg->cmdChange_Click();
        QVERIFY(m_ui.questions.isEmpty());
        QCOMPARE(dlg->servers(), QStringList({"A", "B"}));
    }

    void removeByMouse()
    {
        // The operator picks an entry with the mouse and presses the button:
        // leaving the list for the button must not take the Remove mode away.
        std::unique_ptr<frmLogOn> dlg(loadLater());
        dlg->setServers({"A", "B"}, -1);
        dlg->show();
        QVERIFY(QTest::qWaitForWindowActive(dlg.get()));
        auto *lst = control<QListWidget>(dlg.get(), "lstDBs");
        const QRect second = lst->visualItemRect(lst->item(1));
        QTest::mouseClick(lst->viewport(), Qt::LeftButton, {}, second.center());
        QTRY_VERIFY(lst->hasFocus());
        auto *cmdChange = control<QPushButton>(dlg.get(), "cmdChange");
        QCOMPARE(cmdChange->text(), QStringLiteral("Remove"));
        cmdChange->setFocus(Qt::MouseFocusReason);
        QCOMPARE(cmdChange->text(), QStringLiteral("Remove"));
        QTest::mouseClick(cmdChange, Qt::LeftButton);
        QCOMPARE(m_ui.questions.size(), 1);
        QCOMPARE(dlg->servers(), QStringList{"A"});
        QCOMPARE(dlg->selectedServer(), 0);

        // Leaving the list for another box resets the mode by the typed name.
        lst->setFocus(Qt::MouseFocusReason);
        QCOMPARE(cmdChange->text(), QStringLiteral("Remove"));
        control<QLineEdit>(dlg.get(), "txtGMT")->setFocus(Qt::TabFocusReason);
        QCOMPARE(cmdChange->text(), QStringLiteral("Add/Remove"));
    }

    void moveUpDown_data()
    {
        QTest::addColumn<int>("selected");
        QTest::addColumn<bool>("up");
        QTest::addColumn<QStringList>("after");
        QTest::addColumn<int>("selectedAfter");
        const QStringList abc{"A", "B", "C"};
        QTest::newRow("up on the first") << 0 << true << abc << 0;
        QTest::newRow("down on the last") << 2 << false << abc << 2;
        QTest::newRow("up to the top") << 1 << true << QStringList{"B", "A", "C"} << 0;
        QTest::newRow("down one") << 0 << false << QStringList{"B", "A", "C"} << 1;
        QTest::newRow("nothing selected") << -1 << true << abc << -1;
    }
    void moveUpDown()
    {
        QFETCH(int, selected);
        QFETCH(bool, up);
        QFETCH(QStringList, after);
        QFETCH(int, selectedAfter);
        std::unique_ptr<frmLogOn> dlg(loadLater());
        dlg->setServers({"A", "B", "C"}, selected);
        QTest::mouseClick(
            control<QWidget>(dlg.get(), up ? "updDBsUp" : "updDBsDown"), Qt::LeftButton);
        QCOMPARE(dlg->servers(), after);
        QCOMPARE(dlg->selectedServer(), selectedAfter);
    }

    void movedServerIsTheOneUsed()
    {
        std::unique_ptr<frmLogOn> dlg(loadLater());
        fill(dlg.get(), "h", "1", {"A", "B"}, "2");
        dlg->setServers({"A", "B"}, 1);
        dlg->updDBs_UpClick();
        dlg->cmdConnect_Click();
        m_gw->tasks().stop();
        QCOMPARE(m_gw->dataSource().strSQLServer, QStringLiteral("B"));
    }

    void layouts()
    {
        std::unique_ptr<frmLogOn> dlg(loadLater());
        auto *lbl = control<QLabel>(dlg.get(), "lblMultiTask");
        auto *cmd = control<QPushButton>(dlg.get(), "cmdConnect");
        const QRect lblRect = lbl->geometry();
        const QRect cmdRect = cmd->geometry();
        auto visibleControls = [&] {
            QStringList names;
            for (QWidget *w : dlg->findChildren<QWidget *>(Qt::FindDirectChildrenOnly)) {
                if (w->isVisibleTo(dlg.get()))
                    names << w->objectName();
            }
            return names;
        };
        const int all = int(visibleControls().size());
        QVERIFY(all >= 19);

        dlg->ReOrderControls(LogOnLayout::Connecting);
        QCOMPARE(visibleControls(), QStringList{"lblMultiTask"});
        QCOMPARE(lbl->text(), QStringLiteral("Connecting to Map and Database..."));
        QCOMPARE(lbl->x(), (dlg->width() - lbl->width()) / 2);
        QCOMPARE(lbl->y(), dlg->height() / 3);
        QVERIFY(lbl->width() >= lbl->sizeHint().width()); // sized to its text
        QCOMPARE(lbl->layoutDirection(), Qt::LeftToRight);

        // Layout words are read without regard to case; any other word names none.
        QVERIFY(!parseLayout(QStringLiteral("unknown")));
        QCOMPARE(visibleControls(), QStringList{"lblMultiTask"});

        dlg->ReOrderControls(*parseLayout(QStringLiteral("usual")));
        QCOMPARE(int(visibleControls().size()), all);
        QCOMPARE(lbl->geometry(), lblRect);
        QCOMPARE(lbl->text(), QStringLiteral("Organization:"));
        QCOMPARE(cmd->geometry(), cmdRect);
        QCOMPARE(cmd->text(), QStringLiteral("Connect"));
        QVERIFY(cmd->isEnabled());
    }

    void connectedClosesItselfAfterASecond()
    {
        Clock &clock = m_gw->clock();
        clock.setNow(QDateTime(QDate(2024, 5, 1), QTime(10, 0, 0)));
        QPointer<frmLogOn> dlg = loadLater();
        dlg->show();
        QStringList seenWhileWaiting;
        bool loadedWhileWaiting = false;
        Later later1(30, [&] {
            for (QWidget *w : dlg->findChildren<QWidget *>(Qt::FindDirectChildrenOnly)) {
                if (w->isVisibleTo(dlg))
                    seenWhileWaiting << w->objectName();
            }
            loadedWhileWaiting = m_gw->windows().logOnLoaded();
            clock.advanceMs(900);
        });
        Later later2(120, [&] { clock.advanceMs(100); });

        dlg->ReOrderControls(LogOnLayout::Connected);

        QCOMPARE(seenWhileWaiting, QStringList{"cmdConnect"});
        QVERIFY(loadedWhileWaiting);
        QVERIFY(!m_gw->windows().logOnLoaded());
        QVERIFY(m_mnuConnect.isEnabled());
        QVERIFY(dlg.isNull() || dlg->isUnloaded());
        QVERIFY(m_ui.messages.isEmpty());
        QTRY_VERIFY(dlg.isNull());
    }

    void connectedLayout()
    {
        std::unique_ptr<frmLogOn> dlg(loadLater());
        dlg->setConfirmSeconds(0);
        auto *cmd = control<QPushButton>(dlg.get(), "cmdConnect");
        QString caption;
        QRect place;
        // Seen at the automatic click, just before it unloads the dialog.
        connect(dlg.get(), &QDialog::rejected, this, [&] {
            caption = cmd->text();
            place = cmd->geometry();
        });
        dlg->ReOrderControls(LogOnLayout::Connected);
        QCOMPARE(caption, QStringLiteral("Close this Window\r\nConnected to Map and Database"));
        QCOMPARE(place.size(), QSize(200, 64));
        QCOMPARE(place.x(), (dlg->width() - 200) / 2);
        QCOMPARE(place.y(), dlg->height() / 2);
        QVERIFY(dlg->isUnloaded());
        QVERIFY(m_gw->tasks().step() == TaskStep::None); // closing applies nothing
    }

    void connectedWaitEndsWhenClockGoesBack()
    {
        Clock &clock = m_gw->clock();
        clock.setNow(QDateTime(QDate(2024, 5, 1), QTime(23, 59, 59, 700)));
        QPointer<frmLogOn> dlg = loadLater();
        Later later3(20, [&] { clock.setNow(QDateTime(QDate(2024, 5, 2), QTime(0, 0, 0, 100))); });
        dlg->ReOrderControls(LogOnLayout::Connected);
        QVERIFY(!m_gw->windows().logOnLoaded());
    }

    void connectedClickedAwayEarly()
    {
        Clock &clock = m_gw->clock();
        clock.setNow(QDateTime(QDate(2024, 5, 1), QTime(12, 0, 0)));
        QPointer<frmLogOn> dlg = loadLater();
        dlg->show();
        Later later4(20,
            [&] { QTest::mouseClick(control<QPushButton>(dlg, "cmdConnect"), Qt::LeftButton); });
        // The clock never moves: only the operator's click can end the wait.
        dlg->ReOrderControls(LogOnLayout::Connected);
        QVERIFY(!m_gw->windows().logOnLoaded());
        QVERIFY(m_mnuConnect.isEnabled());
        QVERIFY(!debugLog().contains("Error Number: 364"));
    }

    void usualLayoutDuringTheWaitLeavesConnectToTheOperator()
    {
        Clock &clock = m_gw->clock();
        clock.setNow(QDateTime(QDate(2024, 5, 1), QTime(12, 0, 0)));
        QPointer<frmLogOn> dlg = loadLater();
        fill(dlg, QStringLiteral("h"), QStringLiteral("21953"), {QStringLiteral("S")},
            QStringLiteral("2"));
        // A map error during the confirmation gives the normal layout back.
        Later later5(20, [&] {
            dlg->ReOrderControls(LogOnLayout::Usual);
            clock.advanceSeconds(2);
        });
        dlg->ReOrderControls(LogOnLayout::Connected);
        QVERIFY(m_gw->windows().logOnLoaded());
        QVERIFY(m_gw->tasks().step() == TaskStep::None); // nothing applied by itself
        QVERIFY(!m_gw->tasks().isActive());
        QCOMPARE(control<QPushButton>(dlg, "cmdConnect")->text(), QStringLiteral("Connect"));
        dlg->unload();
    }

    void cancelClosesSocketAndJobsSession()
    {
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost));
        MapSocket &sck = m_gw->sckMap();
        sck.setRemoteHost(QStringLiteral("127.0.0.1"));
        sck.setRemotePort(server.serverPort());
        sck.connectToHost();
        QTRY_COMPARE(sck.state(), MapSocket::State::Connected);

        QFile(m_home->file(QStringLiteral("ORVIK_Jobs.sqlite"))).open(QIODevice::WriteOnly);
        // The jobs session lives on the database thread.
        m_gw->database().call([&](DatabaseWorker &w) {
            auto jobs = std::make_shared<DbSession>();
            jobs->setProperty(
                QStringLiteral("Data Source"), QStringLiteral("sqlite:") + m_home->path());
            jobs->setProperty(QStringLiteral("Initial Catalog"), QStringLiteral("ORVIK_Jobs"));
            jobs->open();
            w.sessions().cnJobs = jobs;
        });
        QCOMPARE(m_gw->database().status().jobs.state, int(DbSession::Open));

        QPointer<frmLogOn> dlg = loadLater();
        QTest::mouseClick(control<QPushButton>(dlg, "cmdCancel"), Qt::LeftButton);
        QCOMPARE(sck.state(), MapSocket::State::Closed);
        // Closed on its thread: the next word from there says so.
        QTRY_COMPARE(m_gw->database().status().jobs.state, int(DbSession::Closed));
        QVERIFY(!m_gw->windows().logOnLoaded());
        QVERIFY(m_mnuConnect.isEnabled());
        QTRY_VERIFY(dlg.isNull());

        // Without a jobs session and with the socket closed, Cancel still just unloads.
        m_gw->database().call([](DatabaseWorker &w) { w.sessions().cnJobs.reset(); });
        QPointer<frmLogOn> again = loadLater();
        again->cmdCancel_Click();
        QVERIFY(!m_gw->windows().logOnLoaded());
        QVERIFY(!debugLog().contains("cmdCancel_Click"));
        delete again;
    }

    // Start-up through the real window side.
    void startupAppliesWithoutShowing()
    {
        saveSettings(
            {QStringLiteral("127.0.0.1"), QString(), QStringLiteral("sqlite:db"), QString()});
        {
            MainWindow main(*m_gw);
            WidgetUi ui(*m_gw, main);
            m_gw->setUi(&ui);
            bool modalSeen = false;
            Later later5(0, [&] { modalSeen = QApplication::activeModalWidget() != nullptr; });
            m_gw->lifecycle().MDIForm_Load(QStringLiteral("Server"));
            m_gw->tasks().stop();
            QVERIFY(!modalSeen);
            QVERIFY(!m_gw->windows().logOnLoaded());
            QVERIFY(main.action(QStringLiteral("mnuConnect"))->isEnabled());
            QCOMPARE(m_gw->tasks().step(), TaskStep::StartConnectAll);
            QVERIFY(debugLog().contains("MDIForm_Load: Error Number: 364Description: Object was "
                                        "unloaded: But this is not an Error"));
            m_gw->setUi(&m_ui);
        }
    }

    void startupShowsDialogCentredAndModal()
    {
        saveSettings({QStringLiteral("127.0.0.1"), QString(), QString(), QString()}); // no server
        MainWindow main(*m_gw);
        WidgetUi ui(*m_gw, main);
        m_gw->setUi(&ui);
        main.move(100, 80);
        QString seen;
        QPoint expected, actual;
        bool menuDisabled = false;
        Later later6(0, [&] {
            QWidget *modal = QApplication::activeModalWidget();
            if (!modal)
                return;
            seen = modal->objectName();
            const QRect m = main.frameGeometry();
            const QRect d = modal->frameGeometry();
            expected = QPoint(
                m.left() + (m.width() - d.width()) / 2, m.top() + (m.height() - d.height()) / 2);
            actual = d.topLeft();
            menuDisabled = !main.action(QStringLiteral("mnuConnect"))->isEnabled();
            modal->findChild<QPushButton *>(QStringLiteral("cmdCancel"))->click();
        });
        m_gw->lifecycle().MDIForm_Load(QStringLiteral("Server"));
        m_gw->tasks().stop();
        QCOMPARE(seen, QStringLiteral("frmLogOn"));
        QCOMPARE(actual, expected);
        QVERIFY(menuDisabled);
        QVERIFY(!m_gw->windows().logOnLoaded());
        QVERIFY(main.action(QStringLiteral("mnuConnect"))->isEnabled());
        QCOMPARE(m_gw->tasks().step(), TaskStep::MainAppearance);
        QVERIFY(!debugLog().contains("364"));

        // The connect entry loads it anew and never applies by itself, even
        // with the settings now complete.
        saveSettings({QStringLiteral("127.0.0.1"), QString(), QStringLiteral("S"), QString()});
        seen.clear();
        Later later7(0, [&] {
            QWidget *modal = QApplication::activeModalWidget();
            if (!modal)
                return;
            seen = modal->objectName();
            menuDisabled = !main.action(QStringLiteral("mnuConnect"))->isEnabled();
            modal->findChild<QPushButton *>(QStringLiteral("cmdCancel"))->click();
        });
        main.action(QStringLiteral("mnuConnect"))->trigger();
        QCOMPARE(seen, QStringLiteral("frmLogOn"));
        QVERIFY(menuDisabled);
        QCOMPARE(m_gw->tasks().step(), TaskStep::MainAppearance);
        QVERIFY(main.action(QStringLiteral("mnuConnect"))->isEnabled());
        m_gw->setUi(&m_ui);
    }
};

QTEST_MAIN(TestLogOn)
#include "tst_logon.moc"
