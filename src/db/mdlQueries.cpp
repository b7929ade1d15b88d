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

        cn.execute(dialect->appStatusUpdate(m_rows.strVersion, m_rows.strStatus, now));
        if (m_rows.bLinesChanged) {
            cn.execute(dialect->lineListUpdate(m_rows.strLinesList));
            m_rows.bLinesChanged = false;
        }
        if (m_dLastPurge < now.date()) {
            m_dLastPurge = now.date();
            cn.execute(dialect->purgeBatch(now));
        }

        step = QStringLiteral("Creating Query");
        cn.execute(dialect->shibFlagReset());
        const QString batch = dialect->selectionBatch(now);

        step = QStringLiteral("Quering");
        RowSet::Ptr rs = cn.execute(batch);

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
        InsertScheds(*rs);
        selection.rows = rs;
    });
    if (!f && !stepExit) {
        m_log.endRepeats(QStringLiteral("QueryDB"));
        return selection;
    }
    selection.failed = true;
    selection.rows.reset();
    m_log.Err2File(QStringLiteral("QueryDB"), QStringLiteral("Step - ") + step, f ? f->number() : 0,
        f ? f->description() : QString(), kDebugFile);
    return selection;
}

namespace {

// One Scheds row as text, the same whether made from the values about to be
// inserted or read back from the table.
QString schedKey(const QVariant &recId, const QString &lineText, const QString &driverName,
    const QVariant &driverCode, const QVariant &start, const QVariant &end, const QString &carNum,
    const QVariant &carNo)
{
    auto number = [](const QVariant &v) {
        bool ok = false;
        const qlonglong n = v.toLongLong(&ok);
        return v.isNull() || !ok ? QString() : QString::number(n);
    };
    auto when = [](const QVariant &v) {
        QDateTime dt;
        return DateTime::tryFromVariant(v, &dt) ? DateTime::stored(dt) : QString();
    };
    const QChar sep(0x1F);
    return number(recId) + sep + lineText + sep + driverName + sep + number(driverCode) + sep
        + when(start) + sep + when(end) + sep + carNum + sep + number(carNo);
}

} // namespace

void mdlQueries::InsertScheds(RowSet &rs)
{
    DbSession *cn = nullptr;
    std::unique_ptr<SqlDialect> dialect;
    bool runOpen = false;

    auto f = trapFailure([&] {
        cn = &require(m_sessions.cnORVIKDB);
        dialect = SqlDialect::forSession(*cn);

        // A new operational day (or the first call of the run): what the
        // table holds of the day already counts as stored.
        const QDateTime dayStart = DateTime::operationalDayStart(m_clock.now());
        QSet<QString> inTable;
        if (m_storedDay != dayStart.date()) {
            m_stored.clear();
            m_storedDay = dayStart.date();
            const RowSet::Ptr there
                = cn->execute(dialect->schedsOfDay(dayStart, dayStart.addDays(1)));
            for (RowSet *r = there.get(); r && !r->eof(); r->moveNext()) {
                inTable.insert(schedKey(r->field(0), textOf(r->field(1)), textOf(r->field(2)),
                    r->field(3), r->field(4), r->field(5), textOf(r->field(6)), r->field(7)));
            }
        }

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
            bool known;
            qint64 pkid;
        };
        QVector<Waiting> waiting; // rows not yet sent
        // Sends the waiting rows: as one batch, where the dialect batches; one
        // by one otherwise, and after a refused batch, so that a row already
        // there (a keyed table) is told from a row the server refuses. The
        // first counts as stored and the call goes on; the second ends it.
        auto send = [&] {
            if (batched && waiting.size() > 1) {
                QStringList statements;
                for (const Waiting &w : std::as_const(waiting))
                    statements << w.statement;
                const auto refused
                    = trapFailure([&] { cn->execute(dialect->schedsBatch(statements)); });
                if (!refused) {
                    for (const Waiting &w : std::as_const(waiting)) {
                        if (w.known)
                            m_stored.insert(w.pkid);
                    }
                    waiting.clear();
                    return;
                }
                // Nothing of it stayed.
                const QString recovery = dialect->schedsBatchRecovery();
                if (!recovery.isEmpty())
                    trapFailure([&] { cn->execute(recovery); });
            }
            for (const Waiting &w : std::as_const(waiting)) {
                if (const auto refused = trapFailure([&] {
                        if (prepared.isEmpty())
                            cn->execute(w.statement);
                        else
                            cn->executePrepared(prepared, w.values);
                    })) {
                    if (!DbSession::isDuplicateKey(*refused))
                        throw *refused;
                }
                if (w.known)
                    m_stored.insert(w.pkid);
            }
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
        while (!rs.eof()) {
            bool known = false;
            const qint64 pkid = rs.field(cPKID).toLongLong(&known);
            if (known && m_stored.contains(pkid)) {
                rs.moveNext();
                continue;
            }
            QString statement;
            QVariantList values;
            QString key;
            // The whole day is offered again every cycle: a row whose values
            // cannot make a statement would stop the rows after it for good,
            // so it is logged and passed over. A statement the server
            // refuses still ends the call.
            const auto bad = trapFailure([&] {
                SqlDialect::SchedValues v;
                v.recId = rs.field(cRecID);
                v.lineText = lineText(rs.field(cMakat));
                v.driverName = textOf(rs.field(cDriverName));
                v.driverCode = rs.field(cDriverCode);
                v.start = dateOf(rs.field(cRouteStart));
                v.end = dateOf(rs.field(cRouteEnd));
                v.carNum = textOf(rs.field(cCarNum));
                v.carNo = rs.field(cCarNo);
                if (prepared.isEmpty())
                    statement = dialect->schedsInsert(v);
                else
                    values = dialect->schedsInsertValues(v);
                if (!inTable.isEmpty())
                    key = schedKey(v.recId, v.lineText, v.driverName, v.driverCode, v.start, v.end,
                        v.carNum, v.carNo);
            });
            if (bad) {
                m_log.Err2File(QStringLiteral("InsertScheds"),
                    QStringLiteral("PKID ") + rs.field(cPKID).toString(), bad->number(),
                    bad->description(), kDebugFile);
            } else if (!key.isEmpty() && inTable.contains(key)) {
                // Stored by an earlier run of the day.
                if (known)
                    m_stored.insert(pkid);
            } else {
                waiting.append({std::move(statement), std::move(values), known, pkid});
                if (!batched || waiting.size() == kSchedsBatchRows)
                    send();
            }
            rs.moveNext();
        }
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
