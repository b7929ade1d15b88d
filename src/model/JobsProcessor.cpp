#include "model/JobsProcessor.h"

#include "common/LineKey.h"
#include "diag/ErrorLog.h"
#include "model/DayModel.h"
#include "model/RouteTimes.h"
#include "platform/Convert.h"
#include "platform/DateTime.h"
#include "platform/Failure.h"
#include "platform/RowSet.h"

#include <QElapsedTimer>
#include <QHash>

#include <array>
#include <cmath>
#include <map>
#include <unordered_set>
#include <vector>

namespace {

// The job row's columns, looked up by name once per call.
class JobColumns
{
public:
    enum Column {
        Makat,
        PKID,
        RecID,
        CarNo,
        CarNum,
        DriverCode,
        DriverName,
        RecordUpdater,
        RouteStart,
        RouteEnd,
        Count
    };

    explicit JobColumns(const RowSet &rs) : m_rs(rs) { m_index.fill(-2); }

    const QVariant &operator()(Column c)
    {
        return m_rs.value(index(c)); // failure 3265 for a missing column
    }

    // Whether the rows have the column (a row without it fails where it is read).
    bool has(Column c) { return index(c) >= 0; }

    // A print of every value the merge reads (and perhaps others, when the
    // rows keep such prints): rows with equal prints make equal trips.
    // Never 0.
    quint64 print() { return m_rs.changePrint(indexes()); }
    // Every column's index, found once.
    const std::array<int, Count> &indexes()
    {
        for (int c = 0; c < Count; ++c)
            index(Column(c));
        return m_index;
    }

private:
    int index(Column c)
    {
        static const char *const kNames[Count] = {"Makat", "PKID", "RecID", "CarNo", "CarNum",
            "DriverCode", "DriverName", "RecordUpdater", "RouteStart", "RouteEnd"};
        if (m_index[c] == -2)
            m_index[c] = m_rs.fieldIndex(QLatin1String(kNames[c]));
        return m_index[c];
    }

    const RowSet &m_rs;
    std::array<int, Count> m_index;
};

// The trip fields a row carries, converted before anything is changed so that
// a row with a bad value leaves no half-made line or trip behind.
struct TripValues
{
    QString Idx;
    qint32 PKID = 0;
    QString CarNo;
    QString CarNum;
    qint32 RecID = 0;
    qint32 DriverCode = 0;
    QString DriverName;
    QDateTime StartDT;
    QDateTime EndDT;
    qint32 RouteCode = 0;
};

TripValues readTrip(JobColumns &col)
{
    TripValues v;
    v.Idx = Convert::toText(col(JobColumns::RecID));
    v.PKID = Convert::toLong(col(JobColumns::PKID));
    v.CarNo = Convert::toText(col(JobColumns::CarNo));
    v.CarNum = Convert::toText(col(JobColumns::CarNum));
    v.RecID = Convert::toLong(col(JobColumns::RecID));
    v.DriverCode = Convert::toLong(col(JobColumns::DriverCode));
    v.DriverName = Convert::toText(col(JobColumns::DriverName));
    v.StartDT = DateTime::fromVariant(col(JobColumns::RouteStart));
    const QVariant end = col(JobColumns::RouteEnd);
    v.EndDT = end.isNull() ? DateTime::zero() : DateTime::fromVariant(end);
    v.RouteCode = Convert::toLong(JobsProcessor::IfNull(col(JobColumns::Makat), 0));
    return v;
}

void writeTrip(clsSched &trip, const TripValues &v, quint64 print)
{
    trip.RowPrint = print;
    trip.PKID = v.PKID;
    trip.CarNo = v.CarNo;
    trip.CarNum = v.CarNum;
    trip.ORVIKID = trip.CarNum;
    trip.RecID = v.RecID;
    trip.DriverCode = v.DriverCode;
    trip.DriverName = v.DriverName;
    trip.StartDT = v.StartDT;
    trip.EndDT = v.EndDT;
    trip.RouteCode = v.RouteCode;
    // The route-times pass of this call gives the stops again.
    trip.Stops = 1;
    trip.StTimes.clear();
    trip.stopsStale = true;
}

} // namespace

JobsProcessor::JobsProcessor(DayModel &day, ErrorLog &log)
    : m_day(day), m_log(log), m_routeTimes(std::make_unique<RouteTimes>(log))
{
}

JobsProcessor::~JobsProcessor() = default;

const QString JobsProcessor::kMergeOrder = QStringLiteral("Makat ASC, PKID ASC");

