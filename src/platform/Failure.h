#pragma once

#include <QString>

#include <exception>
#include <functional>
#include <optional>

// A numbered run-time failure. The numbers follow the classic run-time
// numbering so that log lines read as operators know them; database failures
// carry the driver's native number and text instead.
class Failure : public std::exception
{
public:
    enum Number : int {
        InvalidCall = 5,
        Overflow = 6,
        OutOfMemory = 7,
        SubscriptOutOfRange = 9,
        TypeMismatch = 13,
        ObjectNotSet = 91,
        InvalidUseOfNull = 94,
        ObjectUnloaded = 364,
        KeyAlreadyUsed = 457,
        BofOrEof = 3021,
        ItemNotFound = 3265,
        WrongProtocolState = 40006,
    };

    Failure(int number, const QString &description);
    // A failure of a classic number with its classic description.
    explicit Failure(int number);

    int number() const { return m_number; }
    const QString &description() const { return m_description; }
    // A database failure's SQLSTATE where the driver gave one ("23505").
    const QString &sqlState() const { return m_sqlState; }
    void setSqlState(const QString &state) { m_sqlState = state; }
    const char *what() const noexcept override { return m_what.constData(); }

    static QString standardDescription(int number);

private:
    int m_number;
    QString m_description;
    QString m_sqlState;
    QByteArray m_what;
};

// Runs body and catches whatever it throws: a Failure as it is, a
// std::exception as failure 5 with its text, anything else as failure 5. The
// caller writes the log record with its own procedure name and takes its own
// failure path; nothing is rethrown.
std::optional<Failure> trapFailure(const std::function<void()> &body);
