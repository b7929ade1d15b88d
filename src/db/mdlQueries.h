#pragma once

#include "platform/RowSet.h"

#include <QDate>
#include <QString>
#include <QVariant>

class Clock;
class ErrorLog;
class MenuMarks;
struct Sessions;
struct StatusRows;

// The job selection's two modes. Both run the full query.
enum class QueryMode { QueryAll, QueryTrigger };

// The job selection of each database cycle and the copy of its rows into
// Scheds.
class mdlQueries
{
public:
    // What one selection gave the cycle.
    struct Selection
    {
        bool failed = false; // a failure or a step without rows ended it; logged here
        RowSet::Ptr rows; // the day's rows, already copied into Scheds; null when none
    };

    // marks: the save-query, database-command and dump requests it carries
    // out. programFolder: where the dumps go.
    mdlQueries(const Sessions &sessions, StatusRows &rows, MenuMarks &marks, const Clock &clock,
        ErrorLog &log, const QString &programFolder);

    // Writes the gateway's health, purges once a calendar day, marks, reads
    // and releases the operational day's jobs in one batch and copies the
    // rows into Scheds; the cycle hands them on to the jobs processing.
    // Always runs the full query: sType reads QueryAll afterwards.
    Selection QueryDB(QueryMode &sType);
    // One insert into Scheds per row, on the second session; stops at the
    // first failing row.
    void InsertScheds(RowSet &rs);

    // The line text of a route code: 10512 -> 51-21, 234561 -> 456-13.
    static QString lineText(const QVariant &makat);

    QDate dLastPurge() const { return m_dLastPurge; }

private:
    const Sessions &m_sessions;
    StatusRows &m_rows;
    MenuMarks &m_marks;
    const Clock &m_clock;
    ErrorLog &m_log;
    QString m_programFolder;
    QDate m_dLastPurge{1899, 12, 30}; // the zero date: the first call purges
};