QVariant JobsProcessor::IfNull(const QVariant &value, const QVariant &def)
{
    return value.isNull() ? def : value;
}

std::shared_ptr<clsLine> JobsProcessor::newLine(const QString &key)
{
    auto line = std::make_shared<clsLine>();
    line->Idx = key;
    line->Eshkol = QLatin1Char('0') + key.mid(0, 1);
    line->Subdiv = QStringLiteral("0");
    line->Chalufa = key.mid(1, 1);
    line->Line = key.mid(2, 3);
    line->Direction = key.mid(5, 1);
    line->Makat = LineKey::routeName(key);
    line->bNew = true;
    return line;
}

bool JobsProcessor::isZeroCarNum(const QVariant &carNum)
{
    if (carNum.isNull())
        return false;
    if (carNum.metaType().id() != QMetaType::QString && Convert::isNumeric(carNum))
        return Convert::toDouble(carNum) == 0.0;
    // Only a text of zeros alone is zero: " 0" names a vehicle the site typed
    // with a blank, not a missing one.
    const QString text = carNum.toString();
    if (text.isEmpty())
        return false;
    for (const QChar c : text) {
        if (c != QLatin1Char('0'))
            return false;
    }
    return true;
}

bool JobsProcessor::isRejected(const QVariant &carNum, const QVariant &driverName,
    const QVariant &driverCode, const QVariant &recordUpdater)
{
    // Each test that cannot be decided for a null value counts as passed: only
    // a test that holds rejects the row.
    if (carNum.isNull() || driverName.isNull() || driverCode.isNull())
        return true;
    if (!recordUpdater.isNull()
        && recordUpdater.toString().startsWith(QLatin1String("ATMDEL"), Qt::CaseInsensitive))
        return true;
    if (isZeroCarNum(carNum))
        return true;
    if (Convert::isNumeric(driverCode) && Convert::toDouble(driverCode) == 0.0)
        return true;
    const QString name = driverName.toString();
    return name.isEmpty() || name == QStringLiteral("לא בוצע") || name == QStringLiteral("לא פעיל");
}

void JobsProcessor::insertByStart(
    KeyedCollection<clsSched> &scheds, const QString &key, std::shared_ptr<clsSched> trip)
{
    const QDateTime start = trip->StartDT;
    for (auto it = scheds.begin(); it != scheds.end(); ++it) {
        if ((*it)->StartDT > start) {
            scheds.insertBefore(it.key(), key, std::move(trip));
            return;
        }
    }
    scheds.add(key, std::move(trip));
}

namespace {

// Whether merging the row makes a line that is not there yet: a route code,
// accepted, and values that convert. The merge and the prediction of the
// route list both ask it.
bool makesLine(JobColumns &col, const QVariant &makat)
{
    if (makat.isNull())
        return false;
    if (JobsProcessor::isRejected(col(JobColumns::CarNum), col(JobColumns::DriverName),
            col(JobColumns::DriverCode), col(JobColumns::RecordUpdater)))
        return false;
    return !trapFailure([&] { readTrip(col); });
}

// The line of the route code the rows before had: rows come in code order,
// so the key is made and looked up once per code, not once per row.
struct LastLine
{
    QVariant code;
    QString key;
    std::shared_ptr<clsLine> line; // none: not there (yet)
};

// Merges one job row into the lines and trips, and gives the line it reached
// (none for a row that makes no line). keepStops: the rules are those of the
// pass before, so an unchanged trip keeps the stops it would be given again.
// unchanged: set when the row changed nothing but the line's bNew.
std::shared_ptr<clsLine> mergeRow(
    JobColumns &col, colLinesType &lines, bool keepStops, LastLine &last, bool &unchanged)
{
    const QVariant &makat = col(JobColumns::Makat);
    if (makat.isNull())
        return nullptr;
    if (last.code.isNull() || makat != last.code) {
        last.key = LineKey::fromRouteCode(makat);
        last.code = makat;
        last.line = lines.value(last.key);
    }
    const QString &sKey = last.key;
    std::shared_ptr<clsLine> line = last.line;
    // The trip the row makes or changes, looked up once (its key is the
    // RecID's text; a null RecID fails below, where its text is taken).
    const QVariant &recId = col(JobColumns::RecID);
    std::shared_ptr<clsSched> trip
        = line && !recId.isNull() ? line->Scheds.value(Convert::toText(recId)) : nullptr;
    const quint64 print = col.print();
    if (trip && trip->RowPrint == print && trip->PKID == Convert::toLong(col(JobColumns::PKID))) {
        // The row that made the trip, unchanged: only what the route pass
        // gives again is cleared, as writing the row would.
        line->bNew = true;
        if (keepStops && !trip->stopsFailed) {
            unchanged = true;
            return line;
        }
        line->scheduleStale = true;
        trip->Stops = 1;
        trip->StTimes.clear();
        trip->stopsStale = true;
        return line;
    }
    const bool accepted = !JobsProcessor::isRejected(col(JobColumns::CarNum),
        col(JobColumns::DriverName), col(JobColumns::DriverCode), col(JobColumns::RecordUpdater));
    if (!line && !accepted)
        return nullptr;

    TripValues values;
    if (accepted)
        values = readTrip(col);
    const QString sRec = accepted ? values.Idx : Convert::toText(recId);

    if (!line) {
        line = JobsProcessor::newLine(sKey);
        lines.insertInKeyOrder(sKey, line);
        last.line = line;
    }
    if (!trip) {
        if (!accepted)
            return line;
        trip = std::make_shared<clsSched>();
        trip->Idx = sRec;
        trip->StartDT = values.StartDT;
        JobsProcessor::insertByStart(line->Scheds, sRec, trip);
    } else if (!accepted) {
        // A cancelled job takes its trip away; the line stays.
        line->Scheds.remove(sRec);
        line->bNew = true;
        line->scheduleStale = true;
        return line;
    }
    line->bNew = true;
    line->scheduleStale = true;
    writeTrip(*trip, values, print);
    return line;
}

} // namespace

