#include "ErrorLog.h"

#include "LogHousekeeping.h"
#include "platform/Clock.h"
#include "platform/CodePage.h"
#include "platform/DateTime.h"
#include "platform/Failure.h"
#include "platform/ProgramFolder.h"

#include <QFile>

#include <algorithm>

#include <cstdio>

namespace {

const QString kDebugFile = QStringLiteral("Debug.TXT");

bool isDebugLog(const QString &fileName)
{
    return fileName.compare(kDebugFile, Qt::CaseInsensitive) == 0;
}

} // namespace

ErrorLog::ErrorLog(const QString &folder, const Clock &clock) : m_folder(folder), m_clock(clock) { }

QString ErrorLog::debugLine(
    const QString &procedure, const QString &message, int number, const QString &description) const
{
    return DateTime::general(m_clock.now()) + QLatin1Char(' ') + procedure + QStringLiteral(": ")
        + message + QStringLiteral("Error Number: ") + QString::number(number)
        + QStringLiteral("Description: ") + description;
}

QString ErrorLog::emergencyFileName(double secondsSinceMidnight)
{
    // "000.0000": at least three whole digits, exactly four decimals.
    QString number = QString::number(secondsSinceMidnight, 'f', 4);
    const int dot = int(number.indexOf(QLatin1Char('.')));
    if (dot < 3)
        number.prepend(QString(3 - dot, QLatin1Char('0')));
    return QStringLiteral("ERR") + number + QStringLiteral(".ERR");
}

void ErrorLog::addSink(Sink *sink)
{
    QMutexLocker lock(&m_lock);
    if (sink && !m_sinks.contains(sink))
        m_sinks.append(sink);
}

void ErrorLog::removeSink(Sink *sink)
{
    QMutexLocker lock(&m_lock);
    m_sinks.removeAll(sink);
}

void ErrorLog::Err2File(const QString &procedure, const QString &message, int number,
    const QString &description, const QString &fileName)
{
    Err2File(procedure, message, number, description, fileName, LogRecord::forNumber(number));
}

void ErrorLog::Err2File(const QString &procedure, const QString &message, int number,
    const QString &description, const QString &fileName, LogRecord::Severity severity)
{
    QMutexLocker lock(&m_lock);
    if (!isDebugLog(fileName)) {
        if (m_fileWrites)
            writeLine(procedure, message, number, description, fileName);
        return;
    }
    LogRecord record;
    record.severity = severity;
    record.procedure = procedure;
    record.message = message;
    record.number = number;
    record.description = description;
    const QDateTime now = m_clock.now();
    for (Sink *sink : m_sinks)
        sink->record(record, now);
    if (!m_fileWrites)
        return;
    flushRepeats();
    // Another outcome of the same procedure ends the repeating of the one before.
    writeCounts(m_repeats.takeProcedure(procedure, record.repeatKey()));
    if (m_repeats.admit(record, now))
        writeLine(procedure, message, number, description, fileName);
}

void ErrorLog::endRepeats(const QString &procedure)
{
    QMutexLocker lock(&m_lock);
    for (Sink *sink : m_sinks)
        sink->endRepeats(procedure, m_clock.now());
    if (m_fileWrites)
        writeCounts(m_repeats.takeProcedure(procedure));
}

void ErrorLog::flushRepeats(bool everything)
{
    QMutexLocker lock(&m_lock);
    const QDateTime now = m_clock.now();
    for (Sink *sink : m_sinks)
        sink->flush(now, everything);
    if (everything) {
        for (const Lasting &l : std::as_const(m_lasting))
            tellLasting(l.held);
        m_lasting.clear();
    }
    if (!m_fileWrites)
        return;
    writeCounts(m_repeats.takeFinished(now, everything));
}

void ErrorLog::beginLasting(const QString &procedure)
{
    QMutexLocker lock(&m_lock);
    ++m_lastingPass[procedure];
}

void ErrorLog::lastingRecord(const QString &procedure, const QString &subject,
    const QString &message, int number, const QString &description)
{
    QMutexLocker lock(&m_lock);
    const QString key = procedure + QChar(0x1f) + subject;
    const quint64 pass = m_lastingPass.value(procedure);
    const auto it = m_lasting.find(key);
    if (it != m_lasting.end()) {
        const LogRecord &r = it->held.record;
        if (r.message == message && r.number == number && r.description == description) {
            ++it->held.count;
            it->pass = pass;
            return;
        }
        tellLasting(it->held);
        m_lasting.erase(it);
    }
    Lasting l;
    l.held.record.severity = LogRecord::forNumber(number);
    l.held.record.procedure = procedure;
    l.held.record.message = message;
    l.held.record.number = number;
    l.held.record.description = description;
    l.held.since = m_clock.now();
    l.pass = pass;
    m_lasting.insert(key, l);
    Err2File(procedure, message, number, description, kDebugFile, l.held.record.severity);
}

