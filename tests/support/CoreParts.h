#pragma once

#include "TestSupport.h"

#include "common/MapSettings.h"
#include "common/MenuMarks.h"
#include "common/Sessions.h"
#include "common/StatusRows.h"
#include "common/WindowTable.h"
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
