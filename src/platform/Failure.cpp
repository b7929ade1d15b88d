#include "Failure.h"

#include <new>

Failure::Failure(int number, const QString &description)
    : m_number(number), m_description(description), m_what(description.toUtf8())
{
}

Failure::Failure(int number) : Failure(number, standardDescription(number)) { }

QString Failure::standardDescription(int number)
{
    switch (number) {
    case InvalidCall:
        return QStringLiteral("Invalid procedure call or argument");
    case Overflow:
        return QStringLiteral("Overflow");
    case OutOfMemory:
        return QStringLiteral("Out of memory");
    case SubscriptOutOfRange:
        return QStringLiteral("Subscript out of range");
    case TypeMismatch:
        return QStringLiteral("Type mismatch");
    case ObjectNotSet:
        return QStringLiteral("Object variable or With block variable not set");
    case InvalidUseOfNull:
        return QStringLiteral("Invalid use of Null");
    case ObjectUnloaded:
        return QStringLiteral("Object was unloaded");
    case KeyAlreadyUsed:
        return QStringLiteral("This key is already associated with an element of this collection");
    case BofOrEof:
        return QStringLiteral("Either BOF or EOF is True, or the current record has been deleted. "
                              "Requested operation requires a current record.");
    case ItemNotFound:
        return QStringLiteral("Item cannot be found in the collection corresponding to the "
                              "requested name or ordinal.");
    case WrongProtocolState:
        return QStringLiteral("Wrong protocol or connection state for the requested transaction "
                              "or request");
    default:
        return QStringLiteral("Application-defined or object-defined error");
    }
}

std::optional<Failure> trapFailure(const std::function<void()> &body)
{
    try {
        body();
    } catch (const Failure &f) {
        return f;
    } catch (const std::bad_alloc &) {
        return Failure(Failure::OutOfMemory);
    } catch (const std::exception &e) {
        return Failure(Failure::InvalidCall, QString::fromLocal8Bit(e.what()));
    } catch (...) {
        return Failure(Failure::InvalidCall);
    }
    return std::nullopt;
}
