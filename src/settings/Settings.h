#pragma once

#include <QSet>
#include <QString>

class ErrorLog;

// The settings file "Volmara.INI" in the program folder, read through ReadINI
// and written one key at a time.
class Settings
{
public:
    static const QString kFileName; // "Volmara.INI"

    explicit Settings(const QString &folder);

    // The value of key in section of fileName (a file in the program folder),
    // or defaultValue when the key is missing; NULs removed, blanks trimmed,
    // cut to 4,096 characters (a cut value is logged once with its key). An
    // empty stored value comes back empty.
    QString ReadINI(const QString &section, const QString &key, const QString &defaultValue,
        const QString &fileName = kFileName) const;
    // Whether the key is in the file at all (else ReadINI gives the default).
    bool contains(
        const QString &section, const QString &key, const QString &fileName = kFileName) const;
    // Writes one key of "Volmara.INI". The result is not examined by callers.
    bool WriteINI(const QString &section, const QString &key, const QString &value) const;

    // Where a value cut at the limit is reported; none by default.
    void setLog(ErrorLog *log) { m_log = log; }

    QString folder() const { return m_folder; }
    QString filePath(const QString &fileName = kFileName) const;

private:
    QString m_folder;
    ErrorLog *m_log = nullptr;
    mutable QSet<QString> m_cutReported; // "file/section/key", lower case
};
