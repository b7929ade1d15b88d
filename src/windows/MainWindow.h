#pragma once

#include "common/MenuMarks.h"

#include <QHash>
#include <QMainWindow>

class Gateway;
class QAction;
class QLabel;
class QLineEdit;
class QMdiArea;
class QMenu;
class QSpinBox;
class QWidget;

// frmMain: the Hebrew multiple-document main window. A thin view: its menu
// commands go to the core, and it shows the core's panels, marks and interval.
class MainWindow : public QMainWindow
{
    Q_OBJECT
public:
    explicit MainWindow(Gateway &gateway, QWidget *parent = nullptr);

    QMdiArea *mdiArea() const { return m_mdi; }
    QAction *action(const QString &name) const { return m_actions.value(name); }
    // Moves the interval frame so that its right edge meets the client area's.
    void layoutIntervalFrame();

    // The connect entry: the logon dialog, centred and modal.
    void mnuConnect_Click();
    // The about box, modal.
    void mnuAbout_Click();

protected:
    void closeEvent(QCloseEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;
    void changeEvent(QEvent *event) override;

private:
    QAction *addEntry(QMenu *menu, const QString &name, const QString &caption,
        const QKeySequence &shortcut = {});
    void buildMenus();
    void buildStatusBar();
    void buildIntervalFrame();
    void bindMark(const QString &name, MenuMarks::Mark mark);
    void fillWindowsMenu();
    void syncMarks();
    void tileChildren(Qt::Orientation stacking);
    void arrangeIcons();

    Gateway &m_gw;
    QMdiArea *m_mdi;
    QWidget *m_picMain = nullptr;
    QWidget *m_fraInterval = nullptr;
    QLineEdit *m_txtInterval = nullptr;
    QSpinBox *m_updInterval = nullptr;
    QMenu *m_mnuWindows = nullptr;
    QHash<QString, QAction *> m_actions;
    QHash<QString, QLabel *> m_panels;
};
