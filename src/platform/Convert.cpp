#include "Convert.h"

#include "DateTime.h"
#include "Failure.h"

#include <QDateTime>
#include <QRegularExpression>

#include <cmath>
#include <limits>

namespace {

double numberOf(const QVariant &value)
{
    if (value.isNull())
        throw Failure(Failure::InvalidUseOfNull);
    if (value.metaType().id() == QMetaType::Bool)
        return value.toBool() ? -1.0 : 0.0;
    if (Convert::isNumberType(value))
        return value.toDouble();
    const QString text = value.toString();
    if (!Convert::isNumeric(text))
        throw Failure(Failure::TypeMismatch);
    bool ok = false;
    const double d = text.trimmed().toDouble(&ok);
    if (!ok)
        throw Failure(Failure::TypeMismatch);
    return d;
}

template <typename T> T roundedInRange(double d)
{
    if (!std::isfinite(d))
        throw Failure(Failure::Overflow);
    const double r = std::nearbyint(d); // the default rounding mode is half to even
    if (r < double(std::numeric_limits<T>::min()) || r > double(std::numeric_limits<T>::max()))
        throw Failure(Failure::Overflow);
    return static_cast<T>(r);
}

} // namespace

qint32 Convert::toLong(const QVariant &value)
{
    return roundedInRange<qint32>(numberOf(value));
}

qint16 Convert::toInteger(const QVariant &value)
{
    return roundedInRange<qint16>(numberOf(value));
}

double Convert::toDouble(const QVariant &value)
{
    return numberOf(value);
}

QString Convert::toText(const QVariant &value)
{
    if (value.isNull())
        throw Failure(Failure::InvalidUseOfNull);
    if (value.metaType().id() == QMetaType::Bool)
        return value.toBool() ? QStringLiteral("True") : QStringLiteral("False");
    if (value.metaType().id() == QMetaType::QDateTime)
        return DateTime::general(value.toDateTime());
    if (value.metaType().id() == QMetaType::Double) {
        // Whole numbers without a fraction, like the classic text conversion.
        const double d = value.toDouble();
        if (std::isfinite(d) && d == std::floor(d) && std::fabs(d) < 1e15)
            return QString::number(qint64(d));
        return QString::number(d, 'g', 15);
    }
    return value.toString();
}

bool Convert::toBool(const QVariant &value)
{
    if (value.isNull())
        throw Failure(Failure::InvalidUseOfNull);
    if (value.metaType().id() == QMetaType::Bool)
        return value.toBool();
    const QString text = value.toString().trimmed();
    if (sameText(text, QStringLiteral("True")))
        return true;
    if (sameText(text, QStringLiteral("False")))
        return false;
    return numberOf(value) != 0.0;
}

bool Convert::isNumeric(const QString &text)
{
    static const QRegularExpression number(
        QStringLiteral(R"(^\s*[-+]?(\d+\.?\d*|\.\d+)([eE][-+]?\d+)?\s*$)"));
    return number.match(text).hasMatch();
}

bool Convert::isNumberType(const QVariant &value)
{
    switch (value.metaType().id()) {
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
    case QMetaType::Long:
    case QMetaType::ULong:
    case QMetaType::Short:
    case QMetaType::UShort:
    case QMetaType::Char:
    case QMetaType::SChar:
    case QMetaType::UChar:
    case QMetaType::Double:
    case QMetaType::Float:
        return true;
    default:
        return false;
    }
}

bool Convert::isNumeric(const QVariant &value)
{
    if (value.isNull())
        return false;
    try {
        numberOf(value);
        return true;
    } catch (const Failure &) {
        return false;
    }
}

bool Convert::sameText(const QString &a, const QString &b)
{
    return a.compare(b, Qt::CaseInsensitive) == 0;
}
