#include "settings/frmLogOn.h"

#include "common/MapProtocol.h"
#include "common/WindowTable.h"
#include "diag/ErrorLog.h"
#include "platform/Clock.h"
#include "platform/Convert.h"
#include "platform/Failure.h"

#include <QAction>
#include <QApplication>
#include <QEvent>
#include <QEventLoop>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPointer>
#include <QPushButton>
#include <QTimer>
#include <QToolButton>

#include <iterator>

const QString frmLogOn::kCaption = QStringLiteral("System LogOn");

namespace {

// The classic form units: 15 twips to a pixel on a 96 dpi screen.
constexpr int twips(int t)
{
    return t / 15;
}

constexpr int kWidth = 534;
constexpr int kHeight = 248;
constexpr int kRowHeight = 24;
constexpr int kLeftLabelX = 12, kLeftLabelW = 112, kLeftBoxX = 128, kLeftBoxW = 130;
constexpr int kRightLabelX = 274, kRightLabelW = 94, kRightBoxX = 372, kRightBoxW = 150;

} // namespace

frmLogOn::frmLogOn(LogOnLogic &logic, WindowTable &windows, const Clock &clock, ErrorLog &log,
    QAction *mnuConnect, QWidget *parent)
    : QDialog(parent),
      m_logic(logic),
      m_windows(windows),
      m_clock(clock),
      m_log(log),
      m_mnuConnect(mnuConnect)
{
    setObjectName(QStringLiteral("frmLogOn"));
    setWindowTitle(kCaption);
    // The entries are Latin text (addresses, server names): the dialog keeps
    // its columns and text left to right inside the Hebrew main window.
    setLayoutDirection(Qt::LeftToRight);
    setFixedSize(kWidth, kHeight);
    buildControls();
}

frmLogOn::~frmLogOn()
{
    // A dialog destroyed with its owner still counts as unloaded.
    if (!m_unloaded)
        Form_Unload();
}

