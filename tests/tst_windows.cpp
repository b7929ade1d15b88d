#include "TestSupport.h"

#include "about/frmAbout.h"
#include "app/Gateway.h"
#include "common/Version.h"
#include "cycle/DatabaseCycle.h"
#include "diag/frmIO.h"
#include "diag/frmMsg.h"
#include "platform/Clock.h"
#include "platform/CodePage.h"
#include "platform/Registry.h"
#include "settings/Settings.h"
#include "settings/frmLogOn.h"
#include "windows/MainWindow.h"
#include "windows/WidgetUi.h"

#include <QAction>
#include <QDir>
#include <QFile>
#include <QFontMetrics>
#include <QImage>
#include <QLabel>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

class TestWindows : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<TempHome> m_home;
    std::unique_ptr<Gateway> m_gw;
    std::unique_ptr<MainWindow> m_main;
    std::unique_ptr<WidgetUi> m_wui;
    FakeUi m_fake;
    QByteArray m_path;

    int popupCount() const
    {
        int n = 0;
        for (QMdiSubWindow *w : m_main->mdiArea()->subWindowList()) {
            if (qobject_cast<frmMsg *>(w->widget()))
                ++n;
        }
        return n;
    }
    QByteArray debugLog() const { return m_home->read(QStringLiteral("Debug.TXT")); }

    // A program on a PATH of its own.
    static QString makeProgram(const QString &folder, const QString &name, const QByteArray &script)
    {
        const QString path = QDir(folder).filePath(name);
        QFile f(path);
        f.open(QIODevice::WriteOnly);
        f.write(script);
        f.close();
        f.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
        return path;
    }

