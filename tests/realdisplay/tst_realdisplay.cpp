// Window layout on a real X display.
//
// The offscreen platform lays widgets out too, but it is kinder than a real
// server: a test there can call layoutIntervalFrame() by hand after show(),
// and so it never saw the interval frame left at x = -79 on an automatic
// logon. These cases drive the gateway's own start paths in-process against
// volmara-mapsim and embedded databases made by volmara-dbinit, on an Xvfb
// server without a window manager, and check the geometry the operator gets.
//
// Two generic checks do most of the work and can be run on any window:
//   layoutFaults(w)  a visible control that lies partly outside its parent or
//                    outside the window, or overlaps a visible sibling control;
//   rtlFaults(w)     in a right-to-left window, of two controls on one row the
//                    one created first stands to the right of the other.
// A "control" is a widget the program named itself: its object name is set
// and does not start with "qt_" (Qt's own helpers: viewports, scroll bar
// containers, the tool bar's extension button).
//
// Runs only where the platform is xcb; elsewhere it skips.
//
// With VOLMARA_SCREENSHOT_DIR set, the pictures the README shows (main
// window on the automatic path, logon dialog, about box) are taken from the
// screen here.

#include "TestSupport.h"

#include "app/AppLifecycle.h"
#include "app/Gateway.h"
#include "cycle/DatabaseCycle.h"
#include "diag/frmIO.h"
#include "diag/frmMsg.h"
#include "platform/Clock.h"
#include "settings/frmLogOn.h"
#include "windows/MainWindow.h"
#include "windows/WidgetUi.h"

#include <QAbstractScrollArea>
#include <QApplication>
#include <QDir>
#include <QGuiApplication>
#include <QHostAddress>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QProcess>
#include <QScreen>
#include <QTcpServer>
#include <QTimer>
#include <QtTest>

#include <csignal>
#include <functional>
#include <memory>

#include <sys/types.h>