void frmLogOn::buildControls()
{
    auto label = [this](const char *name, const QString &caption, int x, int y, int w) {
        auto *l = new QLabel(caption, this);
        l->setObjectName(QString::fromLatin1(name));
        l->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
        l->setGeometry(x, y, w, kRowHeight);
        return l;
    };
    auto box = [this](const char *name, int x, int y, int w) {
        auto *t = new QLineEdit(this);
        t->setObjectName(QString::fromLatin1(name));
        t->setGeometry(x, y, w, kRowHeight);
        return t;
    };

    // Left column: map address, port, server name with its button, GMT offset.
    l05 = label("l05", QStringLiteral("ORVIK Map IP:"), kLeftLabelX, 16, kLeftLabelW);
    txtMapIP = box("txtMapIP", kLeftBoxX, 16, kLeftBoxW);
    l06 = label("l06", QStringLiteral("ORVIK Map Port:"), kLeftLabelX, 48, kLeftLabelW);
    txtPort = box("txtPort", kLeftBoxX, 48, kLeftBoxW);
    lblServer = label("lblServer", QString(), kLeftLabelX, 80, kLeftLabelW);
    txtSQLServer = box("txtSQLServer", kLeftBoxX, 80, kLeftBoxW);
    cmdChange = new QPushButton(QStringLiteral("Add/Remove"), this);
    cmdChange->setObjectName(QStringLiteral("cmdChange"));
    cmdChange->setAutoDefault(false);
    cmdChange->setGeometry(kLeftBoxX, 110, kLeftBoxW, 28);
    l09 = label("l09", QStringLiteral("GMT Offset:"), kLeftLabelX, 150, kLeftLabelW);
    txtGMT = box("txtGMT", kLeftBoxX, 150, kLeftBoxW);

    // Right column: user ID, password, the server list with its arrows, organisation.
    l03 = label("l03", QStringLiteral("User ID:"), kRightLabelX, 16, kRightLabelW);
    txtMapUserID = box("txtMapUserID", kRightBoxX, 16, kRightBoxW);
    l04 = label("l04", QStringLiteral("Password:"), kRightLabelX, 48, kRightLabelW);
    txtMapPassword = box("txtMapPassword", kRightBoxX, 48, kRightBoxW);
    txtMapPassword->setEchoMode(QLineEdit::Password);
    lstDBs = new QListWidget(this);
    lstDBs->setObjectName(QStringLiteral("lstDBs"));
    lstDBs->setGeometry(kRightBoxX, 80, kRightBoxW - 22, 62);
    updDBs = new QWidget(this);
    updDBs->setObjectName(QStringLiteral("updDBs"));
    updDBs->setGeometry(kRightBoxX + kRightBoxW - 20, 80, 20, 62);
    updDBsUp = new QToolButton(updDBs);
    updDBsUp->setObjectName(QStringLiteral("updDBsUp"));
    updDBsUp->setArrowType(Qt::UpArrow);
    updDBsUp->setGeometry(0, 0, 20, 31);
    updDBsUp->setFocusPolicy(Qt::NoFocus);
    updDBsDown = new QToolButton(updDBs);
    updDBsDown->setObjectName(QStringLiteral("updDBsDown"));
    updDBsDown->setArrowType(Qt::DownArrow);
    updDBsDown->setGeometry(0, 31, 20, 31);
    updDBsDown->setFocusPolicy(Qt::NoFocus);
    lblMultiTask
        = label("lblMultiTask", QStringLiteral("Organization:"), kRightLabelX, 150, kRightLabelW);
    txtOrg = box("txtOrg", kRightBoxX, 150, kRightBoxW);
    txtOrg->setReadOnly(true);

    cmdConnect = new QPushButton(QStringLiteral("Connect"), this);
    cmdConnect->setObjectName(QStringLiteral("cmdConnect"));
    cmdConnect->setDefault(true);
    cmdConnect->setGeometry(150, 200, 110, 30);
    cmdCancel = new QPushButton(QStringLiteral("Cancel"), this);
    cmdCancel->setObjectName(QStringLiteral("cmdCancel"));
    cmdCancel->setAutoDefault(false);
    cmdCancel->setGeometry(274, 200, 110, 30);

    QWidget *order[] = {txtMapIP, txtPort, txtMapUserID, txtMapPassword, txtSQLServer, txtGMT,
        txtOrg, cmdConnect, cmdCancel, cmdChange, lstDBs};
    for (size_t i = 1; i < std::size(order); ++i)
        setTabOrder(order[i - 1], order[i]);

    connect(cmdConnect, &QPushButton::clicked, this, [this] { cmdConnect_Click(); });
    connect(cmdCancel, &QPushButton::clicked, this, [this] { cmdCancel_Click(); });
    connect(cmdChange, &QPushButton::clicked, this, [this] { cmdChange_Click(); });
    connect(txtSQLServer, &QLineEdit::textChanged, this, [this] { txtSQLServer_Change(); });
    connect(updDBsUp, &QToolButton::clicked, this, [this] { updDBs_UpClick(); });
    connect(updDBsDown, &QToolButton::clicked, this, [this] { updDBs_DownClick(); });
    // A click on an entry while the list has the focus counts as coming to
    // the list: otherwise the first entry picked could never be removed.
    connect(lstDBs, &QListWidget::itemSelectionChanged, this, [this] {
        if (lstDBs->hasFocus())
            lstDBs_GotFocus();
    });
    lstDBs->installEventFilter(this);
}

bool frmLogOn::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == lstDBs) {
        if (event->type() == QEvent::FocusIn) {
            lstDBs_GotFocus();
        } else if (event->type() == QEvent::FocusOut) {
            // The add/remove button does not validate the list, or leaving
            // the list to press Remove would take its mode away first.
            if (QApplication::focusWidget() != cmdChange)
                lstDBs_Validate();
        }
    }
    return QDialog::eventFilter(watched, event);
}

