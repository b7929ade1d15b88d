#pragma once

#include <QTimer>
#include <QWidget>

class QLabel;
class QMdiArea;
class QMdiSubWindow;

// frmMsg: a borderless popup inside the main window that shows one short text
// until it is clicked.
class frmMsg : public QWidget
{
    Q_OBJECT
public:
    explicit frmMsg(QWidget *parent = nullptr);

    // Loads a new popup into the area; loading shows it. Its layout timer runs
    // until the creator switches it off.
    static frmMsg *load(QMdiArea *area);

    QLabel *lblMsg() const { return m_lblMsg; }
    QTimer &tmrMsg() { return m_tmrMsg; }
    QMdiSubWindow *subWindow() const;

    // Sets the text, sizes the label and the window to it and centres the
    // window over the given widget (the main window).
    void showText(const QString &text, QWidget *centreOver);
    void unload();

protected:
    void mousePressEvent(QMouseEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void sizeToLabel();
    void tmrMsg_Timer();

    QLabel *m_lblMsg;
    QTimer m_tmrMsg;
    QMdiArea *m_area = nullptr;
};
