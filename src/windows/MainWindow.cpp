#include "windows/MainWindow.h"

#include "about/frmAbout.h"
#include "app/AppLifecycle.h"
#include "app/Gateway.h"
#include "app/MainCommands.h"
#include "common/Ui.h"
#include "common/Version.h"
#include "cycle/DatabaseCycle.h"
#include "diag/ErrorLog.h"
#include "platform/Failure.h"

#include <QAction>
#include <QCloseEvent>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QMenuBar>
#include <QSpinBox>
#include <QStatusBar>
#include <QToolBar>
#include <QWindowStateChangeEvent>

MainWindow::MainWindow(Gateway &gateway, QWidget *parent)
    : QMainWindow(parent), m_gw(gateway), m_mdi(new QMdiArea(this))
{
    setObjectName(QStringLiteral("frmMain"));
    setWindowTitle(Version::kAppTitle);
    setLayoutDirection(Qt::RightToLeft);
    m_mdi->setObjectName(QStringLiteral("mdiArea"));
    setCentralWidget(m_mdi);
    resize(900, 650);

    buildMenus();
    buildIntervalFrame();
    buildStatusBar();

    connect(&m_gw.marks(), &MenuMarks::changed, this, [this](MenuMarks::Mark mark, bool on) {
        if (QAction *a = m_actions.value(MenuMarks::name(mark)))
            a->setChecked(on);
    });
    connect(&m_gw.panels(), &StatusPanels::panelTextChanged, this,
        [this](const QString &key, const QString &text) {
            if (QLabel *panel = m_panels.value(key))
                panel->setText(text);
        });
}

QAction *MainWindow::addEntry(
    QMenu *menu, const QString &name, const QString &caption, const QKeySequence &shortcut)
{
    QAction *a = menu->addAction(caption);
    a->setObjectName(name);
    if (!shortcut.isEmpty())
        a->setShortcut(shortcut);
    m_actions.insert(name, a);
    return a;
}

void MainWindow::bindMark(const QString &name, MenuMarks::Mark mark)
{
    QAction *a = m_actions.value(name);
    a->setCheckable(true);
    a->setChecked(m_gw.marks().checked(mark));
}

