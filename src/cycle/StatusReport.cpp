#include "cycle/StatusReport.h"

#include "common/MapProtocol.h"
#include "common/StatusRows.h"
#include "common/Ui.h"
#include "cycle/StatusPanels.h"
#include "diag/ErrorLog.h"
#include "platform/DbSession.h"
#include "platform/MapSocket.h"

#include <QStringList>

StatusReport::StatusReport(const DbStatus &sessions, MapSocket &sckMap, StatusRows &rows,
    StatusPanels &panels, Ui &ui, ErrorLog &log)
    : m_sessions(sessions), m_sckMap(sckMap), m_rows(rows), m_panels(panels), m_ui(ui), m_log(log)
{
}

QString StatusReport::sessionSummary(const QString &name, const DbStatus::Session &session)
{
    QString list;
    if (!session.present) {
        list = QStringLiteral("Nothing");
    } else if (session.state == DbSession::Closed) {
        list = QStringLiteral("Closed");
    } else {
        QStringList words;
        const int state = session.state;
        if (state & DbSession::Connecting)
            words << QStringLiteral("Connecting");
        if (state & DbSession::Executing)
            words << QStringLiteral("Executing");
        if (state & DbSession::Fetching)
            words << QStringLiteral("Fetching");
        if (state & DbSession::Open)
            words << QStringLiteral("Open");
        if (session.connectionStatus != 1)
            words << QStringLiteral("Connection Status not Open");
        list = words.join(QStringLiteral(", "));
    }
    return name + QStringLiteral(" - ") + list;
}

QString StatusReport::summaryText() const
{
    return sessionSummary(QStringLiteral("JOBS"), m_sessions.jobs) + QStringLiteral(", ")
        + sessionSummary(QStringLiteral("ORVIKDB"), m_sessions.orvikDb) + QStringLiteral(", Map - ")
        + MapSocket::stateName(m_sckMap.state());
}

bool StatusReport::Statuses(QString &text)
{
    text.clear();
    const auto failure = m_log.trap(QStringLiteral("Statuses"), [&] {
        const QString summary = summaryText();
        // An empty line on a live connection: a dead one shows up as an error.
        if (m_sckMap.state() == MapSocket::State::Connected)
            m_sckMap.send(MapProtocol::kLineEnd);
        text = summary;
    });
    if (failure)
        text.clear();
    return !failure;
}

bool StatusReport::ShowStatuses()
{
    bool complete = true;
    const auto failure = m_log.trap(QStringLiteral("ShowStatuses"), [&] {
        QString text;
        complete = Statuses(text);
        m_rows.strStatus = text;
        m_panels.setPanelText(QStringLiteral("keyStatus"), text + QStringLiteral("  "));
    });
    return complete && !failure;
}

QString StatusReport::popupFirstLine() const
{
    const DbStatus::Session &jobs = m_sessions.jobs;
    return jobs.present ? QStringLiteral("SQLServer Status - ") + QString::number(jobs.state)
                        : QStringLiteral("SQLServer Status - Nothing");
}

QString StatusReport::popupText() const
{
    return popupFirstLine() + QStringLiteral("\r\n") + QStringLiteral("Map State - ")
        + QString::number(int(m_sckMap.state()));
}

void StatusReport::mnuStatus_Click()
{
    m_log.trap(QStringLiteral("mnuStatus_Click"), [&] {
        const QString first = popupFirstLine();
        const QString mapState = QString::number(int(m_sckMap.state()));
        m_ui.showStatusPopup(popupText());
        m_panels.setPanelText(QStringLiteral("keyStatus"),
            first + QStringLiteral(", Map State - ") + mapState + QStringLiteral("  "));
    });
}
