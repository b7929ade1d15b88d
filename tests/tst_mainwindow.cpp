#include "TestSupport.h"

#include "app/Gateway.h"
#include "common/MenuMarks.h"
#include "cycle/DatabaseCycle.h"
#include "windows/MainWindow.h"

#include <QAction>
#include <QLabel>
#include <QLineEdit>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QMenu>
#include <QMenuBar>
#include <QSpinBox>
#include <QStatusBar>
#include <QtTest>

class TestMainWindow : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void menuTree_data();
    void menuTree();
    void statusPanels_data();
    void statusPanels();
    void intervalFrame();
    void marksFollowTheCore();
    void closeIsRefusedAndAsks();
    void requestMarksStayAsTheCoreSays();
    void resizeRunsTheLayoutPass();
    void tiling_data();
    void tiling();
};

namespace {

// The path of a menu entry: the captions of the menus above it.
QString parentPath(QAction *action)
{
    QStringList path;
    for (QObject *o : action->associatedObjects()) {
        if (auto *menu = qobject_cast<QMenu *>(o)) {
            for (QMenu *m = menu; m; m = qobject_cast<QMenu *>(m->parentWidget()))
                path.prepend(m->objectName());
            break;
        }
    }
    return path.join(QLatin1Char('/'));
}

} // namespace

void TestMainWindow::menuTree_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("caption");
    QTest::addColumn<QString>("parent");
    QTest::addColumn<QKeySequence>("shortcut");
    QTest::addColumn<bool>("checkable");

    auto row = [](const char *name, const char *caption, const char *parent, QKeySequence key = {},
                   bool checkable = false) {
        QTest::newRow(name) << QString::fromLatin1(name) << QString::fromUtf8(caption)
                            << QString::fromLatin1(parent) << key << checkable;
    };
    row("mnuConnect", "התחבר...", "mnuFile", QKeySequence(Qt::CTRL | Qt::Key_O));
    row("mnuRefresh", "רענן מידע", "mnuFile", {}, true);
    row("mnuDebugAll", "הכל", "mnuFile/mnuDebug", {}, true);
    row("mnuDebugCurrent", "נוכחי", "mnuFile/mnuDebug", {}, true);
    row("mnuSaveQuery", "שמור שאילתא", "mnuFile", {}, true);
    row("mnuExit", "&יציאה", "mnuFile", QKeySequence(Qt::CTRL | Qt::Key_X));
    row("mnuTickets", "&משימות", "mnuView", QKeySequence(Qt::CTRL | Qt::Key_T));
    row("mnuCascade", "דרג", "mnuWindows");
    row("mnuTilHoriz", "פרוש אופקית", "mnuWindows");
    row("mnuTilVert", "פרוש אנכית", "mnuWindows");
    row("mnuArrange", "סדר סמלים", "mnuWindows");
    row("mnuDBInterval", "קצב רענון מידע...", "mnuTools");
    row("mnuDB", "יבא נתונים", "mnuTools/mnuDetect", {}, true);
    row("mnuTicks", "אוסף הודעות", "mnuTools/mnuDetect", {}, true);
    row("mnuStatuses", "מצב קריאות", "mnuTools");
    row("mnuResetTCount", "Reset TCount", "mnuTools");
    row("mnuClear", "נקה חלון", "mnuTools");
    row("mnuStatus", "&הצג סטטוס", "mnuTools");
}

void TestMainWindow::menuTree()
{
    QFETCH(QString, name);
    QFETCH(QString, caption);
    QFETCH(QString, parent);
    QFETCH(QKeySequence, shortcut);
    QFETCH(bool, checkable);
    TempHome home;
    Gateway gw(home.path());
    MainWindow w(gw);
    QAction *a = w.findChild<QAction *>(name);
    QVERIFY2(a, qPrintable(name));
    QCOMPARE(a->text(), caption);
    QCOMPARE(parentPath(a), parent);
    QCOMPARE(a->shortcut(), shortcut);
    QCOMPARE(a->isCheckable(), checkable);
}

void TestMainWindow::statusPanels_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("tip");
    QTest::newRow("version") << "keyVersion"
                             << "Application Version";
    QTest::newRow("status") << "keyStatus"
                            << "Status of Map and Database";
    QTest::newRow("debug") << "keyDebug"
                           << "Debuging Mode";
    QTest::newRow("alive") << "keyAlive"
                           << "Show if Timer is Alive";
}

void TestMainWindow::statusPanels()
{
    QFETCH(QString, key);
    QFETCH(QString, tip);
    TempHome home;
    Gateway gw(home.path());
    MainWindow w(gw);
    auto *panel = w.statusBar()->findChild<QLabel *>(key);
    QVERIFY(panel);
    QCOMPARE(panel->toolTip(), tip);
    gw.panels().setPanelText(key, QStringLiteral("text of ") + key);
    QCOMPARE(panel->text(), QStringLiteral("text of ") + key);
}