namespace {

QString bin(const QString &name)
{
    return QDir(qEnvironmentVariable("VOLMARA_BIN_DIR")).filePath(name);
}

bool isControl(const QWidget *w)
{
    const QString name = w->objectName();
    return !name.isEmpty() && !name.startsWith(QLatin1String("qt_"));
}

// Content of a scroll area may lie beyond its viewport by design.
bool insideScrolledContent(const QWidget *w, const QWidget *top)
{
    for (const QWidget *p = w->parentWidget(); p && p != top; p = p->parentWidget()) {
        if (auto *area = qobject_cast<const QAbstractScrollArea *>(p->parentWidget())) {
            if (area->viewport() == p && !qobject_cast<const QMdiArea *>(area))
                return true;
        }
    }
    return false;
}

QString describe(const QWidget *w)
{
    const QRect g = w->geometry();
    return QStringLiteral("%1 (%2) at %3,%4 %5x%6")
        .arg(w->objectName(), QString::fromLatin1(w->metaObject()->className()))
        .arg(g.x())
        .arg(g.y())
        .arg(g.width())
        .arg(g.height());
}

// Every visible control of the window, children of child windows (dialogs,
// menus) left out: they are checked as windows of their own.
QList<QWidget *> visibleControls(QWidget *window)
{
    QList<QWidget *> out;
    for (QWidget *w : window->findChildren<QWidget *>()) {
        if (w->window() != window || !isControl(w) || !w->isVisibleTo(window))
            continue;
        out << w;
    }
    return out;
}

QStringList layoutFaults(QWidget *window)
{
    QStringList faults;
    const QList<QWidget *> controls = visibleControls(window);
    for (QWidget *w : controls) {
        if (insideScrolledContent(w, window))
            continue;
        QWidget *parent = w->parentWidget();
        if (!parent->rect().contains(w->geometry()))
            faults << describe(w) + QStringLiteral(" leaves its parent ") + describe(parent);
        const QRect inWindow(w->mapTo(window, QPoint(0, 0)), w->size());
        if (!window->rect().contains(inWindow))
            faults << describe(w) + QStringLiteral(" leaves the window");
    }
    for (int i = 0; i < controls.size(); ++i) {
        for (int j = i + 1; j < controls.size(); ++j) {
            QWidget *a = controls.at(i);
            QWidget *b = controls.at(j);
            if (a->parentWidget() != b->parentWidget())
                continue;
            // Child windows of the traffic area may be stacked by the operator.
            if (qobject_cast<QMdiSubWindow *>(a) || qobject_cast<QMdiSubWindow *>(b))
                continue;
            if (a->geometry().intersects(b->geometry()))
                faults << describe(a) + QStringLiteral(" overlaps ") + describe(b);
        }
    }
    return faults;
}

QStringList rtlFaults(QWidget *window)
{
    QStringList faults;
    const QList<QWidget *> controls = visibleControls(window);
    for (int i = 0; i < controls.size(); ++i) {
        QWidget *first = controls.at(i);
        if (first->layoutDirection() != Qt::RightToLeft)
            continue;
        const QObjectList order = first->parentWidget()->children();
        for (int j = 0; j < controls.size(); ++j) {
            QWidget *later = controls.at(j);
            if (later->parentWidget() != first->parentWidget()
                || order.indexOf(later) <= order.indexOf(first))
                continue;
            const QRect a = first->geometry();
            const QRect b = later->geometry();
            // One row: each covers the other's vertical centre.
            const bool oneRow = a.top() <= b.center().y() && b.center().y() <= a.bottom()
                && b.top() <= a.center().y() && a.center().y() <= b.bottom();
            if (oneRow && a.center().x() < b.center().x())
                faults << describe(first) + QStringLiteral(" is left of the later ")
                        + describe(later);
        }
    }
    return faults;
}

// On failure the screen goes to a file beside the test log, for a person.
void keepScreen(const QString &tag)
{
    if (QScreen *screen = QGuiApplication::primaryScreen()) {
        const QString dir = qEnvironmentVariable("VOLMARA_SCREENS_DIR", QDir::tempPath());
        screen->grabWindow(0).save(QDir(dir).filePath(tag + QStringLiteral(".png")));
    }
}

// The pictures the README shows: a window as the X server has it on screen,
// saved when VOLMARA_SCREENSHOT_DIR names a folder.
bool saveShot(QWidget *window, const QString &name)
{
    const QString folder = qEnvironmentVariable("VOLMARA_SCREENSHOT_DIR");
    if (folder.isEmpty())
        return true;
    QScreen *screen = window->screen();
    if (!screen || !QDir().mkpath(folder))
        return false;
    const QRect frame = window->frameGeometry();
    const QPixmap shot = screen->grabWindow(0, frame.x(), frame.y(), frame.width(), frame.height());
    return !shot.isNull() && shot.save(QDir(folder).filePath(name));
}

#define VERIFY_NO_FAULTS(expr, tag)                                                                \
    do {                                                                                           \
        const QStringList faults_ = (expr);                                                        \
        if (!faults_.isEmpty())                                                                    \
            keepScreen(tag);                                                                       \
        QVERIFY2(faults_.isEmpty(), qPrintable(faults_.join(QLatin1Char('\n'))));                  \
    } while (false)

} // namespace

class TestRealDisplay : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<TempHome> m_home;
    std::unique_ptr<Gateway> m_gw;
    std::unique_ptr<MainWindow> m_main;
    std::unique_ptr<WidgetUi> m_ui;
    QProcess m_sim;
    quint16 m_port = 0;

    void writeSettings(bool complete);
    void startGateway();
    // The interval frame: inside the bar, its right edge on the bar's.
    // Helpers fail with QVERIFY and return; callers stop on
    // QTest::currentTestFailed() where a later step depends on them.
    void checkIntervalFrame(const QString &tag);
    void checkTrafficWindow();

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();

    void automaticLogon();
    void logonDialogPath();
    void reconnect();
    void sizes_data();
    void sizes();
    void restoreAfterResizeWhileMinimised();
    void childWindows_data();
    void childWindows();
};