void MainWindow::buildMenus()
{
    auto addMenu = [this](QMenu *parentMenu, const QString &name, const QString &caption) {
        QMenu *m = parentMenu ? parentMenu->addMenu(caption) : menuBar()->addMenu(caption);
        m->setObjectName(name);
        m->menuAction()->setObjectName(name);
        m_actions.insert(name, m->menuAction());
        return m;
    };
    auto addSeparator = [this](QMenu *menu, const QString &name) {
        QAction *s = menu->addSeparator();
        s->setObjectName(name);
        m_actions.insert(name, s);
    };

    QMenu *file = addMenu(nullptr, QStringLiteral("mnuFile"), QStringLiteral("&קובץ"));
    addEntry(file, QStringLiteral("mnuConnect"), QStringLiteral("התחבר..."),
        QKeySequence(Qt::CTRL | Qt::Key_O));
    addSeparator(file, QStringLiteral("mnuSep01"));
    addEntry(file, QStringLiteral("mnuRefresh"), QStringLiteral("רענן מידע"));
    QMenu *debug = addMenu(file, QStringLiteral("mnuDebug"), QStringLiteral("Debug"));
    addEntry(debug, QStringLiteral("mnuDebugAll"), QStringLiteral("הכל"));
    addEntry(debug, QStringLiteral("mnuDebugCurrent"), QStringLiteral("נוכחי"));
    addEntry(file, QStringLiteral("mnuSaveQuery"), QStringLiteral("שמור שאילתא"));
    addSeparator(file, QStringLiteral("mnuSep02"));
    QAction *exit = addEntry(file, QStringLiteral("mnuExit"), QStringLiteral("&יציאה"),
        QKeySequence(Qt::CTRL | Qt::Key_X));

    QMenu *view = addMenu(nullptr, QStringLiteral("mnuView"), QStringLiteral("&הצג"));
    addEntry(view, QStringLiteral("mnuTickets"), QStringLiteral("&משימות"),
        QKeySequence(Qt::CTRL | Qt::Key_T));

    m_mnuWindows = addMenu(nullptr, QStringLiteral("mnuWindows"), QStringLiteral("&חלונות"));
    addEntry(m_mnuWindows, QStringLiteral("mnuCascade"), QStringLiteral("דרג"));
    addEntry(m_mnuWindows, QStringLiteral("mnuTilHoriz"), QStringLiteral("פרוש אופקית"));
    addEntry(m_mnuWindows, QStringLiteral("mnuTilVert"), QStringLiteral("פרוש אנכית"));
    addEntry(m_mnuWindows, QStringLiteral("mnuArrange"), QStringLiteral("סדר סמלים"));
    connect(m_mnuWindows, &QMenu::aboutToShow, this, &MainWindow::fillWindowsMenu);

    QMenu *tools = addMenu(nullptr, QStringLiteral("mnuTools"), QStringLiteral("&כלים"));
    addEntry(tools, QStringLiteral("mnuDBInterval"), QStringLiteral("קצב רענון מידע..."));
    addSeparator(tools, QStringLiteral("mnuSep03"));
    QMenu *detect = addMenu(tools, QStringLiteral("mnuDetect"), QStringLiteral("מעקב"));
    addEntry(detect, QStringLiteral("mnuDB"), QStringLiteral("יבא נתונים"));
    addEntry(detect, QStringLiteral("mnuTicks"), QStringLiteral("אוסף הודעות"));
    addSeparator(tools, QStringLiteral("mnuSep04"));
    addEntry(tools, QStringLiteral("mnuStatuses"), QStringLiteral("מצב קריאות"));
    addEntry(tools, QStringLiteral("mnuResetTCount"), QStringLiteral("Reset TCount"));
    addSeparator(tools, QStringLiteral("mnuSep05"));
    addEntry(tools, QStringLiteral("mnuClear"), QStringLiteral("נקה חלון"));
    addSeparator(tools, QStringLiteral("mnuSep06"));
    addEntry(tools, QStringLiteral("mnuStatus"), QStringLiteral("&הצג סטטוס"));

    QAction *about = menuBar()->addAction(QStringLiteral("&אודות..."));
    about->setObjectName(QStringLiteral("mnuAbout"));
    m_actions.insert(QStringLiteral("mnuAbout"), about);

    for (int m = 0; m < MenuMarks::Count; ++m)
        bindMark(MenuMarks::name(MenuMarks::Mark(m)), MenuMarks::Mark(m));

    connect(exit, &QAction::triggered, this, [this] { m_gw.lifecycle().mnuExit_Click(); });

    // Commands whose check mark is a request: the core decides the mark, so
    // the toolkit's own toggle is put back to the core's state afterwards.
    MainCommands &cmd = m_gw.commands();
    const QList<QPair<const char *, void (MainCommands::*)()>> commands = {
        {"mnuRefresh", &MainCommands::mnuRefresh_Click},
        {"mnuDebugAll", &MainCommands::mnuDebugAll_Click},
        {"mnuDebugCurrent", &MainCommands::mnuDebugCurrent_Click},
        {"mnuSaveQuery", &MainCommands::mnuSaveQuery_Click},
        {"mnuDB", &MainCommands::mnuDB_Click},
        {"mnuTicks", &MainCommands::mnuTicks_Click},
        {"mnuClear", &MainCommands::mnuClear_Click},
        {"mnuStatus", &MainCommands::mnuStatus_Click},
    };
    for (const auto &[name, handler] : commands) {
        connect(m_actions.value(QString::fromLatin1(name)), &QAction::triggered, this,
            [this, &cmd, handler = handler] {
                (cmd.*handler)();
                syncMarks();
            });
    }
    // The arrangement commands trap their own failures, each under its name.
    connect(m_actions.value(QStringLiteral("mnuTilHoriz")), &QAction::triggered, this, [this] {
        m_gw.log().trap(
            QStringLiteral("mnuTilHoriz_Click"), [this] { tileChildren(Qt::Vertical); });
    });
    connect(m_actions.value(QStringLiteral("mnuTilVert")), &QAction::triggered, this, [this] {
        m_gw.log().trap(
            QStringLiteral("mnuTilVert_Click"), [this] { tileChildren(Qt::Horizontal); });
    });
    connect(m_actions.value(QStringLiteral("mnuArrange")), &QAction::triggered, this, [this] {
        m_gw.log().trap(QStringLiteral("mnuArrange_Click"), [this] { arrangeIcons(); });
    });
    connect(m_actions.value(QStringLiteral("mnuConnect")), &QAction::triggered, this,
        [this] { mnuConnect_Click(); });
    connect(m_actions.value(QStringLiteral("mnuAbout")), &QAction::triggered, this,
        [this] { mnuAbout_Click(); });
}