private Q_SLOTS:
    void initTestCase() { m_path = qgetenv("PATH"); }
    void init()
    {
        m_home = std::make_unique<TempHome>();
        m_gw = std::make_unique<Gateway>(m_home->path());
        m_fake = FakeUi();
        m_main = std::make_unique<MainWindow>(*m_gw);
        m_wui = std::make_unique<WidgetUi>(*m_gw, *m_main);
        m_gw->setUi(m_wui.get());
        m_main->resize(900, 650);
        m_main->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_main.get()));
    }
    void cleanup()
    {
        qputenv("PATH", m_path);
        m_wui.reset();
        m_main.reset();
        m_gw.reset();
        m_home.reset();
    }

    void ticksFile_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QByteArray>("earlier");
        QTest::addColumn<QByteArray>("expected");
        QTest::newRow("three letters, two blanks") << "abc  " << QByteArray() << QByteArray("abc");
        QTest::newRow("leading blanks keep the first N characters")
            << "  abc " << QByteArray() << QByteArray("  a");
        QTest::newRow("an earlier, longer file is replaced")
            << "xyz" << QByteArray("0123456789 old content") << QByteArray("xyz");
        QTest::newRow("lines end in CR LF") << "ab\ncd\n"
                                            << QByteArray() << QByteArray("ab\r\ncd\r\n");
        QTest::newRow("Hebrew in the code page")
            << QStringLiteral("שלום ") << QByteArray() << QByteArray("\xf9\xec\xe5\xed");
        QTest::newRow("outside the code page")
            << QStringLiteral("a\u4e2db") << QByteArray() << QByteArray("a?b");
    }
    void ticksFile()
    {
        QFETCH(QString, text);
        QFETCH(QByteArray, earlier);
        QFETCH(QByteArray, expected);
        if (!earlier.isEmpty())
            m_home->write(QStringLiteral("Ticks.TXT"), earlier);
        m_wui->showTrafficWindow();
        m_wui->trafficWindow()->txtData()->setPlainText(text);
        m_wui->saveTrafficWindow();
        QCOMPARE(m_home->read(QStringLiteral("Ticks.TXT")), expected);
        QVERIFY(!debugLog().contains("Win2File"));
    }

    void emptyPaneFails_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QByteArray>("earlier");
        QTest::newRow("empty, no file") << "" << QByteArray();
        QTest::newRow("blanks, earlier file") << "    " << QByteArray("kept as it was");
    }
    void emptyPaneFails()
    {
        QFETCH(QString, text);
        QFETCH(QByteArray, earlier);
        if (!earlier.isEmpty())
            m_home->write(QStringLiteral("Ticks.TXT"), earlier);
        m_wui->showTrafficWindow();
        m_wui->trafficWindow()->txtData()->setPlainText(text);
        m_wui->trafficWindow()->Win2File();
        QCOMPARE(m_home->exists(QStringLiteral("Ticks.TXT")), !earlier.isEmpty());
        QCOMPARE(m_home->read(QStringLiteral("Ticks.TXT")), earlier);
        QVERIFY2(
            debugLog().contains("Win2File: Error Number: 9Description: Subscript out of range"),
            debugLog().constData());
    }

    void unwritableTicksIsLogged()
    {
        // A folder where the file should be: the save fails, logged, no crash.
        QVERIFY(QDir(m_home->path()).mkdir(QStringLiteral("Ticks.TXT")));
        m_wui->showTrafficWindow();
        m_wui->trafficWindow()->txtData()->setPlainText(QStringLiteral("abc"));
        m_wui->saveTrafficWindow();
        QVERIFY2(debugLog().contains("Win2File: Error Number: 75"), debugLog().constData());
    }

    void trafficWindowPlace()
    {
        QVERIFY(!m_gw->windows().loaded(WindowTable::Window::IO));
        m_wui->resizeTrafficWindow(); // closed: nothing opens
        QVERIFY(!m_wui->trafficWindow());

        m_wui->showTrafficWindow();
        QVERIFY(m_gw->windows().loaded(WindowTable::Window::IO));
        frmIO *io = m_wui->trafficWindow();
        QVERIFY(io);
        auto expectedPlace = [&] {
            const QSize c = m_main->mdiArea()->viewport()->size();
            return QRect(0, c.height() / 4, c.width(), c.height() / 2);
        };
        QCOMPARE(io->subWindow()->geometry(), expectedPlace());
        // The text box fills the window's client area.
        QCOMPARE(io->txtData()->geometry(), io->rect());
        QCOMPARE(io->txtData()->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);

        io->subWindow()->setGeometry(40, 10, 200, 100);
        m_main->resize(700, 500);
        QCoreApplication::processEvents();
        m_wui->resizeTrafficWindow();
        QCOMPARE(io->subWindow()->geometry(), expectedPlace());

        // The main window's layout pass places it too.
        io->subWindow()->setGeometry(40, 10, 200, 100);
        m_wui->layoutMainWindow();
        QCOMPARE(io->subWindow()->geometry(), expectedPlace());

        // Showing it again while it is up keeps the one window.
        m_wui->showTrafficWindow();
        QCOMPARE(m_wui->trafficWindow(), io);

        io->subWindow()->close();
        QVERIFY(!m_gw->windows().loaded(WindowTable::Window::IO));
        QTRY_VERIFY(!m_wui->trafficWindow());
        m_wui->resizeTrafficWindow();
        QVERIFY(!m_wui->trafficWindow());
    }

    void clearOpensEmpty()
    {
        m_wui->showTrafficWindow();
        m_wui->trafficWindow()->txtData()->setPlainText(QStringLiteral("typed"));
        m_wui->clearTrafficWindow();
        QVERIFY(m_wui->trafficWindow()->txtData()->toPlainText().isEmpty());

        m_wui->trafficWindow()->subWindow()->close();
        QVERIFY(!m_gw->windows().loaded(WindowTable::Window::IO));
        m_wui->clearTrafficWindow();
        QVERIFY(m_gw->windows().loaded(WindowTable::Window::IO));
        QVERIFY(m_wui->trafficWindow()->txtData()->toPlainText().isEmpty());
        QVERIFY(m_wui->trafficWindow()->subWindow()->isVisible());
    }

    void popups()
    {
        m_wui->showStatusPopup(QStringLiteral("first"));
        QPointer<frmMsg> first = m_wui->statusPopup();
        QVERIFY(first);
        QVERIFY(!first->tmrMsg().isActive());
        QCOMPARE(first->tmrMsg().interval(), 200);

        const QString text = QStringLiteral("SQLServer Status - 1\r\nMap State - 7");
        m_wui->showStatusPopup(text);
        QTRY_COMPARE(popupCount(), 1);
        QTRY_VERIFY(first.isNull());
        frmMsg *second = m_wui->statusPopup();
        QCOMPARE(second->lblMsg()->text(), text);
        QVERIFY(!second->tmrMsg().isActive());
        // Sized to the label, borderless, centred over the main window.
        QMdiSubWindow *sub = second->subWindow();
        QVERIFY(sub->windowFlags() & Qt::FramelessWindowHint);
        QVERIFY(second->lblMsg()->width() >= second->lblMsg()->sizeHint().width());
        QVERIFY(second->width() > second->lblMsg()->width());
        const QPoint popupCentre = sub->mapToGlobal(sub->rect().center());
        const QPoint mainCentre = m_main->mapToGlobal(m_main->rect().center());
        QVERIFY2((popupCentre - mainCentre).manhattanLength() <= 2,
            qPrintable(QStringLiteral("%1,%2 vs %3,%4")
                           .arg(popupCentre.x())
                           .arg(popupCentre.y())
                           .arg(mainCentre.x())
                           .arg(mainCentre.y())));

        // A click on the label closes it.
        QTest::mouseClick(second->lblMsg(), Qt::LeftButton);
        QTRY_COMPARE(popupCount(), 0);

        // A click on the window itself too.
        m_wui->showStatusPopup(QStringLiteral("again"));
        frmMsg *third = m_wui->statusPopup();
        QTest::mouseClick(third, Qt::LeftButton, {}, QPoint(2, 2));
        QTRY_COMPARE(popupCount(), 0);
    }

    void popupLaysItselfOutWhenLeftRunning()
    {
        frmMsg *msg = frmMsg::load(m_main->mdiArea());
        QCOMPARE(msg->lblMsg()->text(), QStringLiteral("Your Text goes here"));
        QVERIFY(msg->tmrMsg().isActive());
        QTRY_VERIFY(!msg->tmrMsg().isActive());
        msg->unload();
        QTRY_COMPARE(popupCount(), 0);
    }

    void aboutBox()
    {
        frmAbout box(m_gw->ui(), m_main.get());
        QCOMPARE(box.windowTitle(), QStringLiteral("About ") + Version::kAppTitle);
        QCOMPARE(box.findChild<QLabel *>(QStringLiteral("lblVersion"))->text(),
            QStringLiteral("Version 3.0.50"));
        QCOMPARE(box.findChild<QLabel *>(QStringLiteral("lblTitle"))->text(), Version::kAppTitle);
        QLabel *description = box.findChild<QLabel *>(QStringLiteral("lblDescription"));
        QVERIFY(description->isHidden());
        QCOMPARE(description->text(), QStringLiteral("App Description: "));
        QCOMPARE(box.findChild<QPushButton *>(QStringLiteral("cmdSysInfo"))->text(),
            QStringLiteral("&System Info..."));
        auto *ok = box.findChild<QPushButton *>(QStringLiteral("cmdOK"));
        QVERIFY(ok->isDefault());
        // A window manager's title bar shows the whole caption.
        QFont bold = box.font();
        bold.setBold(true);
        QVERIFY(box.minimumWidth() > QFontMetrics(bold).horizontalAdvance(box.windowTitle()));
        box.show();
        QTest::keyClick(&box, Qt::Key_Escape);
        QVERIFY(!box.isVisible());
        QCOMPARE(box.result(), int(QDialog::Rejected));
    }

    // The program's own icon where the toolkit's mark would show, at the
    // size each place draws it.
    void programIcon_data()
    {
        QTest::addColumn<QString>("where");
        QTest::addColumn<int>("size");
        QTest::newRow("traffic window title bar") << "traffic" << 16;
        QTest::newRow("about box title bar") << "about" << 16;
        QTest::newRow("about box picture") << "picture" << 48;
    }

    void programIcon()
    {
        QFETCH(QString, where);
        QFETCH(int, size);
        // Compared premultiplied: a transparent pixel's colour does not count.
        const QImage expected = QImage(QStringLiteral(":/icons/volmara-%1.png").arg(size))
                                    .convertToFormat(QImage::Format_ARGB32_Premultiplied);
        QVERIFY(!expected.isNull());
        frmAbout box(m_gw->ui(), m_main.get());
        QPixmap shown;
        if (where == QLatin1String("traffic")) {
            m_wui->showTrafficWindow();
            shown = m_wui->trafficWindow()->subWindow()->windowIcon().pixmap(size);
        } else if (where == QLatin1String("about")) {
            shown = box.windowIcon().pixmap(size);
        } else {
            shown = box.findChild<QLabel *>(QStringLiteral("picIcon"))->pixmap();
        }
        QCOMPARE(shown.toImage().convertToFormat(QImage::Format_ARGB32_Premultiplied), expected);
    }

    void registryStandIn()
    {
        QTemporaryDir bin;
        const QString program = makeProgram(bin.path(), QStringLiteral("hardinfo"), "#!/bin/sh\n");
        qputenv("PATH", bin.path().toLocal8Bit());
        QString value = QStringLiteral("left over");
        QVERIFY(Registry::GetKeyValue(
            Registry::kLocalMachine, Registry::kMsInfoKey, Registry::kMsInfoValue, value));
        QCOMPARE(value, program);
        value = QStringLiteral("left over");
        QVERIFY(!Registry::GetKeyValue(Registry::kLocalMachine, Registry::kSharedToolsKey,
            Registry::kSharedToolsValue, value));
        QVERIFY(value.isEmpty());
        value = QStringLiteral("left over");
        QVERIFY(!Registry::GetKeyValue(
            0x80000001u, Registry::kMsInfoKey, Registry::kMsInfoValue, value));
        QVERIFY(value.isEmpty());

        QTemporaryDir empty;
        qputenv("PATH", empty.path().toLocal8Bit());
        QVERIFY(!Registry::GetKeyValue(
            Registry::kLocalMachine, Registry::kMsInfoKey, Registry::kMsInfoValue, value));
    }

    void startSysInfo_data()
    {
        QTest::addColumn<bool>("onPath");
        QTest::addColumn<bool>("starts");
        QTest::addColumn<bool>("message");
        QTest::newRow("found and started") << true << true << false;
        QTest::newRow("found, cannot start") << true << false << true;
        QTest::newRow("nothing on the path") << false << true << true;
    }
    void startSysInfo()
    {
        QFETCH(bool, onPath);
        QFETCH(bool, starts);
        QFETCH(bool, message);
        QTemporaryDir bin;
        if (onPath)
            makeProgram(bin.path(), QStringLiteral("kinfocenter"), "#!/bin/sh\n");
        qputenv("PATH", bin.path().toLocal8Bit());
        m_gw->setUi(&m_fake);
        frmAbout box(m_gw->ui());
        QStringList started;
        box.setProgramStarter([&](const QString &path) {
            started << path;
            return starts;
        });
        box.StartSysInfo();
        QCOMPARE(started.size(), onPath ? 1 : 0);
        QCOMPARE(m_fake.messages.size(), message ? 1 : 0);
        if (message) {
            QCOMPARE(m_fake.messages.first().text,
                QStringLiteral("System Information Is Unavailable At This Time"));
            QCOMPARE(m_fake.messages.first().icon, Ui::Icon::None);
        }
    }

    void startSysInfoRunsTheProgram()
    {
        QTemporaryDir bin;
        const QString marker = QDir(bin.path()).filePath(QStringLiteral("ran"));
        makeProgram(bin.path(), QStringLiteral("hardinfo"),
            "#!/bin/sh\necho yes > '" + marker.toLocal8Bit() + "'\n");
        qputenv("PATH", bin.path().toLocal8Bit());
        m_gw->setUi(&m_fake);
        frmAbout box(m_gw->ui());
        QTest::mouseClick(
            box.findChild<QPushButton *>(QStringLiteral("cmdSysInfo")), Qt::LeftButton);
        QTRY_VERIFY(QFile::exists(marker));
        QVERIFY(m_fake.messages.isEmpty());
    }

    void aboutFromTheMenu()
    {
        QString seen;
        QTimer timer;
        timer.setSingleShot(true);
        connect(&timer, &QTimer::timeout, this, [&] {
            if (QWidget *modal = QApplication::activeModalWidget()) {
                seen = modal->objectName();
                modal->findChild<QPushButton *>(QStringLiteral("cmdOK"))->click();
            }
        });
        timer.start(0);
        m_main->action(QStringLiteral("mnuAbout"))->trigger();
        QCOMPARE(seen, QStringLiteral("frmAbout"));
    }

    // Pictures of the Hebrew main window and of the logon dialog, saved when
    // VOLMARA_SCREENSHOT_DIR names a folder.
    void screenshots()
    {
        const QString folder = qEnvironmentVariable("VOLMARA_SCREENSHOT_DIR");
        m_gw->panels().setPanelText(
            QStringLiteral("keyVersion"), Version::panelText() + QStringLiteral("  "));
        m_gw->panels().setPanelText(QStringLiteral("keyStatus"),
            QStringLiteral("JOBS - Open, ORVIKDB - Open, Map - Connected  "));
        m_gw->panels().setPanelText(QStringLiteral("keyAlive"), QStringLiteral("True: 375"));
        m_gw->cycle().loadInterval(QStringLiteral("15"));
        m_wui->showTrafficWindow();
        m_wui->trafficWindow()->txtData()->setPlainText(QStringLiteral(
            "$NotifyOrganization,dedod,ExpLineSched\\c12\\c...\nשלום — הודעות מהמפה\n"));
        m_wui->layoutMainWindow();
        QCoreApplication::processEvents();
        const QImage mainPicture = m_main->grab().toImage();
        QVERIFY(!mainPicture.isNull());
        QCOMPARE(mainPicture.size(), m_main->size() * mainPicture.devicePixelRatio());

        m_gw->logOnLogic().takeAutomaticTurn();
        m_gw->settings().WriteINI(
            QStringLiteral("ORVIKMap"), QStringLiteral("MapIP"), QStringLiteral("127.0.0.1"));
        m_gw->settings().WriteINI(
            QStringLiteral("Database"), QStringLiteral("SQLServer"), QStringLiteral("sqlite:db"));
        frmLogOn dlg(m_gw->logOnLogic(), m_gw->windows(), m_gw->clock(), m_gw->log(),
            m_main->action(QStringLiteral("mnuConnect")), m_main.get());
        dlg.Form_Load();
        dlg.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dlg));
        const QImage logOnPicture = dlg.grab().toImage();
        QVERIFY(!logOnPicture.isNull());
        dlg.ReOrderControls(LogOnLayout::Connecting);
        const QImage connectingPicture = dlg.grab().toImage();
        // The confirmation, caught during its wait; then the clock moves on.
        m_gw->clock().setNow(QDateTime(QDate(2024, 5, 1), QTime(9, 0)));
        QImage connectedPicture;
        QTimer timer;
        timer.setSingleShot(true);
        connect(&timer, &QTimer::timeout, this, [&] {
            connectedPicture = dlg.grab().toImage();
            m_gw->clock().advanceSeconds(1);
        });
        timer.start(20);
        dlg.ReOrderControls(LogOnLayout::Connected);
        QVERIFY(!connectedPicture.isNull());
        QVERIFY(dlg.isUnloaded());

        if (folder.isEmpty())
            QSKIP("VOLMARA_SCREENSHOT_DIR not set: pictures rendered, not saved");
        QVERIFY(QDir().mkpath(folder));
        QVERIFY(mainPicture.save(QDir(folder).filePath(QStringLiteral("main-window.png"))));
        QVERIFY(logOnPicture.save(QDir(folder).filePath(QStringLiteral("logon-dialog.png"))));
        QVERIFY(
            connectingPicture.save(QDir(folder).filePath(QStringLiteral("logon-connecting.png"))));
        QVERIFY(
            connectedPicture.save(QDir(folder).filePath(QStringLiteral("logon-connected.png"))));
    }
};

QTEST_MAIN(TestWindows)
#include "tst_windows.moc"