void ErrorLog::endLasting(const QString &procedure)
{
    QMutexLocker lock(&m_lock);
    const quint64 pass = m_lastingPass.value(procedure);
    QList<RepeatCounter::Held> ended;
    for (auto it = m_lasting.begin(); it != m_lasting.end();) {
        if (it->held.record.procedure == procedure && it->pass != pass) {
            ended << it->held;
            it = m_lasting.erase(it);
        } else {
            ++it;
        }
    }
    std::sort(
        ended.begin(), ended.end(), [](const auto &a, const auto &b) { return a.since < b.since; });
    for (const RepeatCounter::Held &held : std::as_const(ended))
        tellLasting(held);
}

void ErrorLog::tellLasting(const RepeatCounter::Held &held)
{
    if (held.count == 0)
        return;
    const QDateTime now = m_clock.now();
    for (Sink *sink : m_sinks)
        sink->counted(held, now);
    if (m_fileWrites)
        writeCounts({held});
}

void ErrorLog::writeCounts(const QList<RepeatCounter::Held> &counts)
{
    for (const RepeatCounter::Held &held : counts) {
        const LogRecord &r = held.record;
        writeLine(r.procedure,
            r.message
                + QStringLiteral(" [repeated %1 more times since %2]")
                      .arg(held.count)
                      .arg(held.since.toString(QStringLiteral("HH:mm:ss"))),
            r.number, r.description, kDebugFile);
    }
}

bool ErrorLog::appendLine(
    const QString &fileName, const QString &line, int *failNumber, QString *failText) const
{
    if (!append(fileName, CodePage::toBytes(line + QStringLiteral("\r\n")), failNumber, failText))
        return false;
    // Every line file is kept bounded, not only the debug log: "Bufs.TXT"
    // receives the whole day at every cycle while its switch is on.
    LogHousekeeping::run(m_folder, fileName);
    return true;
}

void ErrorLog::writeLine(const QString &procedure, const QString &message, int number,
    const QString &description, const QString &fileName)
{
    const bool debug = isDebugLog(fileName);
    const QString record = debug ? debugLine(procedure, message, number, description) : message;
    int failNumber = 0;
    QString failText;
    if (!appendLine(fileName, record, &failNumber, &failText)) {
        // The emergency file always gets the full record, whatever file failed.
        writeEmergency(debug ? record : debugLine(procedure, message, number, description),
            failNumber, failText);
    }
}

void ErrorLog::copyLine(const QString &fileName, const QString &text)
{
    QMutexLocker lock(&m_lock);
    if (!m_fileWrites)
        return;
    int failNumber = 0;
    QString failText;
    if (appendLine(fileName, text, &failNumber, &failText))
        return;
    // A full or read-only folder must not turn every pushed message into a
    // record of its own: the copy is what is given up.
    const QDateTime now = m_clock.now();
    const QDateTime told = m_copyFailureTold.value(fileName);
    if (told.isValid() && told <= now && told.secsTo(now) < 60)
        return;
    m_copyFailureTold.insert(fileName, now);
    Err2File(QStringLiteral("Err2File"),
        fileName + QStringLiteral(" cannot be written; its copies are dropped: "), failNumber,
        failText, kDebugFile, LogRecord::Severity::Warning);
}

void ErrorLog::logFailure(const QString &procedure, const Failure &failure)
{
    Err2File(procedure, QString(), failure.number(), failure.description(), kDebugFile);
}

std::optional<Failure> ErrorLog::trap(const QString &procedure, const std::function<void()> &body)
{
    auto failure = trapFailure(body);
    if (failure)
        logFailure(procedure, *failure);
    return failure;
}

void ErrorLog::logMessage(const QString &procedure, const QString &message)
{
    Err2File(procedure, message, 0, QString(), kDebugFile);
}

bool ErrorLog::append(
    const QString &fileName, const QByteArray &bytes, int *failNumber, QString *failText) const
{
    QFile file(ProgramFolder::join(m_folder, fileName));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append)) {
        *failNumber = 75;
        *failText = QStringLiteral("Path/File access error: ") + file.errorString();
        return false;
    }
    if (file.write(bytes) != bytes.size() || !file.flush()) {
        *failNumber = 61;
        *failText = QStringLiteral("Disk full: ") + file.errorString();
        return false;
    }
    return true;
}

void ErrorLog::writeEmergency(const QString &record, int failNumber, const QString &failText) const
{
    LogHousekeeping::run(m_folder, QStringLiteral("ERR*.ERR"));
    const QString second = DateTime::general(m_clock.now()) + QStringLiteral("Err2File ")
        + QString::number(failNumber) + QLatin1Char(' ') + failText;
    QFile file(ProgramFolder::join(m_folder, emergencyFileName(m_clock.secondsSinceMidnight())));
    if (file.open(QIODevice::WriteOnly | QIODevice::Append)) {
        const QByteArray bytes
            = CodePage::toBytes(record + QStringLiteral("\r\n") + second + QStringLiteral("\r\n"));
        if (file.write(bytes) == bytes.size() && file.flush())
            return;
    }
    // No file of the folder takes it (a read-only or missing folder): standard
    // error is the last place a service manager still keeps. In the host's own
    // encoding, since the journal reads it there, not in the code page.
    const QByteArray bytes
        = (record + QLatin1Char('\n') + second + QLatin1Char('\n')).toLocal8Bit();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stderr);
    std::fflush(stderr);
}