void TestRealDisplay::initTestCase()
{
    if (QGuiApplication::platformName() != QLatin1String("xcb"))
        QSKIP("needs a real X display (run under xvfb-run)");
}

void TestRealDisplay::init()
{
    m_home = std::make_unique<TempHome>();
    QTcpServer probe;
    QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
    m_port = probe.serverPort();
    probe.close();
    QCOMPARE(QProcess::execute(bin(QStringLiteral("volmara-dbinit")),
                 {m_home->file(QStringLiteral("db")), QStringLiteral("--demo")}),
        0);
    m_sim.start(bin(QStringLiteral("volmara-mapsim")),
        {QStringLiteral("--port"), QString::number(m_port), QStringLiteral("--quiet")});
    QVERIFY(m_sim.waitForStarted(10000));
    QVERIFY(m_sim.waitForReadyRead(10000)); // the listening address
}

void TestRealDisplay::cleanup()
{
    m_ui.reset();
    m_main.reset();
    m_gw.reset();
    if (m_sim.state() != QProcess::NotRunning) {
        m_sim.terminate();
        if (!m_sim.waitForFinished(5000))
            m_sim.kill();
    }
    m_home.reset();
}

void TestRealDisplay::writeSettings(bool complete)
{
    QByteArray ini = "[ORVIKMap]\r\nMapIP=127.0.0.1\r\nPort=" + QByteArray::number(m_port)
        + "\r\nGMT=2\r\n[Misc]\r\nDBInterval=15\r\n";
    if (complete)
        ini += "[Database]\r\nSQLServer=sqlite:db\r\n";
    m_home->write(QStringLiteral("Volmara.INI"), ini);
}

void TestRealDisplay::startGateway()
{
    // As main() does: the start-up runs inside the event loop.
    m_gw = std::make_unique<Gateway>(m_home->path());
    m_main = std::make_unique<MainWindow>(*m_gw);
    m_ui = std::make_unique<WidgetUi>(*m_gw, *m_main);
    m_gw->setUi(m_ui.get());
    QTimer::singleShot(
        0, m_gw.get(), [this] { m_gw->lifecycle().MDIForm_Load(QStringLiteral("Server")); });
    // The window exists once the start-up has shown it.
    QTRY_VERIFY_WITH_TIMEOUT(m_main->windowHandle() && m_main->isVisible(), 10000);
}

void TestRealDisplay::checkIntervalFrame(const QString &tag)
{
    auto *pic = m_main->findChild<QWidget *>(QStringLiteral("picMain"));
    auto *frame = m_main->findChild<QWidget *>(QStringLiteral("fraInterval"));
    QVERIFY(pic && frame);
    if (frame->x() < 0 || frame->geometry().right() != pic->width() - 1)
        keepScreen(tag);
    QVERIFY2(frame->x() >= 0, qPrintable(describe(frame) + QStringLiteral(" in ") + describe(pic)));
    QCOMPARE(frame->geometry().right(), pic->width() - 1);
    VERIFY_NO_FAULTS(layoutFaults(m_main.get()), tag);
    VERIFY_NO_FAULTS(rtlFaults(m_main.get()), tag);
}

void TestRealDisplay::checkTrafficWindow()
{
    frmIO *io = m_ui->trafficWindow();
    if (!io)
        return;
    const QSize client = m_main->mdiArea()->viewport()->size();
    QCOMPARE(io->subWindow()->geometry(),
        QRect(0, client.height() / 4, client.width(), client.height() / 2));
}