// A merge under way: its rows and rules, how far it has come, and the lines
// its rows reached since the last completion.
struct JobsProcessor::Merge
{
    Merge(RowSet::Ptr rows, RouteRules r) : rs(std::move(rows)), rules(std::move(r)), col(*rs) { }

    RowSet::Ptr rs;
    RouteRules rules;
    JobColumns col;
    bool keepStops = false;
    // The rules complete each line as its rows are merged; when they failed
    // or came for no line, the trips wait (as the whole pass did).
    bool completes = false;
    std::unique_ptr<colLinesType> fresh; // a new day, built apart
    bool started = false;
    bool rowsDone = false;
    LastLine last; // the route code of the last row merged, and its line
    // The run of rows of one route code being merged row by row: its print,
    // the line it reached, and whether every row of it changed nothing.
    struct Run
    {
        quint64 print = 0; // 0: none (no code, or a row that cannot print)
        std::shared_ptr<clsLine> line;
        bool unchanged = true;
    };
    Run run;
    std::vector<std::shared_ptr<clsLine>> reached; // since the last completion
    std::unordered_set<const clsLine *> completed; // in this pass
    std::vector<std::shared_ptr<clsLine>> rest; // to complete after the rows
    size_t restAt = 0;
};

JobsProcessor::Outcome JobsProcessor::ProcessScheduleTrigRecs(
    RowSet &rs, const RouteRules &rules, QString *neededList)
{
    // The caller keeps the rows: the merge holds them without owning them.
    beginMerge(RowSet::Ptr(RowSet::Ptr(), &rs), rules, false);
    return *mergeSlice(0, neededList);
}

void JobsProcessor::beginMerge(RowSet::Ptr rs, RouteRules rules, bool newDay)
{
    m_routeTimes->endPass(); // of a merge left unfinished
    m_merge = std::make_unique<Merge>(std::move(rs), std::move(rules));
    if (newDay)
        m_merge->fresh = std::make_unique<colLinesType>();
}