void frmLogOn::Form_Load()
{
    m_log.trap(QStringLiteral("Form_Load"), [&] {
        m_windows.setLoaded(WindowTable::Window::LogOn, true);
        if (m_mnuConnect)
            m_mnuConnect->setEnabled(false);
        lblServer->setText(QStringLiteral("Server Name:"));

        const LogOnEntries saved = m_logic.readSettings();
        txtMapIP->setText(saved.txtMapIP);
        txtPort->setText(saved.txtPort);
        setServers(saved.lstDBs, -1);
        txtGMT->setText(saved.txtGMT);
        txtOrg->setText(MapProtocol::kOrganization);

        m_lblMultiTaskRect = lblMultiTask->geometry();
        m_cmdConnectRect = cmdConnect->geometry();

        if (m_logic.takeAutomaticTurn()) {
            m_logic.ApplyLogOn(
                LogOnLogic::Mode::Automatic, entries(), cmdConnect->text(), [this] { unload(); });
        }
    });
}

void frmLogOn::Form_Unload()
{
    m_log.trap(QStringLiteral("Form_Unload"), [&] {
        m_windows.setLoaded(WindowTable::Window::LogOn, false);
        if (m_mnuConnect)
            m_mnuConnect->setEnabled(true);
    });
}

void frmLogOn::unload()
{
    if (m_unloaded)
        return;
    m_unloaded = true;
    Form_Unload();
    // Ends a modal showing; the owner learns it from the flag and the pointer.
    QDialog::done(QDialog::Rejected);
    deleteLater();
}

void frmLogOn::reject()
{
    unload();
}

LogOnEntries frmLogOn::entries() const
{
    LogOnEntries e;
    e.txtMapIP = txtMapIP->text();
    e.txtPort = txtPort->text();
    e.txtGMT = txtGMT->text();
    e.lstDBs = servers();
    return e;
}

QStringList frmLogOn::servers() const
{
    QStringList list;
    for (int i = 0; i < lstDBs->count(); ++i)
        list << lstDBs->item(i)->text();
    return list;
}

int frmLogOn::selectedServer() const
{
    const QList<QListWidgetItem *> sel = lstDBs->selectedItems();
    return sel.isEmpty() ? -1 : lstDBs->row(sel.first());
}

void frmLogOn::setServers(const QStringList &list, int selected)
{
    const QSignalBlocker quiet(lstDBs);
    lstDBs->clear();
    lstDBs->addItems(list);
    if (selected >= 0 && selected < lstDBs->count()) {
        lstDBs->setCurrentRow(selected);
    } else {
        lstDBs->setCurrentRow(-1);
        lstDBs->clearSelection();
    }
    lstDBs->update();
}

void frmLogOn::cmdConnect_Click()
{
    m_log.trap(QStringLiteral("cmdConnect_Click"), [&] {
        m_logic.ApplyLogOn(
            LogOnLogic::Mode::User, entries(), cmdConnect->text(), [this] { unload(); });
    });
}

void frmLogOn::cmdCancel_Click()
{
    m_log.trap(QStringLiteral("cmdCancel_Click"), [&] {
        m_logic.closeConnections();
        unload();
    });
}

void frmLogOn::cmdChange_Click()
{
    m_log.trap(QStringLiteral("cmdChange_Click"), [&] {
        const QString mode = cmdChange->text();
        QStringList list = servers();
        if (Convert::sameText(mode, QStringLiteral("Add"))) {
            if (LogOnLogic::addServer(list, txtSQLServer->text()))
                setServers(list, selectedServer());
        } else if (Convert::sameText(mode, QStringLiteral("Remove"))) {
            int selected = selectedServer();
            if (selected < 0)
                return;
            if (m_logic.removeServer(list, selected))
                setServers(list, selected);
            cmdChange->setText(LogOnLogic::changeCaptionFor(txtSQLServer->text()));
        }
    });
}

void frmLogOn::txtSQLServer_Change()
{
    m_log.trap(QStringLiteral("txtSQLServer_Change"),
        [&] { cmdChange->setText(LogOnLogic::changeCaptionFor(txtSQLServer->text())); });
}

