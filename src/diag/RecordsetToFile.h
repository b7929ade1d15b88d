#pragma once

#include "platform/RowSet.h"

#include <QString>

class Ui;

// Writes a row set to a tab-separated text file a spreadsheet opens directly.
// Fields that hold a row set of their own go to files of their own beside it,
// recursively. Failures reach the caller.
class RecordsetToFile
{
public:
    // rs: may be null ("Recordset is Nothing" is shown through ui, when there
    // is one). fileName: empty for a new "MultiRS" folder under the program
    // folder with "MultiRes.XLS" in it, else the full path to append to; on
    // return the bare file name written. level: the nesting level of rs.
    // count: the running number of nested row sets, shared by all levels.
    static void write(const RowSet::Ptr &rs, QString &fileName, qint16 level, qint32 &count,
        const QString &programFolder, Ui *ui);

    // The folder for the next top-level dump: "MultiRS" under the program
    // folder, nested one level deeper for each one that exists.
    static QString nextTopFolder(const QString &programFolder);
    // The text of one cell.
    static QString cellText(const QVariant &value);
};