void TestRealDisplay::automaticLogon()
{
    writeSettings(true);
    startGateway();
    QVERIFY(QTest::qWaitForWindowExposed(m_main.get()));
    // From the first second on, before anything has connected.
    checkIntervalFrame(QStringLiteral("automatic-first"));
    QTRY_VERIFY_WITH_TIMEOUT(m_gw->panels()
                                 .panelText(QStringLiteral("keyStatus"))
                                 .contains(QLatin1String("Map - Connected")),
        20000);
    checkIntervalFrame(QStringLiteral("automatic-connected"));
    checkTrafficWindow();
    QVERIFY(saveShot(m_main.get(), QStringLiteral("main-window.png")));
}

void TestRealDisplay::logonDialogPath()
{
    writeSettings(false);
    // The dialog is modal: the checks run inside its own event loop, in each
    // of its three layouts; the connected one closes the dialog by itself.
    // They are set up before the start, which waits in that loop.
    QStringList faults;
    bool done = false;
    auto check = [&](const QString &layout) {
        frmLogOn *dlg = m_ui->logOnDialog();
        if (!dlg) {
            faults << layout + QStringLiteral(": no logon dialog");
            return;
        }
        const QStringList found = layoutFaults(dlg); // left to right by design
        for (const QString &f : found)
            faults << layout + QStringLiteral(": ") + f;
        if (!found.isEmpty())
            keepScreen(QStringLiteral("logon-") + layout);
    };
    QTimer::singleShot(1500, this, [&] {
        frmLogOn *dlg = m_ui->logOnDialog();
        if (!dlg) {
            faults << QStringLiteral("no logon dialog on incomplete settings");
            done = true;
            return;
        }
        // Behind the dialog, the main window is laid out as on any start.
        auto *pic = m_main->findChild<QWidget *>(QStringLiteral("picMain"));
        auto *frame = m_main->findChild<QWidget *>(QStringLiteral("fraInterval"));
        if (frame->geometry().right() != pic->width() - 1 || frame->x() < 0)
            faults << describe(frame) + QStringLiteral(" not at the right of ") + describe(pic);
        faults << layoutFaults(m_main.get()) << rtlFaults(m_main.get());
        check(QStringLiteral("usual"));
        if (!saveShot(dlg, QStringLiteral("logon-dialog.png")))
            faults << QStringLiteral("logon dialog picture not saved");
        dlg->ReOrderControls(LogOnLayout::Connecting);
        QTest::qWait(300); // the X server shows the new layout
        check(QStringLiteral("connecting"));
        if (!saveShot(dlg, QStringLiteral("logon-connecting.png")))
            faults << QStringLiteral("connecting picture not saved");
        // The connected layout waits about a second before it closes.
        QTimer::singleShot(300, m_main.get(), [&] {
            check(QStringLiteral("connected"));
            if (frmLogOn *open = m_ui->logOnDialog()) {
                if (!saveShot(open, QStringLiteral("logon-connected.png")))
                    faults << QStringLiteral("connected picture not saved");
            }
            done = true;
        });
        dlg->ReOrderControls(LogOnLayout::Connected);
    });
    startGateway();
    QTRY_VERIFY_WITH_TIMEOUT(done, 15000);
    QTRY_VERIFY_WITH_TIMEOUT(!m_gw->windows().logOnLoaded(), 5000);
    QVERIFY2(faults.isEmpty(), qPrintable(faults.join(QLatin1Char('\n'))));
}

void TestRealDisplay::reconnect()
{
    writeSettings(true);
    startGateway();
    QTRY_VERIFY_WITH_TIMEOUT(m_gw->panels()
                                 .panelText(QStringLiteral("keyStatus"))
                                 .contains(QLatin1String("Map - Connected")),
        20000);
    // The simulator drops every client on SIGUSR1; the gateway dials again.
    QVERIFY(::kill(pid_t(m_sim.processId()), SIGUSR1) == 0);
    QTest::qWait(3000);
    checkIntervalFrame(QStringLiteral("reconnect"));
    checkTrafficWindow();
}

