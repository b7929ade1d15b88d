#include "LogHousekeeping.h"

#include "diag/clsFil.h"
#include "platform/DateTime.h"
#include "platform/ProgramFolder.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <list>

void LogHousekeeping::run(const QString &folder, const QString &fileName)
{
    if (fileName.compare(QLatin1String("ERR*.ERR"), Qt::CaseInsensitive) == 0) {
        pruneEmergencyFiles(folder);
        return;
    }
    const QString name = fileName.isEmpty() ? QStringLiteral("Debug.TXT") : fileName;
    trim(ProgramFolder::join(folder, name));
}

void LogHousekeeping::trim(const QString &path)
{
    const QFileInfo info(path);
    if (!info.exists() || info.size() <= kTrimAbove)
        return;

    QByteArray tail;
    {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly) || !file.seek(info.size() - kKeepBytes))
            return;
        tail = file.read(kKeepBytes);
    }
    if (tail.size() != kKeepBytes)
        return;

    const QString copy = path + QStringLiteral(".DEL");
    QFile::remove(copy); // a copy left by an earlier, interrupted trim
    if (!QFile::rename(path, copy))
        return;
    {
        QFile fresh(path);
        if (fresh.open(QIODevice::WriteOnly))
            fresh.write(tail);
    }
    // The copy goes only when the new file is whole; otherwise it stays, so
    // that nothing is lost. Its part that was cut off becomes the previous
    // file ("Debug.1.TXT"), in place of the older one: an outage's first
    // records are still there after the trim.
    if (QFile::exists(copy) && QFileInfo(path).size() >= kKeepBytes) {
        const QString previous = previousPath(path);
        if (QFile::resize(copy, info.size() - kKeepBytes)) {
            QFile::remove(previous);
            if (QFile::rename(copy, previous))
                return;
        }
        QFile::remove(copy);
    }
}

QString LogHousekeeping::previousPath(const QString &path)
{
    const QFileInfo info(path);
    const QString suffix = info.suffix();
    const QString base = suffix.isEmpty() ? info.fileName() : info.completeBaseName();
    const QString name
        = base + QStringLiteral(".1") + (suffix.isEmpty() ? QString() : QLatin1Char('.') + suffix);
    return QDir::toNativeSeparators(info.dir().filePath(name));
}

QString LogHousekeeping::sortKey(const QString &fullPath, const QDateTime &modified)
{
    const QString padded = fullPath + QStringLiteral("   ");
    QString tail = padded.mid(qMax(0, int(padded.size()) - 9), 5);
    tail.replace(QLatin1Char(' '), QLatin1Char('_'));
    return DateTime::mmddhhnnss(modified) + tail;
}

void LogHousekeeping::pruneEmergencyFiles(const QString &folder)
{
    const QDir dir(folder);
    // Name filters ignore letter case unless told otherwise.
    const QFileInfoList files
        = dir.entryInfoList({QStringLiteral("ERR*.ERR")}, QDir::Files | QDir::Hidden);

    // Ascending by key; an equal key goes after the ones already there.
    std::list<clsFil> ordered;
    for (const QFileInfo &info : files) {
        clsFil fil;
        fil.NM = QDir::toNativeSeparators(info.absoluteFilePath());
        fil.FD = sortKey(fil.NM, info.lastModified());
        auto it = ordered.begin();
        while (it != ordered.end() && it->FD.compare(fil.FD, Qt::CaseInsensitive) <= 0)
            ++it;
        ordered.insert(it, fil);
    }
    while (int(ordered.size()) > kMaxEmergencyFiles) {
        QFile::remove(ordered.front().NM); // a file that vanished meanwhile is fine
        ordered.pop_front();
    }
}
