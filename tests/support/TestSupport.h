#pragma once

#include "common/Ui.h"
#include "diag/ErrorLog.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <functional>
#include <optional>

// A scripted operator: records every message, question and window action the
// core asks for, and answers questions from a queue (Yes when it is empty,
// unless told otherwise).
class FakeUi : public Ui
{
public:
    struct Message
    {
        QString text;
        Icon icon;
        QString title;
    };

    void msgBox(const QString &text, Icon icon, const QString &title) override;
    bool askYesNo(const QString &text, Icon icon, const QString &title) override;
    void showMainWindow() override { calls << QStringLiteral("showMainWindow"); }
    bool mainWindowMinimized() const override { return minimized; }
    void layoutMainWindow() override { calls << QStringLiteral("layoutMainWindow"); }
    void loadLogOn() override;
    void unloadLogOn() override;
    void reOrderLogOn(LogOnLayout layout) override
    {
        calls << QStringLiteral("reOrderLogOn:") + layoutName(layout);
    }
    void showTrafficWindow() override { calls << QStringLiteral("showTrafficWindow"); }
    void showStatusPopup(const QString &text) override
    {
        calls << QStringLiteral("showStatusPopup:") + text;
    }
    void saveTrafficWindow() override { calls << QStringLiteral("saveTrafficWindow"); }
    void clearTrafficWindow() override { calls << QStringLiteral("clearTrafficWindow"); }
    void resizeTrafficWindow() override { calls << QStringLiteral("resizeTrafficWindow"); }

    int count(const QString &call) const { return int(calls.count(call)); }

    QList<Message> messages;
    QStringList questions;
    QList<bool> answers; // next answers to askYesNo
    bool defaultAnswer = true;
    bool minimized = false;
    QStringList calls;
    std::function<void()> onLoadLogOn; // what "loading the logon dialog" does
    std::function<void()> onUnloadLogOn;
};

// Every debug record the log hands its sink, with its severity.
class RecordingSink : public ErrorLog::Sink
{
public:
    void record(const LogRecord &record, const QDateTime &) override { records << record; }
    void flush(const QDateTime &, bool) override { }
    void endRepeats(const QString &, const QDateTime &) override { }
    // The severity of the first record whose message holds the text.
    std::optional<LogRecord::Severity> severityOf(const QString &text) const
    {
        for (const LogRecord &r : records) {
            if (r.message.contains(text))
                return r.severity;
        }
        return std::nullopt;
    }

    QList<LogRecord> records;
};

// A program folder in a temporary directory, with helpers to read its files.
class TempHome
{
public:
    TempHome();
    QString path() const { return m_dir.path(); }
    QString file(const QString &name) const;
    QByteArray read(const QString &name) const;
    QStringList lines(const QString &name) const; // CRLF-split, code-page text
    void write(const QString &name, const QByteArray &bytes) const;
    bool exists(const QString &name) const;

private:
    QTemporaryDir m_dir;
};

// The process's local time zone set to a named one (TZ) for one scope, and
// what it was put back afterwards.
class LocalZone
{
public:
    explicit LocalZone(const QByteArray &zone);
    ~LocalZone();
    LocalZone(const LocalZone &) = delete;
    LocalZone &operator=(const LocalZone &) = delete;

private:
    bool m_had;
    QByteArray m_saved;
};
