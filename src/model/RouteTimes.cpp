#include "model/RouteTimes.h"

#include "common/LineKey.h"
#include "db/SqlDialect.h"
#include "diag/ErrorLog.h"
#include "platform/Convert.h"
#include "platform/DateTime.h"
#include "platform/DbSession.h"
#include "platform/Failure.h"
#include "platform/RowSet.h"

#include <QHash>
#include <QScopeGuard>

#include <limits>
#include <optional>
#include <vector>

namespace {

const QString kRouteName = QStringLiteral("RouteName");

// A value read from a rule once, or the failure reading it gave; the failure
// is raised again for every trip that needs the value.
template <typename T> struct Cached
{
    bool read = false;
    T value{};
    std::optional<Failure> failure;

    template <typename F> const T &get(F &&reader)
    {
        if (!read) {
            read = true;
            if (auto f = trapFailure([&] { value = reader(); }))
                failure = *f;
        }
        if (failure)
            throw *failure;
        return value;
    }
};

struct Period
{
    enum Kind { Always, Never, Dated } kind = Always;
    QDate from;
    QDate to;
};

struct Window
{
    QTime from;
    QTime to;
};

// Row keys as the row set's find compares them: numbers as numbers, anything
// else as text without regard to letter case.
QString textKey(const QString &text)
{
    return QStringLiteral("t:") + text.toCaseFolded();
}

QString numberKey(double d)
{
    return QStringLiteral("n:") + QString::number(d, 'g', 17);
}

} // namespace

struct RouteTimes::PassContext
{
    struct Rule
    {
        Cached<std::optional<QString>> route; // case-folded; none for a null name
        Cached<Period> period;
        Cached<Window> window;
        Cached<QString> arrival;
        Cached<QString> stay;
        Cached<RouteTimes::StopTimes> stopTimes;
    };

    explicit PassContext(const RowSet &rs)
        : cRoute(rs.fieldIndex(kRouteName)),
          cFromDate(rs.fieldIndex(QStringLiteral("fromDate"))),
          cToDate(rs.fieldIndex(QStringLiteral("toDate"))),
          cFromTime(rs.fieldIndex(QStringLiteral("fromTime"))),
          cToTime(rs.fieldIndex(QStringLiteral("toTime"))),
          cArrival(rs.fieldIndex(QStringLiteral("arrivalStr"))),
          cStay(rs.fieldIndex(QStringLiteral("stayStr"))),
          rules(size_t(rs.recordCount()))
    {
    }

    Rule &rule(const RowSet &rs) { return rules.at(size_t(rs.bookmark())); }

    const std::optional<QString> &routeOf(Rule &r, const RowSet &rs)
    {
        return r.route.get([&]() -> std::optional<QString> {
            const QVariant v = rs.field(cRoute);
            if (v.isNull())
                return std::nullopt;
            return Convert::toText(v).toCaseFolded();
        });
    }

    bool matches(Rule &r, const RowSet &rs, const QDate &day, const QTime &time)
    {
        const Period &p = r.period.get([&] {
            const QVariant from = rs.field(cFromDate), to = rs.field(cToDate);
            Period out;
            if (from.isNull() && to.isNull()) {
                out.kind = Period::Always;
            } else if (from.isNull() || to.isNull()) {
                // Half a period cannot be decided: never a match.
                out.kind = Period::Never;
            } else {
                out.kind = Period::Dated;
                out.from = DateTime::fromVariant(from).date();
                out.to = DateTime::fromVariant(to).date();
            }
            return out;
        });
        if (p.kind == Period::Never)
            return false;
        if (p.kind == Period::Dated && (day < p.from || p.to < day))
            return false;
        // The window is read only for a rule whose dates hold; a window that
        // passes midnight holds no time at all.
        const Window &w = r.window.get([&] {
            return Window{DateTime::fromVariant(rs.field(cFromTime)).time(),
                DateTime::fromVariant(rs.field(cToTime)).time()};
        });
        return w.from <= time && time <= w.to;
    }

    const int cRoute, cFromDate, cToDate, cFromTime, cToTime, cArrival, cStay;
    std::vector<Rule> rules; // by row position
};

RouteTimes::RouteTimes(ErrorLog &log) : m_log(log) { }

RouteTimes::~RouteTimes() = default;

qint16 RouteTimes::CountFields(const QVariant &text)
{
    if (text.isNull() || text.metaType().id() != QMetaType::QString)
        return 0;
    const QString s = text.toString();
    if (s.isEmpty())
        return 0;
    const qsizetype n = s.count(QLatin1Char(',')) + 1;
    if (n > std::numeric_limits<qint16>::max())
        throw Failure(Failure::Overflow);
    return qint16(n);
}

