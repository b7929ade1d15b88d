#pragma once

#include <QDate>
#include <QString>
#include <QVariant>

class Gateway;
class RowSet;

// The job selection of each database cycle and the copy of its rows into
// Scheds.
class mdlQueries
{
public:
    explicit mdlQueries(Gateway &gateway);

    // Writes the gateway's health, purges once a calendar day, marks, reads
    // and releases the operational day's jobs in one batch and hands the rows
    // to InsertScheds and then to the jobs processing. Always runs the full
    // query: sType reads "QueryAll" afterwards.
    void QueryDB(QString &sType);
    // One insert into Scheds per row, on the second session; stops at the
    // first failing row.
    void InsertScheds(RowSet &rs);

    // The line text of a route code: 10512 -> 51-21, 234561 -> 456-13.
    static QString lineText(const QVariant &makat);

    QDate dLastPurge() const { return m_dLastPurge; }

private:
    Gateway &m_gw;
    QDate m_dLastPurge{1899, 12, 30}; // the zero date: the first call purges
};
