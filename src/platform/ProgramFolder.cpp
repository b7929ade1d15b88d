#include "ProgramFolder.h"

#include <QCoreApplication>
#include <QDir>

QString ProgramFolder::path()
{
    const QString home = qEnvironmentVariable("VOLMARA_HOME");
    if (!home.isEmpty())
        return QDir(home).absolutePath();
    if (QCoreApplication::instance())
        return QCoreApplication::applicationDirPath();
    return QDir::currentPath();
}

QString ProgramFolder::file(const QString &name)
{
    return join(path(), name);
}

QString ProgramFolder::join(const QString &folder, const QString &name)
{
    return QDir::toNativeSeparators(QDir(folder).filePath(name));
}
