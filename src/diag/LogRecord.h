#pragma once

#include <QString>

// One record of the debug log, in its parts.
struct LogRecord
{
    enum class Severity { Info, Warning, Error };

    Severity severity = Severity::Info;
    QString procedure;
    QString message;
    int number = 0;
    QString description;

    // A record without a failure number is information, one with a failure.
    static Severity forNumber(int number) { return number == 0 ? Severity::Info : Severity::Error; }
    // "info", "warning" or "error".
    static QString severityWord(Severity severity);
    // Records that are "the same" for counting repeats: procedure, message, number.
    QString repeatKey() const;
};
