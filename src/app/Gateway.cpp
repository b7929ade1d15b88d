#include "Gateway.h"

#include "AppLifecycle.h"
#include "DatabaseCycle.h"
#include "MainCommands.h"
#include "MenuMarks.h"
#include "Supervisor.h"
#include "Ui.h"
#include "db/SqlConnect.h"
#include "db/mdlQueries.h"
#include "diag/ErrorLog.h"
#include "maplink/InboundCommands.h"
#include "maplink/MapLink.h"
#include "model/JobsProcessor.h"
#include "model/mdlSendScheds.h"
#include "platform/Clock.h"
#include "platform/Failure.h"
#include "platform/MapSocket.h"
#include "settings/Settings.h"

Gateway::Gateway(const QString &programFolder, QObject *parent)
    : QObject(parent),
      m_folder(programFolder),
      m_clock(std::make_unique<Clock>()),
      m_log(std::make_unique<ErrorLog>(programFolder, *m_clock)),
      m_settings(std::make_unique<Settings>(programFolder)),
      m_marks(new MenuMarks(this)),
      m_sckMap(new MapSocket(this))
{
    // Both timers start switched off: the task timer ticks every 200 ms once
    // enabled, the database timer gets its interval when the cycle starts.
    m_tmrTasks.setInterval(200);
    m_tmrDB.setInterval(100);

    m_lifecycle = std::make_unique<AppLifecycle>(*this);
    m_supervisor = std::make_unique<Supervisor>(*this);
    m_commands = std::make_unique<MainCommands>(*this);
    m_cycle = std::make_unique<DatabaseCycle>(*this);
    connect(&m_tmrDB, &QTimer::timeout, this, [this] { m_cycle->tmrDB_Timer(); });
    m_jobsProcessor = std::make_unique<JobsProcessor>(*this);
    setScheduleProcessor([this](RowSet &rs) { m_jobsProcessor->ProcessScheduleTrigRecs(rs); });
    m_sqlConnect = std::make_unique<SqlConnect>(*this);
    m_queries = std::make_unique<mdlQueries>(*this);
    connect(&m_tmrTasks, &QTimer::timeout, this, [this] { m_supervisor->tmrTasks_Timer(); });
    m_mapLink = std::make_unique<MapLink>(*this);
    m_inbound = std::make_unique<InboundCommands>(*this);
    m_sendScheds = std::make_unique<mdlSendScheds>(*this);
    connect(m_sckMap, &MapSocket::connected, this, [this] { m_mapLink->sckmap_Connect(); });
    connect(m_sckMap, &MapSocket::dataArrival, this,
        [this](qint64 n) { m_mapLink->sckmap_DataArrival(n); });
    connect(m_sckMap, &MapSocket::error, this,
        [this](int number, const QString &text) { m_mapLink->sckmap_Error(number, text); });
}

Gateway::~Gateway() = default;

Ui &Gateway::ui()
{
    if (!m_ui)
        throw Failure(Failure::ObjectNotSet);
    return *m_ui;
}

void Gateway::enableTimer(QTimer &timer)
{
    if (!timer.isActive())
        timer.start();
}

void Gateway::setPanelText(const QString &key, const QString &text)
{
    m_panels.insert(key, text);
    Q_EMIT panelTextChanged(key, text);
}

void Gateway::setIntervalText(const QString &text)
{
    // Signalled even when unchanged: a refused entry puts the last accepted
    // value back into a box that shows something else.
    m_intervalText = text;
    Q_EMIT intervalTextChanged(text);
}
