#pragma once

#include <QString>

// The system registry, for the about box's system-information launcher. On
// Windows it reads the real registry; elsewhere a stand-in answers what the
// host allows: the MSINFO path is a system-information program found on the
// PATH, and every other value is missing.
class Registry
{
public:
    // Named apart from the system headers' macros of the same values.
    static constexpr quint32 kLocalMachine = 0x80000002u; // HKEY_LOCAL_MACHINE
    static constexpr quint32 kAccessMask = 0x2003Fu;
    static constexpr quint32 kTypeString = 1; // REG_SZ
    static constexpr quint32 kTypeNumber = 4; // REG_DWORD

    static const QString kMsInfoKey; // "SOFTWARE\Microsoft\Shared Tools\MSINFO"
    static const QString kMsInfoValue; // "PATH"
    static const QString kSharedToolsKey; // "SOFTWARE\Microsoft\Shared Tools Location"
    static const QString kSharedToolsValue; // "MSINFO"

    // Reads one value as text into keyVal: a string as it is, a 32-bit number
    // as decimal text; other types leave keyVal as it was. False, with keyVal
    // emptied, when the key or the value cannot be read.
    static bool GetKeyValue(
        quint32 keyRoot, const QString &keyName, const QString &subKeyRef, QString &keyVal);

    // Where the stand-in looks on the PATH for a system-information program,
    // in order of preference.
    static QStringList systemInfoPrograms();
};
