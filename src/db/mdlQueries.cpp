#include "db/mdlQueries.h"

#include "common/DbNames.h"
#include "common/LineKey.h"
#include "common/MenuMarks.h"
#include "common/Sessions.h"
#include "common/StatusRows.h"
#include "db/SqlDialect.h"
#include "diag/ErrorLog.h"
#include "diag/RecordsetToFile.h"
#include "platform/Clock.h"
#include "platform/Convert.h"
#include "platform/DateTime.h"
#include "platform/DbSession.h"
#include "platform/Failure.h"
#include "platform/RowSet.h"

#include <QScopeGuard>

#include <algorithm>
#include <array>

namespace {

const QString kDebugFile = QStringLiteral("Debug.TXT");

DbSession &require(const std::shared_ptr<DbSession> &session)
{
    if (!session)
        throw Failure(Failure::ObjectNotSet);
    return *session;
}

QString textOf(const QVariant &value)
{
    // A null text value joins as empty text.
    return value.isNull() ? QString() : Convert::toText(value);
}

// A date-time to store, or an invalid one for null: the calendar and clock
// values as read, never through the local zone.
QDateTime dateOf(const QVariant &value)
{
    return value.isNull() ? QDateTime() : DateTime::fromVariant(value);
}

} // namespace

mdlQueries::mdlQueries(const Sessions &sessions, StatusRows &rows, MenuMarks &marks,
    const Clock &clock, ErrorLog &log, const QString &programFolder)
    : m_sessions(sessions),
      m_rows(rows),
      m_marks(marks),
      m_clock(clock),
      m_log(log),
      m_programFolder(programFolder)
{
}

QString mdlQueries::lineText(const QVariant &makat)
{
    return LineKey::lineText(LineKey::fromRouteCode(makat));
}

mdlQueries::Selection mdlQueries::QueryDB(QueryMode &sType)
{
    // Both modes run the full query: every cycle delivers all newest jobs of
    // the day.
    sType = QueryMode::QueryAll;
    Selection selection;
    QString step;
    bool stepExit = false; // a step that goes to the failure exit without a failure

    auto f = trapFailure([&] {
        DbSession &cn = require(m_sessions.cnJobs);
        const auto dialect = SqlDialect::forSession(cn);
        const QDateTime now = m_clock.now();

        write(cn, dialect->appStatusUpdate(m_rows.strVersion, m_rows.strStatus, now));
        if (m_rows.bLinesChanged) {
            write(cn, dialect->lineListUpdate(m_rows.strLinesList));
            m_rows.bLinesChanged = false;
        }
        if (m_dLastPurge < now.date()) {
            m_dLastPurge = now.date();
            write(cn, dialect->purgeBatch(now));
        }

        step = QStringLiteral("Creating Query");
        write(cn, dialect->shibFlagReset());
        const QString batch = dialect->selectionBatch(now);

        step = QStringLiteral("Quering");
        RowSet::Ptr rs = write(cn, batch);

        if (m_marks.checked(MenuMarks::mnuSaveQuery)) {
            m_log.Err2File(QString(), batch, 0, QString(), QStringLiteral("Queries.TXT"));
            m_marks.uncheck(MenuMarks::mnuSaveQuery);
        }
        if (m_marks.bDBCommand) {
            m_marks.bDBCommand = false;
            m_marks.uncheck(MenuMarks::mnuDB);
        }

        // The batch's first results are the counts of its updates: the rows
        // are in the first open row set.
        step = QStringLiteral("While Closed");
        while (!rs || rs->state() == RowSet::Closed) {
            rs = rs ? rs->nextRecordset() : nullptr;
            if (!rs) {
                step = QStringLiteral("Next... Next... Until Nothing");
                stepExit = true;
                return;
            }
        }

        step = QStringLiteral("Calling Query Routine");
        if (rs->bof() && rs->eof()) {
            if (m_marks.checked(MenuMarks::mnuDebugCurrent)) {
                m_log.Err2File(QStringLiteral("QueryDB"), QStringLiteral("RecordSet is Empty"), 0,
                    QString(), kDebugFile);
                m_marks.uncheck(MenuMarks::mnuDebugCurrent);
                m_marks.uncheck(MenuMarks::mnuDebugAll);
            }
            return;
        }
        if (m_marks.checked(MenuMarks::mnuDebugCurrent)) {
            rs->moveFirst();
            QString fileName;
            qint32 count = 0;
            RecordsetToFile::write(rs, fileName, 0, count, m_programFolder, nullptr);
            m_marks.uncheck(MenuMarks::mnuDebugCurrent);
            m_marks.uncheck(MenuMarks::mnuDebugAll);
        }
        if (m_prepareRows)
            m_prepareRows(*rs);
        tellSharedKeys(*rs, DateTime::operationalDay(now));
        InsertScheds(*rs);
        selection.rows = rs;
    });
    if (!f && !stepExit) {
        m_log.endRepeats(QStringLiteral("QueryDB"));
        return selection;
    }
    selection.failed = true;
    selection.fenced = f && isFenced(*f);
    selection.rows.reset();
    m_log.Err2File(QStringLiteral("QueryDB"), QStringLiteral("Step - ") + step, f ? f->number() : 0,
        f ? f->description() : QString(), kDebugFile);
    return selection;
}

