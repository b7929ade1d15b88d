#pragma once

#include "diag/LogRecord.h"
#include "diag/RepeatCounter.h"
#include "platform/Failure.h"

#include <QDateTime>
#include <QHash>
#include <QRecursiveMutex>

#include <QList>
#include <QString>

#include <functional>
#include <optional>

class Clock;

// The one writer of diagnostic records. "Debug.TXT" records carry the time,
// the procedure, the message, the failure number and its text; any other file
// receives the message alone as one line. When the append fails, the record
// goes to an emergency "ERR<seconds>.ERR" file instead, and when that fails
// too, to standard error. Never fails its caller.
//
// An identical "Debug.TXT" record (same procedure, message and number) that
// comes more than 10 times in a minute is counted, not written, and its count
// is written once the minute is over; so an outage's first records survive
// the trim of the file.
//
// Both threads write records: one record at a time, whole, in the order
// they come (its sinks are called under the same lock).
class ErrorLog
{
public:
    static constexpr int kRepeatsPerMinute = 10;

    // Who else reads the debug log's records (the headless gateway's
    // standard error, the status page).
    class Sink
    {
    public:
        virtual ~Sink() = default;
        virtual void record(const LogRecord &record, const QDateTime &now) = 0;
        // The counts of repeats whose window is over (all, with everything).
        virtual void flush(const QDateTime &now, bool everything) = 0;
        // The procedure's records stopped repeating: their counts now.
        virtual void endRepeats(const QString &procedure, const QDateTime &now) = 0;
        // A lasting record (lastingRecord) came again this many times, never
        // handed on; told once it stopped.
        virtual void counted(const RepeatCounter::Held &, const QDateTime &) { }
    };

    ErrorLog(const QString &folder, const Clock &clock);

    // The severity is that of the number: 0 is information, any other an error.
    void Err2File(const QString &procedure, const QString &message, int number,
        const QString &description, const QString &fileName);
    void Err2File(const QString &procedure, const QString &message, int number,
        const QString &description, const QString &fileName, LogRecord::Severity severity);

    // A best-effort copy of a text into a line file ("Bufs.TXT"): when the
    // file cannot be written the text is dropped, never copied elsewhere,
    // and one warning a minute in the debug log names the file and why.
    void copyLine(const QString &fileName, const QString &text);

    // Shorthand for a trapped failure: empty message, "Debug.TXT".
    void logFailure(const QString &procedure, const Failure &failure);
    // Runs body under the trap of the named procedure: a failure it throws is
    // written as logFailure does and handed back for the caller's own failure
    // path; nothing reaches further.
    std::optional<Failure> trap(const QString &procedure, const std::function<void()> &body);

    // Shorthand for a progress record: number 0, empty description, "Debug.TXT".
    void logMessage(const QString &procedure, const QString &message);

    // Every sink added gets every record, in the order they were added.
    void addSink(Sink *sink);
    void removeSink(Sink *sink);
    // Off: records reach the sink only and no file is touched (the settings
    // check, which changes nothing).
    void setFileWrites(bool on) { m_fileWrites = on; }
    // Writes the counts of repeated records whose minute is over; at the end,
    // everything counted.
    void flushRepeats(bool everything = false);
    // The procedure's outcome changed (it worked again): the counts of its
    // repeated records are written now, not when their window ends. A record
    // of the same procedure with another text does the same by itself.
    void endRepeats(const QString &procedure);

    // A record about one thing (subject: a row's key) that its procedure
    // makes again at every pass over its rows while the thing stays as it is
    // (a row that does not convert, offered at every cycle): written the
    // first time, then counted while the same record comes for the same
    // subject. The count is written as the repeats' are once a pass goes by
    // without it (endLasting), when another record comes for the subject,
    // and at the end. A pass begins with beginLasting; one that breaks off
    // ends nothing.
    void beginLasting(const QString &procedure);
    void lastingRecord(const QString &procedure, const QString &subject, const QString &message,
        int number, const QString &description);
    void endLasting(const QString &procedure);

    QString folder() const { return m_folder; }
    QString debugLine(const QString &procedure, const QString &message, int number,
        const QString &description) const;
    // "ERR" + seconds since midnight as "000.0000" + ".ERR".
    static QString emergencyFileName(double secondsSinceMidnight);

private:
    bool append(
        const QString &fileName, const QByteArray &bytes, int *failNumber, QString *failText) const;
    bool appendLine(
        const QString &fileName, const QString &line, int *failNumber, QString *failText) const;
    void writeEmergency(const QString &record, int failNumber, const QString &failText) const;
    void writeLine(const QString &procedure, const QString &message, int number,
        const QString &description, const QString &fileName);
    void writeCounts(const QList<RepeatCounter::Held> &held);
    void tellLasting(const RepeatCounter::Held &held);

    QString m_folder;
    const Clock &m_clock;
    QList<Sink *> m_sinks;
    bool m_fileWrites = true;
    RepeatCounter m_repeats{kRepeatsPerMinute, 60};
    mutable QRecursiveMutex m_lock;
    QHash<QString, QDateTime> m_copyFailureTold; // by file: the last warning of a failed copy
    struct Lasting
    {
        RepeatCounter::Held held;
        quint64 pass = 0; // the procedure's pass that last made it
    };
    QHash<QString, Lasting> m_lasting; // by procedure and subject
    QHash<QString, quint64> m_lastingPass; // by procedure: the pass under way
};
