#include "WidgetUi.h"

#include "Gateway.h"
#include "MainWindow.h"

#include <QMessageBox>

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

} // namespace

WidgetUi::WidgetUi(Gateway &gateway, MainWindow &mainWindow) : m_gw(gateway), m_main(mainWindow) { }

void WidgetUi::msgBox(const QString &text, Icon icon, const QString &title)
{
    QMessageBox box(toIcon(icon), title, text, QMessageBox::Ok, &m_main);
    box.exec();
}

bool WidgetUi::askYesNo(const QString &text, Icon icon, const QString &title)
{
    QMessageBox box(toIcon(icon), title, text, QMessageBox::Yes | QMessageBox::No, &m_main);
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
    if (!m_main.isMinimized())
        m_main.layoutIntervalFrame();
}

void WidgetUi::loadLogOn()
{
    // The logon dialog is not part of this build yet: start-up stops after the
    // main window, as it does when the operator cancels the dialog.
}

void WidgetUi::unloadLogOn() { }

void WidgetUi::reOrderLogOn(const QString &) { }

void WidgetUi::showTrafficWindow() { }

void WidgetUi::saveTrafficWindow() { }

void WidgetUi::clearTrafficWindow() { }

void WidgetUi::showStatusPopup(const QString &) { }