void frmLogOn::lstDBs_GotFocus()
{
    m_log.trap(QStringLiteral("lstDBs_GotFocus"), [&] {
        if (selectedServer() >= 0)
            cmdChange->setText(QStringLiteral("Remove"));
    });
}

void frmLogOn::lstDBs_Validate()
{
    m_log.trap(QStringLiteral("lstDBs_Validate"),
        [&] { cmdChange->setText(LogOnLogic::changeCaptionFor(txtSQLServer->text())); });
}

void frmLogOn::updDBs_UpClick()
{
    m_log.trap(QStringLiteral("updDBs_UpClick"), [&] {
        QStringList list = servers();
        int selected = selectedServer();
        if (LogOnLogic::moveUp(list, selected))
            setServers(list, selected);
    });
}

void frmLogOn::updDBs_DownClick()
{
    m_log.trap(QStringLiteral("updDBs_DownClick"), [&] {
        QStringList list = servers();
        int selected = selectedServer();
        if (LogOnLogic::moveDown(list, selected))
            setServers(list, selected);
    });
}

void frmLogOn::ReOrderControls(LogOnLayout layout)
{
    bool confirm = false;
    const auto failure = m_log.trap(QStringLiteral("ReOrderControls"), [&] {
        const QList<QWidget *> controls = findChildren<QWidget *>(Qt::FindDirectChildrenOnly);
        switch (layout) {
        case LogOnLayout::Connecting:
            for (QWidget *c : controls)
                c->setVisible(false);
            lblMultiTask->setText(QStringLiteral("Connecting to Map and Database..."));
            lblMultiTask->setLayoutDirection(Qt::LeftToRight);
            lblMultiTask->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
            lblMultiTask->adjustSize();
            lblMultiTask->move((width() - lblMultiTask->width()) / 2, height() / 3);
            lblMultiTask->setVisible(true);
            break;
        case LogOnLayout::Connected:
            for (QWidget *c : controls)
                c->setVisible(false);
            cmdConnect->setText(
                QStringLiteral("Close this Window\r\nConnected to Map and Database"));
            cmdConnect->resize(twips(3000), twips(960));
            cmdConnect->move((width() - cmdConnect->width()) / 2, height() / 2);
            cmdConnect->setEnabled(true);
            cmdConnect->setVisible(true);
            confirm = true;
            break;
        case LogOnLayout::Usual:
            lblMultiTask->setGeometry(m_lblMultiTaskRect);
            lblMultiTask->setText(QStringLiteral("Organization:"));
            lblMultiTask->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
            cmdConnect->setGeometry(m_cmdConnectRect);
            cmdConnect->setText(QStringLiteral("Connect"));
            cmdConnect->setEnabled(true);
            for (QWidget *c : controls)
                c->setVisible(true);
            break;
        }
    });
    if (failure)
        return;
    if (confirm)
        waitAndClose();
}

void frmLogOn::waitAndClose()
{
    // The confirmation stays about a second while events go on (the operator
    // may click it away sooner); a clock that goes back, as at midnight, ends
    // the wait too. The dialog may be gone when the wait ends.
    QPointer<frmLogOn> self(this);
    const Clock &clock = m_clock;
    const double start = clock.secondsSinceMidnight();
    const double seconds = m_confirmSeconds;
    QEventLoop loop;
    QTimer poll;
    poll.setInterval(20);
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        const double now = clock.secondsSinceMidnight();
        if (!self || self->m_unloaded || now - start >= seconds || now < start)
            loop.quit();
    });
    poll.start();
    if (seconds > 0)
        loop.exec();
    if (!self || self->m_unloaded)
        return;
    // A map error during the wait puts the normal layout back; its Connect
    // must then wait for the operator.
    if (!self->cmdConnect->text().contains(
            QStringLiteral("Close this Window"), Qt::CaseInsensitive))
        return;
    self->cmdConnect_Click();
}