void TestMainWindow::intervalFrame()
{
    TempHome home;
    Gateway gw(home.path());
    gw.cycle().loadInterval(QStringLiteral("15"));
    MainWindow w(gw);
    QCOMPARE(w.layoutDirection(), Qt::RightToLeft);
    auto *label = w.findChild<QLabel *>(QStringLiteral("l01"));
    QVERIFY(label);
    QCOMPARE(label->text(), QStringLiteral("קצב רענון מידע"));
    auto *box = w.findChild<QLineEdit *>(QStringLiteral("txtInterval"));
    QVERIFY(box);
    QVERIFY(w.findChild<QSpinBox *>(QStringLiteral("updInterval")));
    QCOMPARE(box->text(), QStringLiteral("15"));
    gw.cycle().loadInterval(QStringLiteral("30"));
    QCOMPARE(box->text(), QStringLiteral("30"));
    // The frame keeps to the right edge of the bar above the child windows.
    w.show();
    w.resize(800, 500);
    QTRY_VERIFY(w.isVisible());
    auto *frame = w.findChild<QWidget *>(QStringLiteral("fraInterval"));
    auto *pic = w.findChild<QWidget *>(QStringLiteral("picMain"));
    w.layoutIntervalFrame();
    QCOMPARE(frame->geometry().right() + 1, pic->width());
}

void TestMainWindow::marksFollowTheCore()
{
    TempHome home;
    Gateway gw(home.path());
    MainWindow w(gw);
    gw.marks().setChecked(MenuMarks::mnuRefresh, true);
    QVERIFY(w.action(QStringLiteral("mnuRefresh"))->isChecked());
    gw.marks().uncheck(MenuMarks::mnuRefresh);
    QVERIFY(!w.action(QStringLiteral("mnuRefresh"))->isChecked());
}

void TestMainWindow::closeIsRefusedAndAsks()
{
    TempHome home;
    Gateway gw(home.path());
    FakeUi ui;
    gw.setUi(&ui);
    MainWindow w(gw);
    w.show();
    ui.answers = {false};
    QVERIFY(!w.close());
    QVERIFY(w.isVisible());
    QCOMPARE(ui.questions.size(), 1);
}

void TestMainWindow::requestMarksStayAsTheCoreSays()
{
    TempHome home;
    Gateway gw(home.path());
    FakeUi ui;
    gw.setUi(&ui);
    MainWindow w(gw);
    QAction *refresh = w.action(QStringLiteral("mnuRefresh"));
    refresh->trigger();
    QVERIFY(refresh->isChecked());
    // A second choice before the cycle carried the request out keeps the mark.
    refresh->trigger();
    QVERIFY(refresh->isChecked());
    QVERIFY(gw.marks().checked(MenuMarks::mnuRefresh));
    QAction *ticks = w.action(QStringLiteral("mnuTicks"));
    ticks->trigger();
    QVERIFY(!ticks->isChecked());
    QCOMPARE(ui.count(QStringLiteral("saveTrafficWindow")), 1);
}

void TestMainWindow::resizeRunsTheLayoutPass()
{
    TempHome home;
    Gateway gw(home.path());
    FakeUi ui;
    gw.setUi(&ui);
    MainWindow w(gw);
    w.show();
    QTRY_VERIFY(w.isVisible());
    const int before = ui.count(QStringLiteral("layoutMainWindow"));
    w.resize(w.width() + 40, w.height() + 30);
    QTRY_VERIFY(ui.count(QStringLiteral("layoutMainWindow")) > before);
    // The status summary is refreshed on the way.
    QCOMPARE(gw.panels().panelText(QStringLiteral("keyStatus")),
        QStringLiteral("JOBS - Nothing, ORVIKDB - Nothing, Map - Closed  "));
}

void TestMainWindow::tiling_data()
{
    QTest::addColumn<QString>("command");
    QTest::addColumn<bool>("stacked");
    QTest::newRow("horizontally: one under another") << "mnuTilHoriz" << true;
    QTest::newRow("vertically: side by side") << "mnuTilVert" << false;
}

void TestMainWindow::tiling()
{
    QFETCH(QString, command);
    QFETCH(bool, stacked);
    TempHome home;
    Gateway gw(home.path());
    MainWindow w(gw);
    w.resize(800, 600);
    w.show();
    QMdiSubWindow *a = w.mdiArea()->addSubWindow(new QWidget);
    QMdiSubWindow *b = w.mdiArea()->addSubWindow(new QWidget);
    a->show();
    b->show();
    w.action(command)->trigger();
    const QRect area = w.mdiArea()->viewport()->rect();
    if (stacked) {
        QCOMPARE(a->width(), area.width());
        QCOMPARE(b->y(), a->y() + a->height());
    } else {
        QCOMPARE(a->height(), area.height());
        QCOMPARE(b->x(), a->x() + a->width());
    }
}

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
