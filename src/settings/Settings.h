#pragma once

#include <QString>

// The settings file "Volmara.INI" in the program folder, read through ReadINI
// and written one key at a time.
class Settings
{
public:
    static const QString kFileName; // "Volmara.INI"

    explicit Settings(const QString &folder);

    // The value of key in section of fileName (a file in the program folder),
    // or defaultValue when the key is missing; cut to 199 characters, NULs
    // removed, blanks trimmed. An empty stored value comes back empty.
    QString ReadINI(const QString &section, const QString &key, const QString &defaultValue,
        const QString &fileName = kFileName) const;
    // Writes one key of "Volmara.INI". The result is not examined by callers.
    bool WriteINI(const QString &section, const QString &key, const QString &value) const;

    QString folder() const { return m_folder; }
    QString filePath(const QString &fileName = kFileName) const;

private:
    QString m_folder;
};
