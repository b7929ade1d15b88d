#include "Settings.h"

#include "diag/ErrorLog.h"
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
    bool cut = false;
    const QString value = ProfileFile::readString(
        filePath(fileName), section, key, defaultValue, ProfileFile::kBufferSize, &cut);
    if (cut && m_log) {
        // Once per key: the value is read at every cycle.
        const QString id
            = (fileName + QLatin1Char('/') + section + QLatin1Char('/') + key).toLower();
        if (!m_cutReported.contains(id)) {
            m_cutReported.insert(id);
            m_log->Err2File(QStringLiteral("ReadINI"),
                QStringLiteral("[%1] %2 is longer than %3 characters: only the first %3 are used")
                    .arg(section, key)
                    .arg(ProfileFile::kMaxValueChars),
                0, QString(), QStringLiteral("Debug.TXT"));
        }
    }
    return value;
}

bool Settings::contains(const QString &section, const QString &key, const QString &fileName) const
{
    return ProfileFile::lookup(filePath(fileName), section, key).found;
}

bool Settings::WriteINI(const QString &section, const QString &key, const QString &value) const
{
    return ProfileFile::writeString(filePath(), section, key, value);
}
