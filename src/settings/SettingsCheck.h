#pragma once

#include <QList>
#include <QString>

class Settings;

// Every setting of Volmara.INI the gateway uses, with the value it will use,
// where that came from (the file or the default) and what is wrong with it,
// named by section and key ("[Database] SQLServer is missing"). The checks are
// the ones start-up and the logon dialog apply, so that a headless start can
// say why it will not connect instead of waiting at an invisible dialog.
class SettingsCheck
{
public:
    // The database cycle's interval bounds, in whole seconds.
    static constexpr int kMinIntervalSeconds = 1;
    static constexpr int kMaxIntervalSeconds = 3600;
    static constexpr int kDefaultIntervalSeconds = 15;

    // A standby pair's lease, in whole seconds.
    static constexpr int kMinLeaseSeconds = 5;
    static constexpr int kMaxLeaseSeconds = 300;
    static constexpr int kDefaultLeaseSeconds = 20;

    struct Entry
    {
        QString section;
        QString key;
        QString value; // as the gateway reads it
        bool fromFile = false; // else the default
        QString problem; // empty when the value is usable
        // Whether the gateway can start with it: a wrong interval or switch
        // only falls back to its default, a missing map address stops the start.
        bool blocksStart = false;

        QString name() const; // "[Section] Key"
    };

    static QList<Entry> review(const Settings &settings);
    // The interval the cycle takes from a DBInterval text: rounded, kept to
    // 1 to 3600, 15 for an empty or non-numeric text.
    static int intervalUsed(const QString &text);
    // The lease a [Pair] LeaseSeconds text gives: rounded, kept to 5 to
    // 300, 20 for an empty or non-numeric text.
    static int leaseSecondsUsed(const QString &text);
    // What is odd about the file itself and passed over (a byte order mark);
    // empty when nothing is.
    static QString encodingNote(const Settings &settings);
    // Why the file, though there, cannot be read ("... cannot be read:
    // Permission denied", "... is UTF-16 (little-endian) text ..."); its keys
    // then read their defaults. Empty when it can be read or is not there.
    static QString fileProblem(const Settings &settings);
    // The problems that stop the start, each as "[Section] Key ..." text,
    // after the file's own problem when it has one.
    static QStringList blockingProblems(const Settings &settings);
    // A data source with its password left out ("PWD=***"), for logs and reports.
    static QString withoutPassword(const QString &dataSource);
};
