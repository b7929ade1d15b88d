#include "RecordsetToFile.h"

#include "common/Ui.h"
#include "platform/CodePage.h"
#include "platform/Convert.h"
#include "platform/Failure.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace {

bool holdsRowSet(const QVariant &value)
{
    return value.metaType() == QMetaType::fromType<RowSet::Ptr>();
}

} // namespace

QString RecordsetToFile::nextTopFolder(const QString &programFolder)
{
    QString path = QDir(programFolder).filePath(QStringLiteral("MultiRS"));
    while (QFileInfo::exists(path))
        path = QDir(path).filePath(QStringLiteral("MultiRS"));
    return path;
}

QString RecordsetToFile::cellText(const QVariant &value)
{
    if (value.isNull())
        return QStringLiteral("Null");
    if (holdsRowSet(value))
        return QStringLiteral("Recordset");
    return Convert::toText(value);
}

void RecordsetToFile::write(const RowSet::Ptr &rs, QString &fileName, qint16 level, qint32 &count,
    const QString &programFolder, Ui *ui)
{
    if (!rs) {
        if (ui)
            ui->msgBox(QStringLiteral("Recordset is Nothing"), Ui::Icon::Critical,
                QStringLiteral("Recordset to File"));
        return;
    }

    QString folder;
    if (fileName.isEmpty()) {
        folder = nextTopFolder(programFolder);
        if (!QDir().mkpath(folder))
            throw Failure(
                75, QStringLiteral("Path/File access error: ") + QDir::toNativeSeparators(folder));
        folder = QDir::toNativeSeparators(folder + QLatin1Char('/'));
        fileName = QStringLiteral("MultiRes.XLS");
    } else {
        // Everything up to the last separator is the folder.
        const int cut = int(
            qMax(fileName.lastIndexOf(QLatin1Char('\\')), fileName.lastIndexOf(QLatin1Char('/'))));
        folder = fileName.left(cut + 1);
        fileName = fileName.mid(cut + 1);
    }

    QFile file(folder + fileName);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append))
        throw Failure(75, QStringLiteral("Path/File access error: ") + file.errorString());
    auto writeLine = [&file](const QString &line) {
        const QByteArray bytes = CodePage::toBytes(line + QStringLiteral("\r\n"));
        if (file.write(bytes) != bytes.size())
            throw Failure(61, QStringLiteral("Disk full: ") + file.errorString());
    };

    writeLine(QStringLiteral("\t"));
    QString header;
    for (int i = 0; i < rs->fieldCount(); ++i)
        header += QLatin1Char('\t') + rs->fieldName(i);
    writeLine(header);

    if (!(rs->bof() && rs->eof()))
        rs->moveFirst();
    while (!rs->eof()) {
        QString line;
        for (int i = 0; i < rs->fieldCount(); ++i) {
            const QVariant value = rs->field(i);
            if (holdsRowSet(value)) {
                ++count;
                QString nested = folder + QStringLiteral("RS")
                    + QStringLiteral("%1").arg(level + 1, 2, 10, QLatin1Char('0'))
                    + QStringLiteral("NO")
                    + QStringLiteral("%1").arg(count, 3, 10, QLatin1Char('0'))
                    + QStringLiteral(".XLS");
                write(value.value<RowSet::Ptr>(), nested, qint16(level + 1), count, programFolder,
                    ui);
            }
            line += QLatin1Char('\t') + cellText(value);
        }
        writeLine(line);
        rs->moveNext();
    }
    file.close();
}