std::optional<JobsProcessor::Outcome> JobsProcessor::mergeSlice(int sliceMs, QString *neededList)
{
    if (!m_merge)
        return Outcome::Done;
    Merge &m = *m_merge;
    std::optional<Outcome> outcome;
    bool noRows = false;
    QElapsedTimer slice;
    slice.start();
    const auto failure = m_log.trap(QStringLiteral("ProcessScheduleTrigRecs"), [&] {
        if (!m.started) {
            m.started = true;
            if (m.rs->bof() && m.rs->eof()) {
                if (m.fresh)
                    m_day.colLines.reset(); // a new day without rows has no line
                noRows = true;
                outcome = Outcome::Done;
                return;
            }
            // The same rules as the pass before give every unchanged trip the
            // stops it has: only the trips written now are completed.
            m.keepStops = !m.rules.failure && m.rules.print != 0 && m.rules.print == m_lastRules;
            m.completes = !m.rules.failure && m.rules.rows && !m.rules.rows->isEmpty();
            m_lastRules = 0;
            // By route code, and within one code by row key, so that of two
            // rows for the same trip the newer one is applied last.
            m.rs->setSort(kMergeOrder);
            m.rs->moveFirst();
            m_log.beginLasting(QStringLiteral("ProcessScheduleTrigRecs"));
            if (m.completes)
                m_routeTimes->beginPass(*m.rules.rows);
        }
        if (!m.rowsDone) {
            if (!mergeRows(m, sliceMs, slice))
                return;
            outcome = finishRows(m, neededList);
            if (outcome || (sliceMs > 0 && slice.elapsed() >= sliceMs))
                return;
        }
        // The lines no row reached, when the rules are new or a trip's
        // stops failed before.
        for (; m.restAt < m.rest.size(); ++m.restAt) {
            if (sliceMs > 0 && slice.elapsed() >= sliceMs)
                return;
            m_routeTimes->completeLine(*m.rest[m.restAt], m.keepStops);
        }
        m_lastRules = m.rules.print;
        outcome = Outcome::Done;
    });
    if (!failure && !outcome)
        return std::nullopt; // more to come
    m_routeTimes->endPass();
    if (failure && m.fresh) {
        // What was built stands, as the rows before the failure made it.
        m_day.colLines = std::move(m.fresh);
    }
    m_merge.reset();
    if (failure)
        return Outcome::Failed;
    if (*outcome == Outcome::Done && !noRows)
        m_log.endRepeats(QStringLiteral("ProcessScheduleTrigRecs"));
    return outcome;
}

bool JobsProcessor::mergeRows(Merge &m, int sliceMs, const QElapsedTimer &slice)
{
    colLinesType *lines = m.fresh.get();
    if (!lines) {
        if (!m_day.colLines)
            m_day.colLines = std::make_unique<colLinesType>();
        lines = m_day.colLines.get();
    }
    RowSet &rs = *m.rs;
    m.last = LastLine(); // looked up again in each slice
    const QString procedure = QStringLiteral("ProcessScheduleTrigRecs");
    while (!rs.eof()) {
        // Where a route code's rows end, the lines they reached are
        // completed, and a slice may end there: never inside a line's rows
        // (rows are in code order, and one code makes one line).
        const QVariant code = m.col.has(JobColumns::Makat) ? m.col(JobColumns::Makat) : QVariant();
        if (code != m.last.code) {
            endRun(m);
            completeReached(m);
            if (sliceMs > 0 && slice.elapsed() >= sliceMs)
                return false;
            if (passOverUnchangedRun(m, *lines, code))
                continue;
        }
        // Every cycle offers the whole day again, so a row whose values do
        // not convert would stop the rows after it for good: it is logged
        // (once while it stays so) and passed over instead.
        std::shared_ptr<clsLine> line;
        bool unchanged = false;
        if (const auto bad = trapFailure(
                [&] { line = mergeRow(m.col, *lines, m.keepStops, m.last, unchanged); })) {
            const QString pkid = m.col(JobColumns::PKID).toString();
            m_log.lastingRecord(
                procedure, pkid, QStringLiteral("PKID ") + pkid, bad->number(), bad->description());
        }
        m.run.unchanged = m.run.unchanged && unchanged;
        if (line)
            m.run.line = line;
        if (line && (m.reached.empty() || m.reached.back() != line))
            m.reached.push_back(std::move(line));
        rs.moveNext();
    }
    m_log.endLasting(procedure);
    endRun(m);
    completeReached(m);
    m.rowsDone = true;
    return true;
}

bool JobsProcessor::passOverUnchangedRun(Merge &m, colLinesType &lines, const QVariant &code)
{
    // Most of a steady day's runs come back as they were: a run whose rows
    // all changed nothing last cycle, printed alike now and merged with the
    // same rules, would change nothing again row by row. Its line only
    // takes bNew, as its rows would give it, and is completed with the rest.
    m.run = Merge::Run();
    if (code.isNull())
        return false;
    RowSet &rs = *m.rs;
    const int first = rs.bookmark();
    const auto bad = trapFailure([&] {
        quint64 print = 0x52554E;
        for (; !rs.eof() && m.col(JobColumns::Makat) == code; rs.moveNext())
            print = RowSet::printStep(print, m.col.print());
        // The line the rows merge into, looked up as mergeRow would.
        m.last.key = LineKey::fromRouteCode(code);
        m.last.code = code;
        m.last.line = lines.value(m.last.key);
        m.run.print = print | 1;
    });
    const std::shared_ptr<clsLine> line = bad ? nullptr : m.last.line;
    if (!line || !m.keepStops || line->rowsPrint != m.run.print) {
        rs.setBookmark(first);
        if (bad)
            m.last = LastLine(); // mergeRow fails on the rows themselves
        return false;
    }
    // The rows stand at the next run already.
    line->bNew = true;
    m.reached.push_back(line);
    return true;
}

