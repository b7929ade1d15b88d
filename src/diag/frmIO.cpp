#include "diag/frmIO.h"

#include "common/WindowTable.h"
#include "diag/ErrorLog.h"
#include "platform/CodePage.h"
#include "platform/Failure.h"
#include "platform/ProgramFolder.h"

#include <QApplication>
#include <QEvent>
#include <QFile>
#include <QIcon>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QVBoxLayout>

const QString frmIO::kFileName = QStringLiteral("Ticks.TXT");

namespace {

// Blanks are spaces only, as the classic trim takes them.
qsizetype blankTrimmedLength(const QString &text)
{
    qsizetype first = 0;
    qsizetype last = text.size();
    while (first < last && text.at(first) == QLatin1Char(' '))
        ++first;
    while (last > first && text.at(last - 1) == QLatin1Char(' '))
        --last;
    return last - first;
}

// The program's own icon (packaging/icons, compiled into the window
// programs); without one a child window shows the toolkit's mark.
QIcon programIcon()
{
    QIcon icon = QApplication::windowIcon();
    if (icon.isNull()) {
        for (int size : {16, 32, 48, 64, 128})
            icon.addFile(QStringLiteral(":/icons/volmara-%1.png").arg(size), QSize(size, size));
    }
    return icon;
}

} // namespace

frmIO::frmIO(WindowTable &windows, ErrorLog &log, const QString &programFolder, QWidget *parent)
    : QWidget(parent),
      m_windows(windows),
      m_log(log),
      m_programFolder(programFolder),
      m_txtData(new QPlainTextEdit(this))
{
    setObjectName(QStringLiteral("frmIO"));
    setWindowTitle(QStringLiteral("IO"));
    setWindowIcon(programIcon());
    m_txtData->setObjectName(QStringLiteral("txtData"));
    m_txtData->setLineWrapMode(QPlainTextEdit::NoWrap);
    m_txtData->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    m_txtData->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(m_txtData);
}

frmIO::~frmIO()
{
    m_windows.setLoaded(WindowTable::Window::IO, false);
}

frmIO *frmIO::load(
    WindowTable &windows, ErrorLog &log, const QString &programFolder, QMdiArea *area)
{
    auto *io = new frmIO(windows, log, programFolder);
    io->m_area = area;
    QMdiSubWindow *sub = area->addSubWindow(io);
    sub->setObjectName(QStringLiteral("frmIOWindow"));
    sub->setAttribute(Qt::WA_DeleteOnClose);
    sub->installEventFilter(io);
    windows.setLoaded(WindowTable::Window::IO, true);
    sub->show();
    io->ResizeIO();
    return io;
}

QMdiSubWindow *frmIO::subWindow() const
{
    return qobject_cast<QMdiSubWindow *>(parentWidget());
}

bool frmIO::eventFilter(QObject *watched, QEvent *event)
{
    // Closed is unloaded, at once: the window itself goes a moment later.
    if (watched == subWindow() && event->type() == QEvent::Close)
        m_windows.setLoaded(WindowTable::Window::IO, false);
    return QWidget::eventFilter(watched, event);
}

void frmIO::ResizeIO()
{
    QMdiSubWindow *sub = subWindow();
    if (!sub || !m_area)
        return;
    const QSize client = m_area->viewport()->size();
    sub->setGeometry(0, client.height() / 4, client.width(), client.height() / 2);
}

void frmIO::unload()
{
    if (QMdiSubWindow *sub = subWindow())
        sub->close();
    else
        deleteLater();
}

QByteArray frmIO::ticksBytes(const QString &paneText)
{
    // The pane holds its lines the way a classic text box does, with CR LF.
    QString text = paneText;
    text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    text.replace(QLatin1Char('\n'), QStringLiteral("\r\n"));
    const qsizetype n = blankTrimmedLength(text);
    if (n == 0)
        throw Failure(Failure::SubscriptOutOfRange);
    return CodePage::toBytes(text.left(n));
}

void frmIO::writeTicks(const QString &path, const QByteArray &bytes)
{
    // Emptied first: an earlier, longer save must not leave its tail behind.
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        throw Failure(75, QStringLiteral("Path/File access error: ") + file.errorString());
    if (file.write(bytes) != bytes.size())
        throw Failure(57, QStringLiteral("Device I/O error: ") + file.errorString());
    file.close();
}

void frmIO::Win2File()
{
    m_log.trap(QStringLiteral("Win2File"), [&] {
        const QByteArray bytes = ticksBytes(m_txtData->toPlainText());
        writeTicks(ProgramFolder::join(m_programFolder, kFileName), bytes);
    });
}
