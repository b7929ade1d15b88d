#include "diag/frmMsg.h"

#include <QLabel>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QMouseEvent>

namespace {

constexpr int kMargin = 12;

} // namespace

frmMsg::frmMsg(QWidget *parent) : QWidget(parent), m_lblMsg(new QLabel(this))
{
    setObjectName(QStringLiteral("frmMsg"));
    setAutoFillBackground(true);
    m_lblMsg->setObjectName(QStringLiteral("lblMsg"));
    m_lblMsg->setText(QStringLiteral("Your Text goes here"));
    m_lblMsg->setTextFormat(Qt::PlainText);
    m_lblMsg->installEventFilter(this);
    sizeToLabel();

    m_tmrMsg.setInterval(200);
    connect(&m_tmrMsg, &QTimer::timeout, this, [this] { tmrMsg_Timer(); });
    m_tmrMsg.start();
}

frmMsg *frmMsg::load(QMdiArea *area)
{
    auto *msg = new frmMsg;
    msg->m_area = area;
    QMdiSubWindow *sub = area->addSubWindow(msg, Qt::FramelessWindowHint);
    sub->setObjectName(QStringLiteral("frmMsgWindow"));
    sub->setAttribute(Qt::WA_DeleteOnClose);
    sub->show();
    return msg;
}

QMdiSubWindow *frmMsg::subWindow() const
{
    return qobject_cast<QMdiSubWindow *>(parentWidget());
}

void frmMsg::sizeToLabel()
{
    m_lblMsg->adjustSize();
    m_lblMsg->move(kMargin, kMargin);
    const QSize size = m_lblMsg->size() + QSize(2 * kMargin, 2 * kMargin);
    resize(size);
    if (QMdiSubWindow *sub = subWindow())
        sub->resize(size);
}

void frmMsg::showText(const QString &text, QWidget *centreOver)
{
    m_lblMsg->setText(text);
    sizeToLabel();
    QMdiSubWindow *sub = subWindow();
    if (!sub || !m_area || !centreOver)
        return;
    const QPoint centre
        = m_area->viewport()->mapFromGlobal(centreOver->mapToGlobal(centreOver->rect().center()));
    sub->move(centre - QPoint(sub->width() / 2, sub->height() / 2));
    sub->raise();
}

void frmMsg::tmrMsg_Timer()
{
    // Lays the popup out once, for a creator that does not do it itself.
    m_tmrMsg.stop();
    sizeToLabel();
}

void frmMsg::unload()
{
    m_tmrMsg.stop();
    if (QMdiSubWindow *sub = subWindow())
        sub->close();
    else
        deleteLater();
}

void frmMsg::mousePressEvent(QMouseEvent *event)
{
    event->accept();
    unload();
}

bool frmMsg::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_lblMsg && event->type() == QEvent::MouseButtonPress) {
        unload();
        return true;
    }
    return QWidget::eventFilter(watched, event);
}
