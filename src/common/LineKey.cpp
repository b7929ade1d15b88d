#include "LineKey.h"

#include "platform/Convert.h"
#include "platform/Failure.h"

#include <cmath>

QString LineKey::fromRouteCode(const QVariant &routeCode)
{
    const double d = std::round(Convert::toDouble(routeCode));
    if (!std::isfinite(d))
        throw Failure(Failure::Overflow);
    QString digits = QString::number(std::fabs(d), 'f', 0).rightJustified(6, QLatin1Char('0'));
    if (d < 0)
        digits.prepend(QLatin1Char('-'));
    return digits.left(6);
}

QString LineKey::routeName(const QString &key)
{
    return key.mid(2, 3) + QLatin1Char('0') + key.mid(5, 1) + key.mid(1, 1) + QLatin1Char('0')
        + key.mid(0, 1);
}

QString LineKey::lineText(const QString &key)
{
    QString line = key.mid(2, 3) + QLatin1Char('-') + key.mid(5, 1) + key.mid(1, 1);
    if (line.startsWith(QLatin1Char('0')))
        line.remove(0, 1);
    return line;
}
