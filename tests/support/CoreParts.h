#pragma once

#include "TestSupport.h"

#include "common/MapSettings.h"
#include "common/MenuMarks.h"
#include "common/Sessions.h"
#include "common/StatusRows.h"
#include "common/WindowTable.h"
#include "db/EmbeddedSchema.h"
#include "db/SqlConnect.h"
#include "diag/ErrorLog.h"
#include "maplink/LinkState.h"
#include "model/DayModel.h"
#include "platform/Clock.h"
#include "settings/Settings.h"

#include <QString>
#include <QStringList>

// What a part of the core is made from, without the rest of the gateway: a
// program folder for the files it writes, a settable clock, the log, the
// settings file, the shared state objects and a scripted operator. A test
// makes the one part it is about from these.
struct CoreParts
{
    TempHome home;
    Clock clock;
    ErrorLog log{home.path(), clock};
    Settings settings{home.path()};
    FakeUi ui;
    MapSettings map;
    Sessions sessions;
    WindowTable windows;
    StatusRows rows;
    LinkState link;
    DayModel day;
    MenuMarks marks;

    QString debugLog() const { return home.lines(QStringLiteral("Debug.TXT")).join('\n'); }
};

// The session opener over fresh embedded files in the program folder's "db",
// the jobs session pointed at them (not opened yet).
struct EmbeddedDbParts : CoreParts
{
    QString db = home.file(QStringLiteral("db"));
    SqlConnect connect{settings, sessions, clock, log};

    explicit EmbeddedDbParts(const QString &source)
    {
        EmbeddedSchema::create(db);
        sessions.strSQLServer = source;
        sessions.strCatalog = QStringLiteral("ORVIK_Jobs");
    }
};