QVariant RouteTimes::GetField(const QVariant &text, int n)
{
    if (n < 1 || n > CountFields(text))
        return QVariant();
    const QString s = text.toString();
    qsizetype start = 0;
    for (int i = 1; i < n; ++i)
        start = s.indexOf(QLatin1Char(','), start) + 1;
    qsizetype end = s.indexOf(QLatin1Char(','), start);
    if (end < 0)
        end = s.size();
    return s.mid(start, end - start);
}

QString RouteTimes::routeList(const colLinesType &lines)
{
    QString list;
    list.reserve(qsizetype(lines.count()) * 12);
    for (const auto &line : lines) {
        list += QLatin1Char('\'');
        list += SqlDialect::escaped(line->Makat);
        list += QLatin1String("',");
    }
    if (list.isEmpty())
        throw Failure(Failure::InvalidCall); // no line, no list
    list.chop(1);
    return list;
}

RouteRules RouteTimes::read(
    const std::shared_ptr<DbSession> &cn, const QString &routeList, const QDate &today)
{
    RouteRules rules;
    rules.routeList = routeList;
    rules.failure = trapFailure([&] {
        if (!cn)
            throw Failure(Failure::ObjectNotSet);
        const auto dialect = SqlDialect::forSession(*cn);
        rules.rows = cn->execute(dialect->routeTimesQuery(routeList, today));
        if (!rules.rows)
            throw Failure(Failure::ObjectNotSet);
    });
    if (rules.failure) {
        rules.rows.reset();
        return rules;
    }
    size_t seed = qHash(routeList, 0x5EED);
    for (const RowSet::Row &row : rules.rows->rows()) {
        for (const QVariant &v : row)
            seed = qHashMulti(seed, v.typeId(), v.isNull(), v.toString());
    }
    rules.print = quint64(seed) | 1;
    return rules;
}

QString RouteTimes::routeListOfKeys(const QStringList &keys)
{
    QString list;
    for (const QString &key : keys)
        list += QLatin1Char('\'') + SqlDialect::escaped(LineKey::routeName(key))
            + QStringLiteral("',");
    if (list.isEmpty())
        throw Failure(Failure::InvalidCall); // no line, no list
    list.chop(1);
    return list;
}

struct RouteTimes::Pass
{
    explicit Pass(RowSet &rules) : rs(rules), ctx(rules) { }

    RowSet &rs;
    PassContext ctx;
    // Where each route's rules begin, so that the forward search of a line
    // starts at its first rule instead of walking every earlier route.
    QHash<QString, int> firstRow;
    int lastRow = -1;
};

void RouteTimes::completeLines(colLinesType &lines, RowSet &rules, bool staleOnly)
{
    if (rules.isEmpty())
        return; // no rule for any line: the trips keep what they have
    beginPass(rules);
    const auto end = qScopeGuard([this] { endPass(); });
    for (const auto &line : lines)
        completeLine(*line, staleOnly);
}

void RouteTimes::beginPass(RowSet &rules)
{
    endPass();
    auto pass = std::make_unique<Pass>(rules);
    // The texts this pass uses are built once, or taken from the last pass.
    m_lastStopTimes = std::move(m_stopTimes);
    m_stopTimes.clear();
    auto forget = qScopeGuard([this] { m_lastStopTimes.clear(); });

    RowSet *const rsRT = &rules;
    rsRT->moveFirst();
    while (!rsRT->eof()) {
        const QVariant v = rsRT->field(kRouteName);
        if (!v.isNull()) {
            // Rows come in order: the first row seen under a key is its first.
            const int row = rsRT->bookmark();
            const QString text = textKey(v.toString());
            if (!pass->firstRow.contains(text))
                pass->firstRow.insert(text, row);
            if (Convert::isNumberType(v)) {
                const QString number = numberKey(v.toDouble());
                if (!pass->firstRow.contains(number))
                    pass->firstRow.insert(number, row);
            }
        }
        rsRT->moveNext();
    }
    pass->lastRow = rsRT->recordCount() - 1;
    m_pass = std::move(pass);
    forget.dismiss();
}

void RouteTimes::endPass()
{
    m_pass.reset();
    m_lastStopTimes.clear();
}

