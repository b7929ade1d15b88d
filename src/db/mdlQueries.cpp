#include "mdlQueries.h"

#include "DbNames.h"
#include "SqlDialect.h"
#include "app/Gateway.h"
#include "app/MenuMarks.h"
#include "diag/ErrorLog.h"
#include "diag/RecordsetToFile.h"
#include "model/LineKey.h"
#include "platform/Clock.h"
#include "platform/Convert.h"
#include "platform/DateTime.h"
#include "platform/DbSession.h"
#include "platform/Failure.h"
#include "platform/RowSet.h"

#include <QElapsedTimer>

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

QDateTime dateOf(const QVariant &value)
{
    if (value.isNull())
        return QDateTime();
    // Only the calendar and clock values are written. Kept off local time:
    // every local-time conversion asks the system for its time zone, which
    // costs more than the insert itself on a full day.
    if (value.metaType().id() == QMetaType::QString) {
        const QString text = value.toString();
        if (text.size() == 19 && text.at(10) == QLatin1Char(' ')) {
            const QDate d = QDate::fromString(text.left(10), Qt::ISODate);
            const QTime t = QTime::fromString(text.mid(11), Qt::ISODate);
            if (d.isValid() && t.isValid())
                return QDateTime(d, t, Qt::UTC);
        }
    }
    const QDateTime dt = DateTime::fromVariant(value);
    return QDateTime(dt.date(), dt.time(), Qt::UTC);
}

} // namespace

mdlQueries::mdlQueries(Gateway &gateway) : m_gw(gateway) { }

QString mdlQueries::lineText(const QVariant &makat)
{
    return LineKey::lineText(LineKey::fromRouteCode(makat));
}

void mdlQueries::QueryDB(QString &sType)
{
    // Both modes run the full query (see the note in the report of the
    // trigger mode): every cycle delivers all newest jobs of the day.
    sType = QStringLiteral("QueryAll");
    AppState &st = m_gw.state();
    MenuMarks &marks = m_gw.marks();
    QString step;
    bool stepExit = false; // a step that goes to the failure exit without a failure

    auto f = trapFailure([&] {
        DbSession &cn = require(st.cnJobs);
        const auto dialect = SqlDialect::forSession(cn);
        const QDateTime now = m_gw.clock().now();

        cn.execute(dialect->appStatusUpdate(st.strVersion, st.strStatus, now));
        if (st.bLinesChanged) {
            cn.execute(dialect->lineListUpdate(st.strLinesList));
            st.bLinesChanged = false;
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

        if (marks.checked(MenuMarks::mnuSaveQuery)) {
            m_gw.log().Err2File(QString(), batch, 0, QString(), QStringLiteral("Queries.TXT"));
            marks.uncheck(MenuMarks::mnuSaveQuery);
        }
        if (st.bDBCommand) {
            st.bDBCommand = false;
            marks.uncheck(MenuMarks::mnuDB);
        }

        step = QStringLiteral("Check yet Executing");
        const qint64 started = qint64(m_gw.clock().secondsSinceMidnight());
        QElapsedTimer bound; // a clock held still by a test must not hold us forever
        bound.start();
        while (rs && rs->state() == RowSet::Executing) {
            const qint64 nowSec = qint64(m_gw.clock().secondsSinceMidnight());
            const qint64 elapsed = nowSec < started ? nowSec + 86400 - started : nowSec - started;
            if (elapsed > 30 || bound.elapsed() > 30000)
                break;
        }
        if (rs && rs->state() == RowSet::Executing) {
            step = QStringLiteral("Recordset Executing");
            stepExit = true;
            return;
        }

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
            if (marks.checked(MenuMarks::mnuDebugCurrent)) {
                m_gw.log().Err2File(QStringLiteral("QueryDB"), QStringLiteral("RecordSet is Empty"),
                    0, QString(), kDebugFile);
                marks.uncheck(MenuMarks::mnuDebugCurrent);
                marks.uncheck(MenuMarks::mnuDebugAll);
            }
            return;
        }
        if (marks.checked(MenuMarks::mnuDebugCurrent)) {
            rs->moveFirst();
            QString fileName;
            qint32 count = 0;
            RecordsetToFile::write(rs, fileName, 0, count, m_gw.programFolder(), nullptr);
            marks.uncheck(MenuMarks::mnuDebugCurrent);
            marks.uncheck(MenuMarks::mnuDebugAll);
        }
        InsertScheds(*rs);
        m_gw.ProcessScheduleTrigRecs(*rs);
    });
    if (!f && !stepExit)
        return;
    Gateway::enableTimer(m_gw.tmrDB());
    m_gw.log().Err2File(QStringLiteral("QueryDB"), QStringLiteral("Step - ") + step,
        f ? f->number() : 0, f ? f->description() : QString(), kDebugFile);
}

void mdlQueries::InsertScheds(RowSet &rs)
{
    DbSession *cn = nullptr;
    std::unique_ptr<SqlDialect> dialect;
    bool runOpen = false;

    auto f = trapFailure([&] {
        cn = &require(m_gw.state().cnORVIKDB);
        dialect = SqlDialect::forSession(*cn);
        rs.moveFirst();
        const QString begin = dialect->schedsRunBegin();
        if (!begin.isEmpty()) {
            cn->execute(begin);
            runOpen = true;
        }
        while (!rs.eof()) {
            QString statement;
            // The whole day is offered again every cycle: a row whose values
            // cannot make a statement would stop the rows after it for good,
            // so it is logged and passed over. A statement the server
            // refuses still ends the call.
            const auto bad = trapFailure([&] {
                SqlDialect::SchedValues v;
                v.recId = rs.field(DbNames::kRecID);
                v.lineText = lineText(rs.field(DbNames::kMakat));
                v.driverName = textOf(rs.field(DbNames::kDriverName));
                v.driverCode = rs.field(DbNames::kDriverCode);
                v.start = dateOf(rs.field(DbNames::kRouteStart));
                v.end = dateOf(rs.field(DbNames::kRouteEnd));
                v.carNum = textOf(rs.field(DbNames::kCarNum));
                v.carNo = rs.field(DbNames::kCarNo);
                statement = dialect->schedsInsert(v);
            });
            if (bad) {
                m_gw.log().Err2File(QStringLiteral("InsertScheds"),
                    QStringLiteral("PKID ") + rs.field(DbNames::kPKID).toString(), bad->number(),
                    bad->description(), kDebugFile);
            } else {
                cn->execute(statement);
            }
            rs.moveNext();
        }
        if (runOpen) {
            runOpen = false;
            cn->execute(dialect->schedsRunEnd());
        }
    });
    if (!f)
        return;
    if (runOpen) {
        // The rows before the failing one stay inserted.
        if (trapFailure([&] { cn->execute(dialect->schedsRunEnd()); }))
            trapFailure([&] { cn->execute(QStringLiteral("ROLLBACK")); });
    }
    m_gw.log().logFailure(QStringLiteral("InsertScheds"), *f);
}
