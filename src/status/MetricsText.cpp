#include "status/MetricsText.h"

#include "common/Histogram.h"
#include "common/Metrics.h"
#include "status/LogTail.h"
#include "status/StatusSnapshot.h"

#include <QLocale>
#include <QString>

#include <cmath>

namespace {

class Writer
{
public:
    void head(const char *name, const char *type, const char *help)
    {
        m_out += QByteArray("# HELP ") + name + ' ' + help + "\n# TYPE " + name + ' ' + type + '\n';
    }
    void sample(const QByteArray &name, double value, const QByteArray &labels = QByteArray())
    {
        m_out += name;
        if (!labels.isEmpty())
            m_out += '{' + labels + '}';
        m_out += ' ' + MetricsText::number(value) + '\n';
    }
    void metric(const char *name, const char *type, const char *help, double value)
    {
        head(name, type, help);
        sample(name, value);
    }
    void histogram(const char *name, const char *help, const Histogram &h)
    {
        head(name, "histogram", help);
        const QByteArray base(name);
        for (int i = 0; i < h.bounds().size(); ++i)
            sample(base + "_bucket", double(h.cumulativeCount(i)),
                "le=\"" + MetricsText::number(h.bounds().at(i)) + '"');
        sample(base + "_bucket", double(h.count()), "le=\"+Inf\"");
        sample(base + "_sum", h.sum());
        sample(base + "_count", double(h.count()));
    }
    QByteArray take() { return std::move(m_out); }

private:
    QByteArray m_out;
};

} // namespace

QByteArray MetricsText::labelValue(const QString &value)
{
    QByteArray out;
    for (const char c : value.toUtf8()) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '"')
            out += "\\\"";
        else if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
    return out;
}

QByteArray MetricsText::number(double value)
{
    if (std::isnan(value))
        return "NaN";
    if (std::isinf(value))
        return value > 0 ? "+Inf" : "-Inf";
    if (value == std::floor(value) && std::fabs(value) < 1e15)
        return QByteArray::number(qint64(value));
    return QString::number(value, 'g', QLocale::FloatingPointShortest).toLatin1();
}

QByteArray MetricsText::render(
    const Metrics &m, const StatusSnapshot &status, const LogTail &log, const QString &version)
{
    Writer w;
    w.head("volmara_build_info", "gauge", "The gateway's version, as a label; always 1.");
    w.sample("volmara_build_info", 1, "version=\"" + labelValue(version) + '"');

    w.metric("volmara_cycles_total", "counter", "Database cycles that ended, completed or failed.",
        double(m.cycles()));
    w.metric("volmara_cycle_failures_total", "counter",
        "Database cycles that ended by their failure exit.", double(m.cycleFailures()));
    w.histogram(
        "volmara_cycle_duration_seconds", "How long database cycles took.", m.cycleDuration());
    w.metric("volmara_last_cycle_end_timestamp_seconds", "gauge",
        "When the last database cycle ended (Unix time); 0 before the first.",
        m.lastCycleEnd().isValid() ? double(m.lastCycleEnd().toMSecsSinceEpoch()) / 1000.0 : 0.0);
    w.metric("volmara_jobs_selected", "gauge", "Job rows the last job selection returned.",
        double(m.lastJobsSelected()));
    w.metric("volmara_scheds_inserted_total", "counter",
        "Job rows copied into the schedules table.", double(m.schedsInsertedTotal()));
    w.metric("volmara_lines", "gauge", "Lines of the operational day held in memory.",
        double(status.lines));
    w.metric("volmara_trips", "gauge", "Trips of those lines.", double(status.trips));
    w.metric("volmara_pushes_total", "counter",
        "Line schedules sent to the map server (pushes of changed lines and answers to requests).",
        double(m.pushes()));
    w.metric("volmara_push_bytes_total", "counter", "Bytes of those line schedules.",
        double(m.pushBytes()));
    if (!status.pairName.isEmpty()) {
        w.metric("volmara_pair_active", "gauge",
            "1 while this gateway holds its standby pair's lease, else 0.",
            status.pairRole == QLatin1String("active") ? 1 : 0);
        w.metric("volmara_pair_term", "gauge", "The term of the lease this gateway holds; 0: none.",
            double(status.pairTerm));
        w.metric("volmara_pair_takeovers_total", "counter", "Times this gateway won the lease.",
            double(status.pairTakeovers));
        w.metric("volmara_pair_fenced_total", "counter",
            "Times the server refused this gateway's writes for a lease it no longer held.",
            double(status.pairFenced));
    }
    w.metric("volmara_map_connected", "gauge",
        "1 while the map connection is up and the server answered our login, else 0.",
        status.mapConnected && status.mapLoggedIn ? 1 : 0);
    w.metric("volmara_map_reconnects_total", "counter",
        "Times the map connection came up again after the first.", double(m.mapReconnects()));
    w.metric("volmara_map_requests_total", "counter",
        "Requests for a line's schedule the map server made.", double(m.mapRequests()));
    w.histogram("volmara_map_answer_seconds",
        "How long answering a map server's request took, from reading it to sending the answer.",
        m.mapAnswer());

    w.head("volmara_db_session_open", "gauge",
        "1 while the database session is open and its connection works, else 0.");
    w.sample("volmara_db_session_open", status.jobs.open && status.jobs.working ? 1 : 0,
        "session=\"jobs\"");
    w.sample("volmara_db_session_open", status.orvikDb.open && status.orvikDb.working ? 1 : 0,
        "session=\"orvikdb\"");
    w.head("volmara_db_reconnects_total", "counter",
        "Times a database session was opened again (after a failure, or on a new data source).");
    for (const Metrics::Session s : {Metrics::Session::Jobs, Metrics::Session::OrvikDb})
        w.sample("volmara_db_reconnects_total", double(m.dbReconnects(s)),
            "session=\"" + Metrics::sessionLabel(s).toUtf8() + '"');

    w.head("volmara_log_records_total", "counter", "Records written to the debug log.");
    for (const auto severity :
        {LogRecord::Severity::Info, LogRecord::Severity::Warning, LogRecord::Severity::Error})
        w.sample("volmara_log_records_total", double(log.count(severity)),
            "severity=\"" + LogRecord::severityWord(severity).toUtf8() + '"');
    return w.take();
}
