#include "diag/StderrLog.h"

#include <cstdio>

StderrLog::StderrLog(std::function<void(const QByteArray &)> writer)
    : m_writer(std::move(writer)), m_journalLevels(qEnvironmentVariableIsSet("JOURNAL_STREAM"))
{
    if (!m_writer) {
        m_writer = [](const QByteArray &bytes) {
            std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stderr);
            std::fflush(stderr);
        };
    }
}

QString StderrLog::line(const LogRecord &r)
{
    // A message that leads into the failure's text ("...: ") needs no colon
    // of its own here.
    QString message = r.message.trimmed();
    if (message.endsWith(QLatin1Char(':')))
        message.chop(1);
    QString text = LogRecord::severityWord(r.severity) + QStringLiteral(": ") + r.procedure
        + QLatin1Char(':');
    if (!message.isEmpty())
        text += QLatin1Char(' ') + message;
    if (r.number != 0 || !r.description.isEmpty()) {
        text += QStringLiteral(" (Error Number: ") + QString::number(r.number)
            + QStringLiteral(", Description: ") + r.description + QLatin1Char(')');
    }
    // One record, one line: a driver's text may hold line breaks.
    text.replace(QLatin1Char('\r'), QLatin1Char(' '));
    text.replace(QLatin1Char('\n'), QLatin1Char(' '));
    return text;
}

void StderrLog::record(const LogRecord &record, const QDateTime &now)
{
    flush(now, false);
    writeCounts(m_repeats.takeProcedure(record.procedure, record.repeatKey()), now);
    if (m_repeats.admit(record, now))
        write(line(record), record.severity);
}

void StderrLog::flush(const QDateTime &now, bool everything)
{
    writeCounts(m_repeats.takeFinished(now, everything), now);
}

void StderrLog::endRepeats(const QString &procedure, const QDateTime &now)
{
    writeCounts(m_repeats.takeProcedure(procedure), now);
}

void StderrLog::counted(const RepeatCounter::Held &held, const QDateTime &now)
{
    // The record lasted as long as it lasted, not one window.
    writeCounts({held}, now, false);
}

void StderrLog::writeCounts(
    const QList<RepeatCounter::Held> &counts, const QDateTime &now, bool capped)
{
    for (const RepeatCounter::Held &held : counts) {
        const qint64 seconds = qMax<qint64>(1, held.since.secsTo(now));
        const qint64 minutes
            = capped ? qMin<qint64>(seconds / 60, kRepeatWindowSeconds / 60) : seconds / 60;
        const QString span = seconds >= 120 ? QStringLiteral("%1 minutes").arg(minutes)
                                            : QStringLiteral("%1 seconds").arg(seconds);
        write(line(held.record)
                + QStringLiteral(" \u2026 repeated %1 times in the last %2")
                      .arg(held.count)
                      .arg(span),
            held.record.severity);
    }
}

void StderrLog::write(const QString &text, LogRecord::Severity severity)
{
    QByteArray bytes;
    if (m_journalLevels) {
        // syslog levels: 3 error, 4 warning, 6 info.
        const char *level = severity == LogRecord::Severity::Error ? "<3>"
            : severity == LogRecord::Severity::Warning             ? "<4>"
                                                                   : "<6>";
        bytes = level;
    }
    bytes += text.toUtf8();
    bytes += '\n';
    m_writer(bytes);
}