RowSet::Ptr mdlQueries::write(DbSession &cn, const QString &batch)
{
    if (!m_fence.isSet())
        return cn.execute(batch);
    const auto statements = LeaseStatements::forSession(cn);
    if (m_fenceSetupSession != cn.openSerial()) {
        const QString setup = statements->fenceSetup();
        if (!setup.isEmpty())
            cn.execute(setup);
        m_fenceSetupSession = cn.openSerial();
    }
    try {
        return cn.execute(statements->fenced(batch, m_fence));
    } catch (const Failure &) {
        // The server may keep the failed transaction open (PostgreSQL) until
        // it is rolled back; nothing of it may stay.
        trapFailure([&] { cn.execute(statements->fenceRecovery()); });
        throw;
    }
}

void mdlQueries::relearnStored()
{
    m_last.clear();
    m_storedBefore.clear();
    m_inTable.clear();
    m_storedDay = QDate();
    m_storedSession = 0;
}

bool mdlQueries::isFenced(const Failure &failure)
{
    return failure.description().contains(LeaseStatements::fencedText());
}

void mdlQueries::tellSharedKeys(RowSet &rs, const QDate &day)
{
    if (m_sharedKeysDay != day) {
        m_sharedKeysDay = day;
        m_sharedKeysTold.clear();
    }
    m_sharedKeys.clear();
    const int cPKID = rs.fieldIndex(DbNames::kPKID);
    if (cPKID < 0)
        return;
    QSet<qint64> seen;
    seen.reserve(rs.recordCount());
    QList<qint64> shared; // new this cycle, in row order
    for (rs.moveFirst(); !rs.eof(); rs.moveNext()) {
        const qint64 pkid = rs.field(cPKID).toLongLong();
        const qsizetype before = seen.size();
        seen.insert(pkid);
        if (seen.size() != before)
            continue;
        m_sharedKeys.insert(pkid);
        if (!m_sharedKeysTold.contains(pkid)) {
            m_sharedKeysTold.insert(pkid);
            shared << pkid;
        }
    }
    rs.moveFirst();
    if (shared.isEmpty())
        return;
    QStringList keys;
    for (qint64 pkid : shared.mid(0, 20))
        keys << QString::number(pkid);
    if (shared.size() > keys.size())
        keys << QStringLiteral("...");
    m_log.Err2File(QStringLiteral("QueryDB"),
        QStringLiteral("Jobs has more than one row of the day with the same PKID (%1 keys: "
                       "%2); the table lacks its key, each row is taken as it is")
            .arg(shared.size())
            .arg(keys.join(QStringLiteral(", "))),
        0, QString(), kDebugFile, LogRecord::Severity::Warning);
}

namespace {

quint64 mix(quint64 x)
{
    // splitmix64's finalizer: every bit of the input reaches every bit.
    x ^= x >> 30;
    x *= 0xbf58476d1ce4e5b9ULL;
    x ^= x >> 27;
    x *= 0x94d049bb133111ebULL;
    return x ^ (x >> 31);
}

// The values a Scheds row carries, as one hash: the same whether made from
// the values about to be inserted or read back from the table. Numbers by
// their value, date-times in the stored form, texts as they are.
class RowHash
{
public:
    void number(const QVariant &v)
    {
        bool ok = false;
        const qlonglong n = v.toLongLong(&ok);
        if (v.isNull() || !ok)
            text(QString());
        else
            m_text += QString::number(n);
        m_text += QChar(0x1F);
    }
    void when(const QVariant &v)
    {
        // Embedded tables hold the stored form already: taken as it is.
        if (v.typeId() == QMetaType::QString) {
            const QString t = v.toString();
            if (t.size() == 19 && t.at(4) == QLatin1Char('-') && t.at(10) == QLatin1Char(' ')
                && t.at(13) == QLatin1Char(':')) {
                text(t);
                return;
            }
        }
        QDateTime dt;
        text(DateTime::tryFromVariant(v, &dt) ? DateTime::stored(dt) : QString());
    }
    void text(const QString &t)
    {
        m_text += t;
        m_text += QChar(0x1F);
    }
    quint64 take()
    {
        const quint64 h = mix(quint64(qHash(QStringView(m_text), 0)) + m_text.size());
        m_text.clear();
        return h;
    }

private:
    QString m_text;
};

} // namespace

