#include "Settings.h"

#include "platform/ProfileFile.h"
#include "platform/ProgramFolder.h"

const QString Settings::kFileName = QStringLiteral("Volmara.INI");

Settings::Settings(const QString &folder) : m_folder(folder) { }

QString Settings::filePath(const QString &fileName) const
{
    return ProgramFolder::join(m_folder, fileName);
}

QString Settings::ReadINI(const QString &section, const QString &key, const QString &defaultValue,
    const QString &fileName) const
{
    return ProfileFile::readString(filePath(fileName), section, key, defaultValue);
}

bool Settings::WriteINI(const QString &section, const QString &key, const QString &value) const
{
    return ProfileFile::writeString(filePath(), section, key, value);
}