void TestRealDisplay::sizes_data()
{
    QTest::addColumn<QSize>("size");
    QTest::newRow("the start size") << QSize(900, 650);
    QTest::newRow("wide") << QSize(1260, 720);
    QTest::newRow("narrow") << QSize(760, 520);
    // No window manager under Xvfb: maximised is the screen's free area,
    // set by hand, as a manager would.
    QTest::newRow("maximised") << QSize();
}

void TestRealDisplay::sizes()
{
    QFETCH(QSize, size);
    writeSettings(true);
    startGateway();
    QVERIFY(QTest::qWaitForWindowExposed(m_main.get()));
    m_ui->showTrafficWindow();
    if (size.isValid()) {
        m_main->resize(size);
    } else {
        m_main->setWindowState(Qt::WindowMaximized);
        m_main->setGeometry(m_main->screen()->availableGeometry());
    }
    QTRY_COMPARE(
        m_main->size(), size.isValid() ? size : m_main->screen()->availableGeometry().size());
    checkIntervalFrame(QStringLiteral("size-") + QString::fromLatin1(QTest::currentDataTag()));
    checkTrafficWindow();
}

void TestRealDisplay::restoreAfterResizeWhileMinimised()
{
    writeSettings(true);
    startGateway();
    QVERIFY(QTest::qWaitForWindowExposed(m_main.get()));
    m_ui->showTrafficWindow();
    m_main->showMinimized();
    QTRY_VERIFY(m_main->isMinimized());
    m_main->resize(700, 500); // the layout pass is skipped while minimised
    m_main->showNormal();
    QTRY_VERIFY(!m_main->isMinimized());
    checkIntervalFrame(QStringLiteral("restored"));
    checkTrafficWindow();
}

void TestRealDisplay::childWindows_data()
{
    QTest::addColumn<QString>("which");
    QTest::newRow("about box") << "about";
    QTest::newRow("status popup") << "status";
    QTest::newRow("traffic window") << "traffic";
}

void TestRealDisplay::childWindows()
{
    QFETCH(QString, which);
    writeSettings(true);
    startGateway();
    QVERIFY(QTest::qWaitForWindowExposed(m_main.get()));
    if (which == QLatin1String("about")) {
        // Modal: checked from inside its loop.
        QStringList faults;
        bool checked = false;
        QTimer::singleShot(1000, m_main.get(), [&] {
            QWidget *box = QApplication::activeModalWidget();
            if (!box) {
                faults << QStringLiteral("no about box");
            } else {
                faults << layoutFaults(box) << rtlFaults(box);
                if (!saveShot(box, QStringLiteral("about-box.png")))
                    faults << QStringLiteral("about box picture not saved");
                if (!faults.isEmpty())
                    keepScreen(QStringLiteral("about"));
                box->close();
            }
            checked = true;
        });
        m_main->mnuAbout_Click();
        QTRY_VERIFY(checked);
        QVERIFY2(faults.isEmpty(), qPrintable(faults.join(QLatin1Char('\n'))));
        return;
    }
    if (which == QLatin1String("status")) {
        m_ui->showStatusPopup(QStringLiteral("SQLServer Status - 1\r\nMap State - 7"));
        frmMsg *popup = m_ui->statusPopup();
        QVERIFY(popup);
        QWidget *sub = popup->parentWidget();
        const QRect area = m_main->mdiArea()->viewport()->rect();
        QVERIFY2(area.contains(sub->geometry()), qPrintable(describe(sub)));
        VERIFY_NO_FAULTS(layoutFaults(m_main.get()), QStringLiteral("status"));
        return;
    }
    m_ui->showTrafficWindow();
    checkTrafficWindow();
    VERIFY_NO_FAULTS(layoutFaults(m_main.get()), QStringLiteral("traffic"));
}

QTEST_MAIN(TestRealDisplay)
#include "tst_realdisplay.moc"