qint64 mdlQueries::versionKey(qint64 pkid, const QVariant &recId, const QString &carNum) const
{
    if (!m_sharedKeys.contains(pkid))
        return pkid;
    const quint64 h = mix(
        quint64(pkid) ^ mix(quint64(recId.toLongLong())) ^ mix(quint64(qHash(carNum, 0)) + 1));
    // Negative, where no PKID of the table is.
    return qint64(h | (quint64(1) << 63));
}

bool mdlQueries::inTable(quint64 values) const
{
    return std::binary_search(m_inTable.begin(), m_inTable.end(), values);
}

bool mdlQueries::isNew(qint64 key, quint64 values, bool *again)
{
    *again = false;
    const auto last = m_last.constFind(key);
    if (last != m_last.cend() && (last->own || last->values == values))
        return last->values != values;
    const auto before = m_storedBefore.constFind(key);
    const bool storedBefore = before != m_storedBefore.cend();
    // The table holds this version, but this run stored another since: a
    // correction back to values stored earlier.
    if (storedBefore && *before != values)
        return true;
    if (inTable(values)) {
        m_last.insert(key, {values, storedBefore});
        m_storedBefore.remove(key);
        return false;
    }
    *again = storedBefore;
    return true;
}

int mdlQueries::learnStored(DbSession &cn, const SqlDialect &dialect, const QDateTime &dayStart)
{
    // What is there now decides: after a restore of the file or table, the
    // day's rows it lacks are written again, and only those.
    m_inTable.clear();
    RowHash hash;
    cn.forEachRow(dialect.schedsOfDay(dayStart, dayStart.addDays(1)), [&](const RowSet::Row &r) {
        if (r.size() < 8)
            return;
        hash.number(r.at(0));
        hash.text(textOf(r.at(1)));
        hash.text(textOf(r.at(2)));
        hash.number(r.at(3));
        hash.when(r.at(4));
        hash.when(r.at(5));
        hash.text(textOf(r.at(6)));
        hash.number(r.at(7));
        m_inTable.push_back(hash.take());
    });
    std::sort(m_inTable.begin(), m_inTable.end());
    m_inTable.erase(std::unique(m_inTable.begin(), m_inTable.end()), m_inTable.end());
    m_inTable.shrink_to_fit();
    return int(m_inTable.size());
}

QString mdlQueries::selectRefusedText()
{
    return QStringLiteral(
        "SELECT on Scheds is refused to this login: what the table holds of the day is not "
        "read, so each version not stored in this run is inserted and the table's key must "
        "refuse those already there; after a restart the day's versions are offered again. ");
}