void MainWindow::syncMarks()
{
    for (int m = 0; m < MenuMarks::Count; ++m) {
        const auto mark = MenuMarks::Mark(m);
        m_actions.value(MenuMarks::name(mark))->setChecked(m_gw.marks().checked(mark));
    }
}

void MainWindow::tileChildren(Qt::Orientation stacking)
{
    // Horizontal tiling stacks the windows one under another, each as wide as
    // the area; vertical tiling puts them side by side.
    QList<QMdiSubWindow *> windows;
    for (QMdiSubWindow *w : m_mdi->subWindowList()) {
        if (w->isVisible() && !w->isMinimized())
            windows << w;
    }
    if (windows.isEmpty())
        return;
    const QRect area = m_mdi->viewport()->rect();
    const int n = int(windows.size());
    for (int i = 0; i < n; ++i) {
        windows[i]->showNormal();
        if (stacking == Qt::Vertical) {
            const int h = area.height() / n;
            windows[i]->setGeometry(0, i * h, area.width(), h);
        } else {
            const int w = area.width() / n;
            windows[i]->setGeometry(i * w, 0, w, area.height());
        }
    }
}

void MainWindow::arrangeIcons()
{
    // Minimized windows lined up along the bottom edge of the area.
    const QRect area = m_mdi->viewport()->rect();
    int x = 0;
    for (QMdiSubWindow *w : m_mdi->subWindowList()) {
        if (!w->isMinimized())
            continue;
        const QSize size = w->size();
        w->move(x, area.height() - size.height());
        x += size.width();
    }
}

void MainWindow::mnuConnect_Click()
{
    // Loaded anew, centred and modal; a later load never applies by itself.
    m_gw.log().trap(QStringLiteral("mnuConnect_Click"), [&] { m_gw.ui().loadLogOn(); });
}

void MainWindow::mnuAbout_Click()
{
    m_gw.log().trap(QStringLiteral("mnuAbout_Click"), [&] {
        frmAbout box(m_gw.ui(), this);
        box.exec();
    });
}

void MainWindow::fillWindowsMenu()
{
    // The window list below the four arrangement entries.
    const QList<QAction *> entries = m_mnuWindows->actions();
    for (int i = 4; i < entries.size(); ++i) {
        m_mnuWindows->removeAction(entries.at(i));
        entries.at(i)->deleteLater();
    }
    const QList<QMdiSubWindow *> windows = m_mdi->subWindowList();
    if (windows.isEmpty())
        return;
    m_mnuWindows->addSeparator();
    for (QMdiSubWindow *w : windows) {
        QAction *a = m_mnuWindows->addAction(w->windowTitle());
        a->setCheckable(true);
        a->setChecked(w == m_mdi->activeSubWindow());
        connect(a, &QAction::triggered, w, [this, w] { m_mdi->setActiveSubWindow(w); });
    }
}

void MainWindow::buildIntervalFrame()
{
    QToolBar *bar = addToolBar(QStringLiteral("picMain"));
    bar->setObjectName(QStringLiteral("picMainBar"));
    bar->setMovable(false);
    bar->setFloatable(false);

    m_picMain = new QWidget(bar);
    m_picMain->setObjectName(QStringLiteral("picMain"));
    m_picMain->setMinimumHeight(52);
    m_picMain->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    bar->addWidget(m_picMain);
    // The frame is placed by hand, so it must follow the box's own width.
    m_picMain->installEventFilter(this);

    auto *frame = new QGroupBox(m_picMain);
    frame->setObjectName(QStringLiteral("fraInterval"));
    auto *layout = new QHBoxLayout(frame);
    layout->setContentsMargins(6, 4, 6, 4);
    auto *l01 = new QLabel(QStringLiteral("קצב רענון מידע"), frame);
    l01->setObjectName(QStringLiteral("l01"));
    m_txtInterval = new QLineEdit(frame);
    m_txtInterval->setObjectName(QStringLiteral("txtInterval"));
    m_txtInterval->setFixedWidth(48);
    m_txtInterval->setAlignment(Qt::AlignCenter);
    m_updInterval = new QSpinBox(frame);
    m_updInterval->setObjectName(QStringLiteral("updInterval"));
    m_updInterval->setRange(1, 3600);
    m_updInterval->setFixedWidth(20); // the arrows only, beside the box
    layout->addWidget(l01);
    layout->addWidget(m_txtInterval);
    layout->addWidget(m_updInterval);
    frame->adjustSize();
    m_fraInterval = frame;

    DatabaseCycle &cycle = m_gw.cycle();
    m_txtInterval->setText(cycle.intervalText());
    connect(&cycle, &DatabaseCycle::intervalTextChanged, this, [this](const QString &text) {
        if (m_txtInterval->text() != text)
            m_txtInterval->setText(text);
    });
    connect(m_txtInterval, &QLineEdit::textEdited, &cycle,
        [&cycle](const QString &text) { cycle.txtInterval_Change(text); });
    // The arrows start from the box's value and write theirs back into it.
    bool ok = false;
    const int seconds = cycle.intervalText().toInt(&ok);
    m_updInterval->setValue(ok ? seconds : 15);
    connect(m_updInterval, &QSpinBox::valueChanged, &cycle,
        [&cycle](int value) { cycle.updInterval_Change(value); });
    connect(
        &cycle, &DatabaseCycle::intervalTextChanged, m_updInterval, [this](const QString &text) {
            bool whole = false;
            const int value = text.toInt(&whole);
            if (whole && value != m_updInterval->value()) {
                const QSignalBlocker quiet(m_updInterval);
                m_updInterval->setValue(value);
            }
        });
}

