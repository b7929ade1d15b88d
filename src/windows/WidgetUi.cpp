#include "windows/WidgetUi.h"

#include "app/Gateway.h"
#include "common/WindowTable.h"
#include "diag/frmIO.h"
#include "diag/frmMsg.h"
#include "platform/Failure.h"
#include "settings/frmLogOn.h"
#include "windows/MainWindow.h"

#include <QApplication>
#include <QMessageBox>
#include <QPlainTextEdit>

namespace {

QMessageBox::Icon toIcon(Ui::Icon icon)
{
    switch (icon) {
    case Ui::Icon::Critical:
        return QMessageBox::Critical;
    case Ui::Icon::Question:
        return QMessageBox::Question;
    case Ui::Icon::Exclamation:
        return QMessageBox::Warning;
    case Ui::Icon::Information:
        return QMessageBox::Information;
    case Ui::Icon::None:
    default:
        return QMessageBox::NoIcon;
    }
}

// A message asked while a modal dialog is up belongs over that dialog.
QWidget *messageOwner(QWidget *main)
{
    QWidget *modal = QApplication::activeModalWidget();
    return modal ? modal : main;
}

} // namespace

WidgetUi::WidgetUi(Gateway &gateway, MainWindow &mainWindow) : m_gw(gateway), m_main(mainWindow) { }

void WidgetUi::msgBox(const QString &text, Icon icon, const QString &title)
{
    QMessageBox box(toIcon(icon), title, text, QMessageBox::Ok, messageOwner(&m_main));
    box.exec();
}

bool WidgetUi::askYesNo(const QString &text, Icon icon, const QString &title)
{
    QMessageBox box(
        toIcon(icon), title, text, QMessageBox::Yes | QMessageBox::No, messageOwner(&m_main));
    return box.exec() == QMessageBox::Yes;
}

void WidgetUi::showMainWindow()
{
    m_main.show();
}

bool WidgetUi::mainWindowMinimized() const
{
    return m_main.isMinimized();
}

void WidgetUi::layoutMainWindow()
{
    if (!m_main.isMinimized()) {
        m_main.layoutIntervalFrame();
        resizeTrafficWindow();
    }
}

frmLogOn *WidgetUi::logOnDialog() const
{
    return m_logOn;
}

frmIO *WidgetUi::trafficWindow() const
{
    return m_io;
}

frmMsg *WidgetUi::statusPopup() const
{
    return m_popup;
}

void WidgetUi::loadLogOn()
{
    // One dialog at a time; a second request while it is up only raises it.
    if (m_logOn && !m_logOn->isUnloaded()) {
        m_logOn->raise();
        m_logOn->activateWindow();
        return;
    }
    QPointer<frmLogOn> dlg = new frmLogOn(m_gw.logOnLogic(), m_gw.windows(), m_gw.clock(),
        m_gw.log(), m_main.action(QStringLiteral("mnuConnect")), &m_main);
    m_logOn = dlg;
    dlg->Form_Load();
    // The first load may apply the saved entries and unload itself: the
    // caller learns it as a window unloaded during its load.
    if (!dlg || dlg->isUnloaded())
        throw Failure(Failure::ObjectUnloaded);

    // Created first, so that its frame counts in the centring.
    dlg->winId();
    const QRect main = m_main.frameGeometry();
    const QRect own = dlg->frameGeometry();
    dlg->move(main.left() + (main.width() - own.width()) / 2,
        main.top() + (main.height() - own.height()) / 2);
    dlg->setWindowModality(Qt::ApplicationModal);
    dlg->exec();
    if (dlg && !dlg->isUnloaded())
        dlg->unload();
}

void WidgetUi::unloadLogOn()
{
    if (m_logOn)
        m_logOn->unload();
}

void WidgetUi::reOrderLogOn(LogOnLayout layout)
{
    if (m_logOn && !m_logOn->isUnloaded())
        m_logOn->ReOrderControls(layout);
}

void WidgetUi::showTrafficWindow()
{
    loadTrafficWindow();
}

frmIO &WidgetUi::loadTrafficWindow()
{
    if (!m_io || !m_gw.windows().loaded(WindowTable::Window::IO))
        m_io = frmIO::load(m_gw.windows(), m_gw.log(), m_gw.programFolder(), m_main.mdiArea());
    return *m_io;
}

void WidgetUi::saveTrafficWindow()
{
    loadTrafficWindow().Win2File();
}

void WidgetUi::clearTrafficWindow()
{
    loadTrafficWindow().txtData()->clear();
}

void WidgetUi::resizeTrafficWindow()
{
    if (m_io && m_gw.windows().loaded(WindowTable::Window::IO))
        m_io->ResizeIO();
}

void WidgetUi::showStatusPopup(const QString &text)
{
    if (m_popup)
        m_popup->unload();
    m_popup = frmMsg::load(m_main.mdiArea());
    m_popup->tmrMsg().stop();
    m_popup->showText(text, &m_main);
}
