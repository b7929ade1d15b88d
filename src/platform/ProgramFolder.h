#pragma once

#include <QString>

// The program folder: where the settings file, the logs and the dumps live.
// It is the executable's folder, or the folder named by VOLMARA_HOME when
// that is set (tests, and installs whose executable folder is not writable).
class ProgramFolder
{
public:
    static QString path();
    // path() joined with a file name, with the host's separator.
    static QString file(const QString &name);
    static QString join(const QString &folder, const QString &name);
};