void RouteTimes::completeLine(clsLine &line, bool staleOnly)
{
    if (!m_pass || m_pass->rs.isEmpty())
        return; // no rule for any line: the trips keep what they have
    if (staleOnly) {
        bool any = false;
        for (const auto &trip : line.Scheds)
            any = any || trip->stopsStale || trip->stopsFailed;
        if (!any)
            return;
    }
    RowSet *const rsRT = &m_pass->rs;
    rsRT->moveFirst();
    int start = m_pass->firstRow.value(textKey(line.Makat), -1);
    bool numeric = false;
    const double asNumber = line.Makat.toDouble(&numeric);
    if (numeric) {
        const int n = m_pass->firstRow.value(numberKey(asNumber), -1);
        if (n >= 0 && (start < 0 || n < start))
            start = n;
    }
    if (start >= 0) {
        rsRT->setBookmark(start);
    } else {
        rsRT->setBookmark(m_pass->lastRow);
        rsRT->moveNext(); // no rule for this route: EOF, as the search would end
    }
    rsRT->find(kRouteName + QStringLiteral(" = '") + line.Makat + QLatin1Char('\''));

    for (const auto &trip : line.Scheds) {
        if (staleOnly && !trip->stopsStale && !trip->stopsFailed)
            continue;
        trip->stopsStale = false;
        trip->stopsFailed = false;
        line.scheduleStale = true;
        if (rsRT->eof())
            continue; // the route has no rule: the trip stays as it is
        const int bookmark = rsRT->bookmark();
        qint16 iStops = 0;
        QString sStTimes;
        const int result = stationData(*trip, *rsRT, m_pass->ctx, iStops, sStTimes);
        rsRT->setBookmark(bookmark); // every trip starts from the route's first rule
        if (result == 0) {
            trip->Stops = iStops == 0 ? qint16(1) : iStops;
            trip->StTimes = sStTimes;
        } else {
            trip->Stops = 1;
            trip->StTimes.clear();
            trip->stopsFailed = true; // its failure is told again next pass
        }
    }
}

RouteTimes::StopTimes RouteTimes::stopTimesOf(const QString &arrivals, const QString &stays)
{
    // "n;arrival;stay" per stop, joined by ";". A missing stay is empty:
    // "0,6,13" with "1,1" gives "1;0;1;2;6;1;3;13;".
    const QList<QStringView> arrival = QStringView(arrivals).split(QLatin1Char(','));
    const QList<QStringView> stay
        = stays.isEmpty() ? QList<QStringView>() : QStringView(stays).split(QLatin1Char(','));
    if (arrival.size() > std::numeric_limits<qint16>::max())
        throw Failure(Failure::Overflow);
    StopTimes out;
    out.stops = qint16(arrival.size());
    out.text.reserve(arrivals.size() + stays.size() + 8 * arrival.size());
    for (qsizetype i = 0; i < arrival.size(); ++i) {
        if (i > 0)
            out.text += QLatin1Char(';');
        out.text += QString::number(i + 1);
        out.text += QLatin1Char(';');
        out.text += arrival.at(i);
        out.text += QLatin1Char(';');
        if (i < stay.size())
            out.text += stay.at(i);
    }
    return out;
}

RouteTimes::StopTimes RouteTimes::stopTimesFor(const QString &arrivals, const QString &stays)
{
    const StopTimesKey key(arrivals, stays);
    if (const auto it = m_stopTimes.constFind(key); it != m_stopTimes.constEnd())
        return *it;
    const auto last = m_lastStopTimes.constFind(key);
    const StopTimes built
        = last != m_lastStopTimes.constEnd() ? *last : stopTimesOf(arrivals, stays);
    m_stopTimes.insert(key, built);
    return built;
}

int RouteTimes::GetStationData(clsSched &oSched, RowSet &rsRT, qint16 &iStops, QString &sStTimes)
{
    PassContext ctx(rsRT);
    return stationData(oSched, rsRT, ctx, iStops, sStTimes);
}

int RouteTimes::stationData(
    clsSched &oSched, RowSet &rsRT, PassContext &ctx, qint16 &iStops, QString &sStTimes)
{
    const auto failure = trapFailure([&] {
        iStops = 0;
        const QDate day = oSched.StartDT.date();
        const QTime time = oSched.StartDT.time();
        // The route of the row the search starts from, as the pass read it.
        const std::optional<QString> &start = ctx.routeOf(ctx.rule(rsRT), rsRT);
        if (!start)
            throw Failure(Failure::InvalidUseOfNull);
        const QString &route = *start;

        PassContext::Rule *match = nullptr;
        while (!rsRT.eof()) {
            PassContext::Rule &r = ctx.rule(rsRT);
            const std::optional<QString> &name = ctx.routeOf(r, rsRT);
            if (!name || *name != route)
                break;
            if (ctx.matches(r, rsRT, day, time)) {
                match = &r;
                break;
            }
            rsRT.moveNext();
        }
        if (!match)
            return;

        oSched.ArrivalStr
            = match->arrival.get([&] { return Convert::toText(rsRT.field(ctx.cArrival)); });
        oSched.StayStr = match->stay.get([&] { return Convert::toText(rsRT.field(ctx.cStay)); });

        const StopTimes &built
            = match->stopTimes.get([&] { return stopTimesFor(oSched.ArrivalStr, oSched.StayStr); });
        iStops = built.stops;
        sStTimes += built.text;
    });
    if (!failure)
        return 0;
    m_log.Err2File(QStringLiteral("GetStationData"),
        QStringLiteral("Called by ProcessScheduleTrigRecs"), failure->number(),
        failure->description(), QStringLiteral("Debug.TXT"));
    return failure->number();
}