void mdlQueries::InsertScheds(RowSet &rs)
{
    DbSession *cn = nullptr;
    std::unique_ptr<SqlDialect> dialect;
    bool runOpen = false;

    auto f = trapFailure([&] {
        cn = &require(m_sessions.cnORVIKDB);
        dialect = SqlDialect::forSession(*cn);

        // The first call of a run, of an operational day or on a reopened
        // session: what the table holds of the day counts as stored.
        const QDateTime dayStart = DateTime::operationalDayStart(m_clock.now());
        if (m_storedDay != dayStart.date() || m_storedSession != cn->openSerial()) {
            // A login may insert into Scheds and not read it: then what this
            // run stored is all there is to go by, and the table's key has to
            // refuse the rest.
            const auto refused = trapFailure([&] { learnStored(*cn, *dialect, dayStart); });
            if (refused && !cn->isPermissionDenied(*refused))
                throw *refused;
            if (m_storedDay != dayStart.date()) {
                m_last.clear();
                m_storedBefore.clear();
            } else if (!refused) {
                // What this run stored stays its last version; the table
                // read again tells only whether it is still there.
                for (auto it = m_last.cbegin(); it != m_last.cend(); ++it) {
                    if (it->own)
                        m_storedBefore.insert(it.key(), it->values);
                }
                m_last.clear();
            }
            m_storedDay = dayStart.date();
            m_storedSession = cn->openSerial();
            if (refused) {
                m_inTable.clear();
                if (!m_selectRefused)
                    m_log.Err2File(QStringLiteral("InsertScheds"), selectRefusedText(),
                        refused->number(), refused->description(), kDebugFile,
                        LogRecord::Severity::Warning);
            }
            m_selectRefused = bool(refused);
        }
        int writtenAgain = 0;
        const auto tellWrittenAgain = qScopeGuard([&] {
            if (writtenAgain > 0)
                m_log.Err2File(QStringLiteral("InsertScheds"),
                    QStringLiteral("%1 rows of the day stored before were missing from Scheds "
                                   "(read again after the session was reopened) and are "
                                   "written again")
                        .arg(writtenAgain),
                    0, QString(), kDebugFile, LogRecord::Severity::Warning);
        });

        rs.moveFirst();
        const QString prepared = dialect->schedsInsertPrepared();
        const bool batched = prepared.isEmpty() && !dialect->schedsBatchBegin().isEmpty();
        const QString begin = dialect->schedsRunBegin();
        if (!begin.isEmpty()) {
            cn->execute(begin);
            runOpen = true;
        }

        struct Waiting
        {
            QString statement;
            QVariantList values; // where the insert runs prepared
            qint64 key;
            quint64 valuesHash;
            quint64 row;
            bool again;
        };
        m_lastInserted = 0;
        // A keyed table that refuses the row as already there (one with the
        // same values, stored earlier) keeps its first copy: the job's last
        // version is stored, though not as the table's newest row.
        auto stored = [&](const Waiting &w) {
            ++m_lastInserted;
            m_last.insert(w.key, {w.valuesHash, true, w.row});
            m_storedBefore.remove(w.key);
            if (w.again)
                ++writtenAgain;
        };
        QVector<Waiting> waiting; // rows not yet sent
        // Sends waiting[from, to): as one text, where the dialect batches; a
        // refused text (nothing of it stays) is halved and each half sent
        // again, down to single rows, so that a row already there (a keyed
        // table) is told from a row the server refuses. The first counts as
        // stored and the call goes on; the second ends it. The rows before
        // it are stored and none after, as row by row, but one bad row among
        // a text's costs a few texts more, not one round trip per row.
        std::function<void(qsizetype, qsizetype)> sendRange = [&](qsizetype from, qsizetype to) {
            if (batched && to - from > 1) {
                QStringList statements;
                for (qsizetype i = from; i < to; ++i)
                    statements << waiting.at(i).statement;
                const auto refused
                    = trapFailure([&] { cn->execute(dialect->schedsBatch(statements)); });
                if (!refused) {
                    for (qsizetype i = from; i < to; ++i)
                        stored(waiting.at(i));
                    return;
                }
                const QString recovery = dialect->schedsBatchRecovery();
                if (!recovery.isEmpty())
                    trapFailure([&] { cn->execute(recovery); });
                const qsizetype half = from + (to - from) / 2;
                sendRange(from, half);
                sendRange(half, to);
                return;
            }
            for (qsizetype i = from; i < to; ++i) {
                const Waiting &w = waiting.at(i);
                if (const auto refused = trapFailure([&] {
                        if (prepared.isEmpty())
                            cn->execute(w.statement);
                        else
                            cn->executePrepared(prepared, w.values);
                    })) {
                    if (!cn->isDuplicateKey(*refused))
                        throw *refused;
                }
                stored(w);
            }
        };
        auto send = [&] {
            // Scheds is on the second session, which may not reach the
            // lease: in a pair each batch goes only while this gateway's own
            // deadline says it still holds it.
            if (m_writeGate && !m_writeGate())
                throw Failure(Failure::WrongProtocolState,
                    LeaseStatements::fencedText() + QStringLiteral(" (Scheds not written)"));
            sendRange(0, waiting.size());
            waiting.clear();
        };
        // The columns by position, found once: every row of the day passes
        // here every cycle. A missing one fails where it is read, as before.
        const int cPKID = rs.fieldIndex(DbNames::kPKID), cRecID = rs.fieldIndex(DbNames::kRecID),
                  cMakat = rs.fieldIndex(DbNames::kMakat),
                  cDriverName = rs.fieldIndex(DbNames::kDriverName),
                  cDriverCode = rs.fieldIndex(DbNames::kDriverCode),
                  cRouteStart = rs.fieldIndex(DbNames::kRouteStart),
                  cRouteEnd = rs.fieldIndex(DbNames::kRouteEnd),
                  cCarNum = rs.fieldIndex(DbNames::kCarNum),
                  cCarNo = rs.fieldIndex(DbNames::kCarNo);
        // The values a stored version is made of, for the print of a row.
        const std::array<int, 9> storedColumns{cPKID, cRecID, cMakat, cDriverName, cDriverCode,
            cRouteStart, cRouteEnd, cCarNum, cCarNo};
        RowHash hash;
        // A bad row's failure is written once, then counted, for as long as
        // the row comes back the same.
        m_log.beginLasting(QStringLiteral("InsertScheds"));
        while (!rs.eof()) {
            QString statement;
            QVariantList values;
            qint64 key = 0;
            quint64 valuesHash = 0;
            quint64 row = 0;
            bool again = false;
            bool already = false;
            // The whole day is offered again every cycle: a row whose values
            // cannot make a statement would stop the rows after it for good,
            // so it is logged and passed over. A statement the server
            // refuses still ends the call.
            const auto bad = trapFailure([&] {
                // The print kept with the rows where it covers these columns
                // (the merge's, or the reader's over all) tells an unchanged
                // row as surely as their own.
                row = rs.changePrint(storedColumns);
                const qint64 pkid = rs.value(cPKID).toLongLong();
                if (!m_sharedKeys.contains(pkid)) {
                    const auto last = m_last.constFind(pkid);
                    if (last != m_last.cend() && last->row == row) {
                        already = true;
                        return;
                    }
                }
                SqlDialect::SchedValues v;
                v.recId = rs.field(cRecID);
                v.lineText = lineText(rs.field(cMakat));
                v.driverName = textOf(rs.field(cDriverName));
                v.driverCode = rs.field(cDriverCode);
                v.start = dateOf(rs.field(cRouteStart));
                v.end = dateOf(rs.field(cRouteEnd));
                v.carNum = textOf(rs.field(cCarNum));
                v.carNo = rs.field(cCarNo);
                // A version of a job is its key and its values: the same
                // version offered again is passed over, a row corrected in
                // place is a new one, and so is a correction back.
                hash.number(v.recId);
                hash.text(v.lineText);
                hash.text(v.driverName);
                hash.number(v.driverCode);
                hash.when(v.start.isValid() ? QVariant(v.start) : QVariant());
                hash.when(v.end.isValid() ? QVariant(v.end) : QVariant());
                hash.text(v.carNum);
                hash.number(v.carNo);
                valuesHash = hash.take();
                key = versionKey(pkid, v.recId, v.carNum);
                if (!isNew(key, valuesHash, &again)) {
                    already = true;
                    const auto last = m_last.find(key);
                    if (last != m_last.end())
                        last->row = row;
                } else if (prepared.isEmpty())
                    statement = dialect->schedsInsert(v);
                else
                    values = dialect->schedsInsertValues(v);
            });
            if (bad) {
                const QString pkid = rs.field(cPKID).toString();
                m_log.lastingRecord(QStringLiteral("InsertScheds"), pkid,
                    QStringLiteral("PKID ") + pkid, bad->number(), bad->description());
            } else if (!already) {
                waiting.append(
                    {std::move(statement), std::move(values), key, valuesHash, row, again});
                if (!batched || waiting.size() == kSchedsBatchRows)
                    send();
            }
            rs.moveNext();
        }
        m_log.endLasting(QStringLiteral("InsertScheds"));
        send();
        if (runOpen) {
            runOpen = false;
            cn->execute(dialect->schedsRunEnd());
        }
    });
    if (!f) {
        m_log.endRepeats(QStringLiteral("InsertScheds"));
        return;
    }
    if (runOpen) {
        // The rows before the failing one stay inserted.
        if (trapFailure([&] { cn->execute(dialect->schedsRunEnd()); }))
            trapFailure([&] { cn->execute(QStringLiteral("ROLLBACK")); });
    }
    m_log.logFailure(QStringLiteral("InsertScheds"), *f);
}
