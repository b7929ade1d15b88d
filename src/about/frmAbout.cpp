#include "about/frmAbout.h"

#include "common/Ui.h"
#include "common/Version.h"
#include "platform/Failure.h"
#include "platform/Registry.h"

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QFontMetrics>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QProcess>
#include <QPushButton>
#include <QStyle>

const QString frmAbout::kUnavailable
    = QStringLiteral("System Information Is Unavailable At This Time");

namespace {

// The program's own picture (packaging/icons, compiled into the window
// programs); the toolkit's computer only where a program lacks it.
QIcon programIcon(const QStyle *style)
{
    QIcon icon = QApplication::windowIcon();
    if (icon.isNull()) {
        for (int size : {16, 32, 48, 64, 128})
            icon.addFile(QStringLiteral(":/icons/volmara-%1.png").arg(size), QSize(size, size));
    }
    if (icon.isNull())
        icon = style->standardIcon(QStyle::SP_ComputerIcon);
    return icon;
}

} // namespace

frmAbout::frmAbout(Ui &ui, QWidget *parent)
    : QDialog(parent),
      m_ui(ui),
      m_startProgram([](const QString &path) { return QProcess::startDetached(path, {}); }),
      picIcon(new QLabel(this)),
      lblTitle(new QLabel(QStringLiteral("Application Title"), this)),
      lblVersion(new QLabel(QStringLiteral("Version"), this)),
      lblDescription(new QLabel(QStringLiteral("App Description: "), this)),
      cmdOK(new QPushButton(QStringLiteral("OK"), this)),
      cmdSysInfo(new QPushButton(QStringLiteral("&System Info..."), this))
{
    setObjectName(QStringLiteral("frmAbout"));
    picIcon->setObjectName(QStringLiteral("picIcon"));
    lblTitle->setObjectName(QStringLiteral("lblTitle"));
    lblVersion->setObjectName(QStringLiteral("lblVersion"));
    lblDescription->setObjectName(QStringLiteral("lblDescription"));
    cmdOK->setObjectName(QStringLiteral("cmdOK"));
    cmdSysInfo->setObjectName(QStringLiteral("cmdSysInfo"));

    const QIcon icon = programIcon(style());
    setWindowIcon(icon);
    picIcon->setPixmap(icon.pixmap(48, 48));
    QFont big = lblTitle->font();
    big.setPointSizeF(big.pointSizeF() * 1.4);
    big.setBold(true);
    lblTitle->setFont(big);

    auto *grid = new QGridLayout(this);
    grid->addWidget(picIcon, 0, 0, 3, 1, Qt::AlignTop);
    grid->addWidget(lblTitle, 0, 1);
    grid->addWidget(lblVersion, 1, 1);
    grid->addWidget(lblDescription, 2, 1);
    auto *buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(cmdOK);
    buttons->addWidget(cmdSysInfo);
    grid->addLayout(buttons, 3, 0, 1, 2);

    // OK is both the default and the cancel button: Enter and Esc close the box.
    cmdOK->setDefault(true);
    cmdSysInfo->setAutoDefault(false);
    connect(cmdOK, &QPushButton::clicked, this, &QDialog::accept);
    connect(cmdSysInfo, &QPushButton::clicked, this, [this] { StartSysInfo(); });

    Form_Load();

    // A window manager cuts a caption wider than the box. Its title font is
    // its own; the box's font in bold stands in, with room beside it for the
    // title bar's icon and three buttons.
    QFont captionFont = font();
    captionFont.setBold(true);
    const int titleBar = style()->pixelMetric(QStyle::PM_TitleBarHeight, nullptr, this);
    setMinimumWidth(qMax(minimumSizeHint().width(),
        QFontMetrics(captionFont).horizontalAdvance(windowTitle()) + 5 * titleBar));
}

void frmAbout::Form_Load()
{
    setWindowTitle(QStringLiteral("About ") + Version::kAppTitle);
    lblVersion->setText(Version::plainText());
    lblTitle->setText(Version::kAppTitle);
    lblDescription->setVisible(false);
    QString description = lblDescription->text();
    if (description.endsWith(QStringLiteral(", ")))
        description.chop(2);
    lblDescription->setText(description);
}

void frmAbout::StartSysInfo()
{
    bool started = false;
    const auto failure = trapFailure([&] {
        QString path;
        if (Registry::GetKeyValue(
                Registry::kLocalMachine, Registry::kMsInfoKey, Registry::kMsInfoValue, path)) {
            started = m_startProgram(path);
            if (!started)
                throw Failure(53, QStringLiteral("File not found: ") + path);
            return;
        }
        QString folder;
        if (Registry::GetKeyValue(Registry::kLocalMachine, Registry::kSharedToolsKey,
                Registry::kSharedToolsValue, folder)) {
            const QString program
                = QDir::toNativeSeparators(folder + QStringLiteral("/MSINFO32.EXE"));
            if (QFileInfo::exists(program))
                started = m_startProgram(program);
        }
    });
    // A path that cannot be started says the same as no path at all.
    if (!started || failure)
        m_ui.msgBox(kUnavailable, Ui::Icon::None, Version::kAppTitle);
}
