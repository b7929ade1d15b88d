#include "app/GatewayStatus.h"

#include "app/Gateway.h"
#include "app/Supervisor.h"
#include "common/Version.h"
#include "cycle/DatabaseCycle.h"
#include "cycle/DatabaseThread.h"
#include "cycle/StatusReport.h"
#include "pair/LeaseKeeper.h"
#include "platform/DbSession.h"
#include "platform/MapSocket.h"
#include "settings/SettingsCheck.h"

namespace {

QDateTime setOrInvalid(const QDateTime &t)
{
    return DateTime::isZero(t) ? QDateTime() : t;
}

StatusSnapshot::Session sessionState(const QString &name, const DbStatus::Session &s)
{
    StatusSnapshot::Session r;
    r.summary = StatusReport::sessionSummary(name, s);
    if (!s.present)
        return r;
    r.present = true;
    r.open = s.state & DbSession::Open;
    r.working = r.open && s.connectionStatus == 1;
    return r;
}

} // namespace

GatewayStatus::GatewayStatus(Gateway &gateway) : m_gw(gateway) { }

GatewayStatus::Sessions GatewayStatus::sessionStates() const
{
    const DbStatus &s = m_gw.database().status();
    return Sessions{sessionState(QStringLiteral("JOBS"), s.jobs),
        sessionState(QStringLiteral("ORVIKDB"), s.orvikDb)};
}

StatusSnapshot GatewayStatus::snapshot() const
{
    StatusSnapshot st;
    Gateway &g = m_gw;
    st.version
        = g.statusRows().strVersion.isEmpty() ? Version::plainText() : g.statusRows().strVersion;
    st.summary = g.statusRows().strStatus;
    st.liveSummary = g.statusReport().summaryText();
    st.statusPanel = g.panels().panelText(QStringLiteral("keyStatus")).trimmed();
    st.heartbeat = g.panels().panelText(QStringLiteral("keyAlive")).trimmed();
    st.popupText = g.statusReport().popupText();
    st.mapLineList = g.statusRows().strLinesList;

    const Sessions sessions = sessionStates();
    st.jobs = sessions.jobs;
    st.orvikDb = sessions.orvikDb;

    const MapSocket &sck = g.sckMap();
    st.mapAddress
        = g.mapSettings().strMapIP + QLatin1Char(':') + QString::number(g.mapSettings().iMapPort);
    st.mapState = MapSocket::stateName(sck.state());
    st.mapConnected = sck.state() == MapSocket::State::Connected;
    st.mapLoggedIn = st.mapConnected && g.link().bLoggedIn;

    const DbActivity::Now wait = g.database().activity();
    if (wait.busy && wait.ms >= qint64(DatabaseThread::kStallSeconds) * 1000) {
        st.databaseWait = wait.what;
        st.databaseWaitSeconds = wait.ms / 1000;
    }

    const LeaseKeeper &lease = g.lease();
    st.pairRole = LeaseKeeper::roleName(lease.role());
    st.pairName = lease.config().name;
    st.pairHolder = lease.config().holder;
    st.pairTerm = lease.role() == LeaseKeeper::Role::Active ? lease.term() : 0;
    st.pairTakeovers = lease.takeovers();
    st.pairFenced = lease.fencedCount();
    st.pairTrying = lease.started();

    const DatabaseCycle &cycle = g.cycle();
    st.cycleStarted = cycle.everStarted();
    st.cycleTimerOn = cycle.tmrDB().isActive();
    st.msSinceTick = cycle.msSinceLastTick();
    if (!st.cycleStarted)
        st.startStep = Supervisor::connStepName(g.supervisor().connStep());
    st.intervalSeconds = SettingsCheck::intervalUsed(
        cycle.intervalText().isEmpty() ? cycle.intervalTag() : cycle.intervalText());

    if (const auto *lines = g.day().colLines.get()) {
        st.lines = lines->count();
        for (const auto &line : *lines)
            st.trips += line->Scheds.count();
    }
    return st;
}

QList<LineSummary> GatewayStatus::lines() const
{
    QList<LineSummary> all;
    const auto *lines = m_gw.day().colLines.get();
    if (!lines)
        return all;
    all.reserve(lines->count());
    for (const auto &line : *lines) {
        LineSummary l;
        l.key = line->Idx;
        l.name = line->Makat;
        l.trips = line->Scheds.count();
        for (const auto &sched : line->Scheds) {
            const QDateTime start = setOrInvalid(sched->StartDT);
            if (!start.isValid())
                continue;
            if (!l.firstStart.isValid() || start < l.firstStart)
                l.firstStart = start;
            if (!l.lastStart.isValid() || start > l.lastStart)
                l.lastStart = start;
        }
        l.lastPush = line->dtLastPush;
        l.pending = line->bNew;
        all.append(l);
    }
    return all;
}

std::optional<QList<TripSummary>> GatewayStatus::trips(const QString &lineKey) const
{
    const auto *lines = m_gw.day().colLines.get();
    if (!lines)
        return std::nullopt;
    const auto line = lines->value(lineKey);
    if (!line)
        return std::nullopt;
    QList<TripSummary> all;
    for (const auto &sched : line->Scheds) {
        TripSummary t;
        t.key = sched->Idx;
        t.vehicle = sched->CarNo;
        t.driver = sched->DriverName;
        t.start = setOrInvalid(sched->StartDT);
        t.end = setOrInvalid(sched->EndDT);
        t.stops = sched->Stops;
        all.append(t);
    }
    return all;
}