void MainWindow::buildStatusBar()
{
    struct PanelDef
    {
        const char *key;
        const char *tip;
    };
    static const PanelDef kPanels[] = {
        {"keyVersion", "Application Version"},
        {"keyStatus", "Status of Map and Database"},
        {"keyDebug", "Debuging Mode"},
        {"keyAlive", "Show if Timer is Alive"},
    };
    QStatusBar *bar = statusBar();
    bar->setObjectName(QStringLiteral("sbrStatus"));
    for (const PanelDef &def : kPanels) {
        auto *panel = new QLabel(bar);
        const QString key = QString::fromLatin1(def.key);
        panel->setObjectName(key);
        panel->setToolTip(QString::fromLatin1(def.tip));
        panel->setFrameShape(QFrame::Panel);
        panel->setFrameShadow(QFrame::Sunken);
        panel->setText(m_gw.panels().panelText(key));
        // The summary panel takes the room that is left, down to a width that
        // still fits the four panels into a narrow window; below its text's
        // width the text is cut rather than drawn over its neighbours.
        panel->setMinimumWidth(key == QLatin1String("keyStatus") ? 200 : 110);
        bar->addPermanentWidget(panel, key == QLatin1String("keyStatus") ? 1 : 0);
        m_panels.insert(key, panel);
    }
}

void MainWindow::layoutIntervalFrame()
{
    if (!m_fraInterval || !m_picMain)
        return;
    const int clientWidth = m_picMain->width();
    m_fraInterval->move(clientWidth - m_fraInterval->width(), 0);
}

void MainWindow::closeEvent(QCloseEvent *event)
{
    // The close is always refused; a confirmed exit goes through the task timer.
    event->ignore();
    m_gw.lifecycle().MDIForm_QueryUnload();
}

bool MainWindow::eventFilter(QObject *watched, QEvent *event)
{
    // The bar lays the box out in a pass of its own, after the window's
    // resize has been handled. At the first showing the window's resize comes
    // while the bar is still hidden and the box has only its default 100
    // pixels, so the frame would be put at a negative x, past the left edge,
    // and stay there: on an automatic logon no later layout pass comes. A
    // resize while minimised skips the layout pass as well. Placing the frame
    // again whenever the box itself is resized covers every path.
    if (watched == m_picMain && event->type() == QEvent::Resize)
        layoutIntervalFrame();
    return QMainWindow::eventFilter(watched, event);
}

void MainWindow::changeEvent(QEvent *event)
{
    QMainWindow::changeEvent(event);
    // A restore from minimised brings no resize when the size is unchanged,
    // and a resize that came while minimised skipped the layout pass: the
    // restore runs it, so that the traffic window fits the area again.
    if (event->type() == QEvent::WindowStateChange) {
        const auto *change = static_cast<QWindowStateChangeEvent *>(event);
        if ((change->oldState() & Qt::WindowMinimized) && !isMinimized())
            m_gw.commands().MDIForm_Resize();
    }
}

void MainWindow::resizeEvent(QResizeEvent *event)
{
    QMainWindow::resizeEvent(event);
    m_gw.commands().MDIForm_Resize();
}
