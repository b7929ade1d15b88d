#pragma once

#include "platform/Failure.h"

#include <QString>

#include <functional>
#include <optional>

class Clock;

// The one writer of diagnostic records. "Debug.TXT" records carry the time,
// the procedure, the message, the failure number and its text; any other file
// receives the message alone as one line. When the append fails, the record
// goes to an emergency "ERR<seconds>.ERR" file instead, and when that fails
// too, to standard error. Never fails its caller.
class ErrorLog
{
public:
    ErrorLog(const QString &folder, const Clock &clock);

    void Err2File(const QString &procedure, const QString &message, int number,
        const QString &description, const QString &fileName);

    // Shorthand for a trapped failure: empty message, "Debug.TXT".
    void logFailure(const QString &procedure, const Failure &failure);
    // Runs body under the trap of the named procedure: a failure it throws is
    // written as logFailure does and handed back for the caller's own failure
    // path; nothing reaches further.
    std::optional<Failure> trap(const QString &procedure, const std::function<void()> &body);

    // Shorthand for a progress record: number 0, empty description, "Debug.TXT".
    void logMessage(const QString &procedure, const QString &message);

    QString folder() const { return m_folder; }
    QString debugLine(const QString &procedure, const QString &message, int number,
        const QString &description) const;
    // "ERR" + seconds since midnight as "000.0000" + ".ERR".
    static QString emergencyFileName(double secondsSinceMidnight);

private:
    bool append(
        const QString &fileName, const QByteArray &bytes, int *failNumber, QString *failText) const;
    void writeEmergency(const QString &record, int failNumber, const QString &failText) const;

    QString m_folder;
    const Clock &m_clock;
};
