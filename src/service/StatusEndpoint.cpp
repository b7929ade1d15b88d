#include "service/StatusEndpoint.h"

#include "diag/ErrorLog.h"
#include "settings/Settings.h"
#include "status/StatusServer.h"

namespace {

const QString kProcedure = QStringLiteral("StatusServer");
const QString kMisc = QStringLiteral("Misc");

} // namespace

StatusEndpoint::StatusEndpoint(Parts parts, const Settings &settings, const Clock &clock,
    ErrorLog &log, QString optionListen, GuardedTcpServer::Limits limits)
    : m_parts(parts),
      m_settings(settings),
      m_clock(clock),
      m_log(log),
      m_option(std::move(optionListen)),
      m_limits(limits)
{
}

StatusEndpoint::~StatusEndpoint() = default;

bool StatusEndpoint::isListening() const
{
    return m_server && m_server->isListening();
}

quint16 StatusEndpoint::port() const
{
    return m_server ? m_server->port() : 0;
}

StatusEndpoint::Wanted StatusEndpoint::wanted() const
{
    Wanted w;
    w.token = m_settings.ReadINI(kMisc, QStringLiteral("StatusToken"), QString());
    const QString text = m_option.isEmpty()
        ? m_settings.ReadINI(kMisc, QStringLiteral("StatusListen"), QString())
        : m_option;
    w.origin = m_option.isEmpty() ? QStringLiteral("[Misc] StatusListen")
                                  : QStringLiteral("--status-listen");
    if (text.isEmpty())
        return w;
    QString why;
    w.where = ListenAddress::parse(text, &why);
    if (!w.where) {
        w.refusal = w.origin + QStringLiteral(": ") + why;
    } else if (!w.where->isLoopback() && w.token.isEmpty()) {
        w.refusal = w.origin + QStringLiteral(" = ") + text
            + QStringLiteral(" reaches beyond this machine; it is served only with [Misc] "
                             "StatusToken set");
        w.where.reset();
    }
    return w;
}

QString StatusEndpoint::apply()
{
    const Wanted w = wanted();
    if (!w.refusal.isEmpty()) {
        // Said once, not at every reload that finds it unchanged.
        if (w.refusal != m_lastRefusal)
            m_log.Err2File(kProcedure, w.refusal + QStringLiteral(": the status server is off"), 0,
                QString(), QStringLiteral("Debug.TXT"), LogRecord::Severity::Error);
        m_lastRefusal = w.refusal;
    } else {
        m_lastRefusal.clear();
    }
    if (w.where == m_address && w.token == m_token && (isListening() || !m_address))
        return QString();

    const QString before = m_address ? m_address->toString() : QStringLiteral("off");
    m_server.reset();
    m_address.reset();
    m_token = w.token;
    if (!w.where) {
        if (before != QLatin1String("off"))
            m_log.logMessage(kProcedure, QStringLiteral("Status server at %1 stopped").arg(before));
        return before == QLatin1String("off")
            ? QString()
            : QStringLiteral("status server %1 -> off").arg(before);
    }
    auto server = std::make_unique<StatusServer>(
        m_parts.source, m_parts.metrics, m_parts.log, m_parts.traffic, m_clock);
    QString error;
    if (!server->listen(*w.where, w.token, m_limits, &error)) {
        m_log.Err2File(kProcedure,
            QStringLiteral("The status server cannot listen on %1 (%2): %3")
                .arg(w.where->toString(), w.origin, error),
            0, QString(), QStringLiteral("Debug.TXT"), LogRecord::Severity::Error);
        return QStringLiteral("status server %1 -> %2 failed").arg(before, w.where->toString());
    }
    m_server = std::move(server);
    m_address = w.where;
    const QString now = m_address->toString();
    m_log.logMessage(kProcedure,
        QStringLiteral("Status page, /healthz and /metrics at http://%1/ (%2%3)")
            .arg(now, w.origin,
                w.token.isEmpty() ? QString() : QStringLiteral(", bearer token required")));
    return before == now ? QStringLiteral("status server token changed")
                         : QStringLiteral("status server %1 -> %2").arg(before, now);
}
