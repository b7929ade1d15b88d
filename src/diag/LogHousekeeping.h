#pragma once

#include <QDateTime>
#include <QString>

// Keeps the logs bounded: a log over 1,000,000 bytes is cut to its last
// 500,000 bytes (the part cut off replaces the previous file, "Debug.1.TXT"
// for "Debug.TXT"), and at most 10 emergency "ERR*.ERR" files are kept.
class LogHousekeeping
{
public:
    static constexpr qint64 kTrimAbove = 1000000;
    static constexpr qint64 kKeepBytes = 500000;
    static constexpr int kMaxEmergencyFiles = 10;

    // fileName "ERR*.ERR" prunes the emergency files; any other name trims that
    // file, an empty name meaning "Debug.TXT". Failures are swallowed.
    static void run(const QString &folder, const QString &fileName);

    static void trim(const QString &path);
    // Where the part cut off goes: "Debug.TXT" -> "Debug.1.TXT".
    static QString previousPath(const QString &path);
    static void pruneEmergencyFiles(const QString &folder);
    // The sort key of an emergency file: "mmddhhnnss" of its modification time
    // and five characters near the end of its path, blanks as "_".
    static QString sortKey(const QString &fullPath, const QDateTime &modified);
};
