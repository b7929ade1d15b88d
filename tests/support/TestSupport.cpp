#include "TestSupport.h"

#include "platform/CodePage.h"

#include <QDir>
#include <QFile>

#include <ctime>

void FakeUi::msgBox(const QString &text, Icon icon, const QString &title)
{
    messages.append({text, icon, title});
    calls << QStringLiteral("msgBox:") + text;
}

bool FakeUi::askYesNo(const QString &text, Icon, const QString &)
{
    questions << text;
    calls << QStringLiteral("askYesNo:") + text;
    return answers.isEmpty() ? defaultAnswer : answers.takeFirst();
}

void FakeUi::loadLogOn()
{
    calls << QStringLiteral("loadLogOn");
    if (onLoadLogOn)
        onLoadLogOn();
}

void FakeUi::unloadLogOn()
{
    calls << QStringLiteral("unloadLogOn");
    if (onUnloadLogOn)
        onUnloadLogOn();
}

TempHome::TempHome()
{
    qputenv("VOLMARA_HOME", m_dir.path().toLocal8Bit());
}

QString TempHome::file(const QString &name) const
{
    return QDir(m_dir.path()).filePath(name);
}

QByteArray TempHome::read(const QString &name) const
{
    QFile f(file(name));
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return f.readAll();
}

QStringList TempHome::lines(const QString &name) const
{
    QString text = CodePage::toText(read(name));
    QStringList out = text.split(QStringLiteral("\r\n"));
    if (!out.isEmpty() && out.last().isEmpty())
        out.removeLast();
    return out;
}

void TempHome::write(const QString &name, const QByteArray &bytes) const
{
    QFile f(file(name));
    if (f.open(QIODevice::WriteOnly))
        f.write(bytes);
}

bool TempHome::exists(const QString &name) const
{
    return QFile::exists(file(name));
}

LocalZone::LocalZone(const QByteArray &zone)
    : m_had(qEnvironmentVariableIsSet("TZ")), m_saved(qgetenv("TZ"))
{
    qputenv("TZ", zone);
    tzset();
}

LocalZone::~LocalZone()
{
    if (m_had)
        qputenv("TZ", m_saved);
    else
        qunsetenv("TZ");
    tzset();
}