void JobsProcessor::endRun(Merge &m)
{
    // A run merged row by row leaves its print with its line only when every
    // row of it changed nothing: then the same run again will not either.
    if (m.run.line)
        m.run.line->rowsPrint = m.run.unchanged && m.keepStops ? m.run.print : 0;
    m.run = Merge::Run();
}

void JobsProcessor::completeReached(Merge &m)
{
    std::vector<std::shared_ptr<clsLine>> reached;
    reached.swap(m.reached);
    if (!m.completes)
        return;
    for (const auto &line : reached) {
        m_routeTimes->completeLine(*line, m.keepStops);
        m.completed.insert(line.get());
    }
}

std::optional<JobsProcessor::Outcome> JobsProcessor::finishRows(Merge &m, QString *neededList)
{
    // Every line of a new day came from its rows and is whole: it takes the
    // old day's place now.
    if (m.fresh)
        m_day.colLines = std::move(m.fresh);
    colLinesType &lines = *m_day.colLines;
    // A day whose rows were all rejected so far has nothing to complete.
    if (lines.isEmpty())
        return Outcome::Done;
    const QString list = RouteTimes::routeList(lines);
    if (list != m.rules.routeList) {
        // The lines the rows made are not those the rules were read for:
        // the caller reads them again and completes the whole day.
        if (neededList)
            *neededList = list;
        return Outcome::NeedsRules;
    }
    if (m.rules.failure)
        throw *m.rules.failure;
    if (!m.completes)
        return std::nullopt;
    for (const auto &line : lines) {
        if (!m.completed.count(line.get()))
            m.rest.push_back(line);
    }
    return std::nullopt;
}

bool JobsProcessor::completeStops(const RouteRules &rules)
{
    const auto failure = m_log.trap(QStringLiteral("ProcessScheduleTrigRecs"), [&] {
        if (!m_day.colLines || m_day.colLines->isEmpty())
            return;
        m_lastRules = 0;
        if (rules.failure)
            throw *rules.failure;
        if (rules.rows)
            m_routeTimes->completeLines(*m_day.colLines, *rules.rows);
        m_lastRules = rules.print;
    });
    if (!failure)
        m_log.endRepeats(QStringLiteral("ProcessScheduleTrigRecs"));
    return !failure;
}

void JobsProcessor::keepRowPrints(RowSet &rs)
{
    JobColumns col(rs);
    const auto &indexes = col.indexes();
    if (rs.printsKeptOver(indexes))
        return; // the reader's, over every column
    trapFailure([&] { rs.keepPrints(QVector<int>(indexes.begin(), indexes.end())); });
}

QString JobsProcessor::routeListAfter(const QStringList &lineKeys, RowSet &rs)
{
    // In the order the lines are kept: ascending key, letter case ignored.
    std::map<QString, QString> keys;
    for (const QString &key : lineKeys)
        keys.emplace(key.toCaseFolded(), key);
    if (!rs.isEmpty()) {
        JobColumns col(rs);
        // The route code whose line is known to be there: the rows after it
        // with the same code (they come in code order) change nothing.
        QVariant known;
        const bool hasCode = col.has(JobColumns::Makat);
        for (rs.moveFirst(); !rs.eof(); rs.moveNext()) {
            if (hasCode && !known.isNull() && col(JobColumns::Makat) == known)
                continue;
            // A row the merge logs and passes over makes no line.
            trapFailure([&] {
                const QVariant &makat = col(JobColumns::Makat);
                if (makat.isNull())
                    return;
                const QString key = LineKey::fromRouteCode(makat);
                if (keys.count(key.toCaseFolded()) != 0 || makesLine(col, makat)) {
                    keys.emplace(key.toCaseFolded(), key);
                    known = makat;
                }
            });
        }
        rs.moveFirst();
    }
    if (keys.empty())
        return QString();
    QStringList ordered;
    for (const auto &entry : keys)
        ordered << entry.second;
    return RouteTimes::routeListOfKeys(ordered);
}
