#include "status/StatusJson.h"

#include "common/Metrics.h"
#include "common/TrafficTail.h"
#include "status/LogTail.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace {

QJsonValue when(const QDateTime &t)
{
    return t.isValid() ? QJsonValue(t.toOffsetFromUtc(t.offsetFromUtc()).toString(Qt::ISODate))
                       : QJsonValue(QJsonValue::Null);
}

// A wall-clock value from the databases: its date and time as stored, no zone.
QJsonValue wall(const QDateTime &t)
{
    return t.isValid() ? QJsonValue(t.toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss")))
                       : QJsonValue(QJsonValue::Null);
}

QJsonObject session(const StatusSnapshot::Session &s)
{
    return QJsonObject{{QStringLiteral("present"), s.present}, {QStringLiteral("open"), s.open},
        {QStringLiteral("working"), s.working}, {QStringLiteral("summary"), s.summary}};
}

QByteArray compact(const QJsonObject &o)
{
    return QJsonDocument(o).toJson(QJsonDocument::Compact);
}

QJsonObject healthObject(
    const HealthCheck::Result &health, const StatusSnapshot &status, const Metrics &metrics)
{
    QJsonObject o{
        {QStringLiteral("status"), health.ok ? QStringLiteral("ok") : QStringLiteral("fail")},
        {QStringLiteral("version"), status.version},
        {QStringLiteral("summary"), status.liveSummary},
        {QStringLiteral("lastCycleEnd"), when(metrics.lastGoodCycleEnd())},
        {QStringLiteral("lines"), status.lines}, {QStringLiteral("trips"), status.trips}};
    o.insert(QStringLiteral("role"), status.pairRole);
    if (!status.pairName.isEmpty()) {
        o.insert(QStringLiteral("pair"), status.pairName);
        o.insert(QStringLiteral("holder"), status.pairHolder);
        o.insert(QStringLiteral("term"), status.pairTerm);
    }
    if (!health.ok)
        o.insert(QStringLiteral("reasons"), QJsonArray::fromStringList(health.reasons));
    return o;
}

} // namespace

QByteArray StatusJson::health(
    const HealthCheck::Result &health, const StatusSnapshot &status, const Metrics &metrics)
{
    return compact(healthObject(health, status, metrics));
}

QByteArray StatusJson::status(const StatusSnapshot &status, const HealthCheck::Result &health,
    const Metrics &metrics, const LogTail &log, const TrafficTail &traffic, const QDateTime &now)
{
    QJsonArray records;
    const auto entries = log.entries();
    // Newest first, as a person reads a tail.
    for (auto it = entries.crbegin(); it != entries.crend(); ++it) {
        const LogRecord &r = it->record;
        records.append(QJsonObject{{QStringLiteral("at"), when(it->at)},
            {QStringLiteral("severity"), LogRecord::severityWord(r.severity)},
            {QStringLiteral("procedure"), r.procedure}, {QStringLiteral("message"), r.message},
            {QStringLiteral("number"), r.number}, {QStringLiteral("description"), r.description}});
    }
    QJsonArray trafficLines;
    if (traffic.isOn()) {
        for (const TrafficTail::Line &l : traffic.lines())
            trafficLines.append(QJsonObject{{QStringLiteral("at"), when(l.at)},
                {QStringLiteral("direction"),
                    l.direction == TrafficTail::Direction::In ? QStringLiteral("in")
                                                              : QStringLiteral("out")},
                {QStringLiteral("text"), l.text}});
    }
    const QJsonObject o{{QStringLiteral("now"), when(now)},
        {QStringLiteral("version"), status.version}, {QStringLiteral("summary"), status.summary},
        {QStringLiteral("liveSummary"), status.liveSummary},
        {QStringLiteral("statusPanel"), status.statusPanel},
        {QStringLiteral("heartbeat"), status.heartbeat},
        {QStringLiteral("popup"), status.popupText},
        {QStringLiteral("mapLineList"), status.mapLineList},
        {QStringLiteral("health"), healthObject(health, status, metrics)},
        {QStringLiteral("jobs"), session(status.jobs)},
        {QStringLiteral("orvikdb"), session(status.orvikDb)},
        {QStringLiteral("map"),
            QJsonObject{{QStringLiteral("address"), status.mapAddress},
                {QStringLiteral("state"), status.mapState},
                {QStringLiteral("connected"), status.mapConnected},
                {QStringLiteral("loggedIn"), status.mapLoggedIn}}},
        {QStringLiteral("cycle"),
            QJsonObject{{QStringLiteral("started"), status.cycleStarted},
                {QStringLiteral("startStep"), status.startStep},
                {QStringLiteral("intervalSeconds"), status.intervalSeconds},
                {QStringLiteral("timerOn"), status.cycleTimerOn},
                {QStringLiteral("msSinceTick"), double(status.msSinceTick)},
                {QStringLiteral("lastEnd"), when(metrics.lastCycleEnd())},
                {QStringLiteral("lastOk"), metrics.lastCycleOk()},
                {QStringLiteral("lastCompleted"), when(metrics.lastGoodCycleEnd())},
                {QStringLiteral("cycles"), double(metrics.cycles())},
                {QStringLiteral("failures"), double(metrics.cycleFailures())}}},
        {QStringLiteral("lines"), status.lines}, {QStringLiteral("trips"), status.trips},
        {QStringLiteral("log"), records},
        {QStringLiteral("traffic"),
            QJsonObject{
                {QStringLiteral("on"), traffic.isOn()}, {QStringLiteral("lines"), trafficLines}}}};
    return compact(o);
}

QByteArray StatusJson::lines(const QList<LineSummary> &lines)
{
    QJsonArray all;
    for (const LineSummary &l : lines)
        all.append(QJsonObject{{QStringLiteral("key"), l.key}, {QStringLiteral("name"), l.name},
            {QStringLiteral("trips"), l.trips}, {QStringLiteral("firstStart"), wall(l.firstStart)},
            {QStringLiteral("lastStart"), wall(l.lastStart)},
            {QStringLiteral("lastPush"), when(l.lastPush)},
            {QStringLiteral("pending"), l.pending}});
    return compact(QJsonObject{{QStringLiteral("lines"), all}});
}

QByteArray StatusJson::trips(const QString &lineKey, const QList<TripSummary> &trips)
{
    QJsonArray all;
    for (const TripSummary &t : trips)
        all.append(
            QJsonObject{{QStringLiteral("key"), t.key}, {QStringLiteral("vehicle"), t.vehicle},
                {QStringLiteral("driver"), t.driver}, {QStringLiteral("start"), wall(t.start)},
                {QStringLiteral("end"), wall(t.end)}, {QStringLiteral("stops"), t.stops}});
    return compact(QJsonObject{{QStringLiteral("line"), lineKey}, {QStringLiteral("trips"), all}});
}
