#include "DateTime.h"

#include "Failure.h"

namespace {

// A calendar date and clock time, held without a time zone (UTC stands for
// "none"): no local-time rule can make it invalid or move it.
QDateTime wallClock(const QDate &d, const QTime &t)
{
    return QDateTime(d, t, Qt::UTC);
}

qint64 wholeSeconds(const QDateTime &dt)
{
    return dt.date().toJulianDay() * 86400 + dt.time().msecsSinceStartOfDay() / 1000;
}

// The digits at [from, from + n), or -1 when any is not a digit.
int digitsAt(const QString &text, int from, int n)
{
    int value = 0;
    for (int i = from; i < from + n; ++i) {
        const char16_t c = text.at(i).unicode();
        if (c < u'0' || c > u'9')
            return -1;
        value = value * 10 + (c - u'0');
    }
    return value;
}

// value (not negative) as `digits` decimal digits with leading zeros at out.
void putDigits(char16_t *out, int value, int digits)
{
    for (int i = digits - 1; i >= 0; --i, value /= 10)
        out[i] = char16_t(u'0' + value % 10);
}

// The stored forms "yyyy-MM-dd HH:mm:ss", "yyyy-MM-dd" and "HH:mm:ss", read
// without the general parser, which consults the time zone for every field
// it tries; anything else, or an invalid value, is left to the general parser.
QDateTime parseStoredForm(const QString &text)
{
    auto date = [&](int at) {
        if (text.at(at + 4) != u'-' || text.at(at + 7) != u'-')
            return QDate();
        const int y = digitsAt(text, at, 4), m = digitsAt(text, at + 5, 2),
                  d = digitsAt(text, at + 8, 2);
        return y < 0 || m < 0 || d < 0 ? QDate() : QDate(y, m, d);
    };
    auto time = [&](int at) {
        if (text.at(at + 2) != u':' || text.at(at + 5) != u':')
            return QTime();
        const int h = digitsAt(text, at, 2), m = digitsAt(text, at + 3, 2),
                  s = digitsAt(text, at + 6, 2);
        return h < 0 || m < 0 || s < 0 ? QTime() : QTime(h, m, s);
    };
    if (text.size() == 19 && text.at(10) == u' ') {
        const QDate d = date(0);
        const QTime t = time(11);
        if (d.isValid() && t.isValid())
            return wallClock(d, t);
    } else if (text.size() == 10) {
        const QDate d = date(0);
        if (d.isValid())
            return wallClock(d, QTime(0, 0));
    } else if (text.size() == 8) {
        const QTime t = time(0);
        if (t.isValid())
            return wallClock(DateTime::zero().date(), t);
    }
    return {};
}

QDateTime parseText(const QString &raw)
{
    const QString text = raw.trimmed();
    const QDateTime stored = parseStoredForm(text);
    if (stored.isValid())
        return stored;
    // Date and time are read apart: the date-time parser reads them as local
    // time, where the hour skipped in spring does not exist.
    struct Form
    {
        const char *date;
        int dateLength;
        char16_t separator;
        const char *time;
    };
    static const Form kForms[] = {
        {"yyyy-MM-dd", 10, u' ', "HH:mm:ss.zzz"},
        {"yyyy-MM-dd", 10, u' ', "HH:mm:ss"},
        {"yyyy-MM-dd", 10, u'T', "HH:mm:ss.zzz"},
        {"yyyy-MM-dd", 10, u'T', "HH:mm:ss"},
        {"yyyy-MM-dd", 10, u' ', "HH:mm"},
        {"yyyyMMdd", 8, u' ', "HH:mm:ss"},
    };
    for (const Form &form : kForms) {
        if (text.size() <= form.dateLength || text.at(form.dateLength) != form.separator)
            continue;
        const QDate d = QDate::fromString(text.left(form.dateLength), QLatin1String(form.date));
        const QTime t = QTime::fromString(text.mid(form.dateLength + 1), QLatin1String(form.time));
        if (d.isValid() && t.isValid())
            return wallClock(d, t);
    }
    for (const char *format : {"yyyy-MM-dd", "yyyyMMdd"}) {
        const QDate d = QDate::fromString(text, QLatin1String(format));
        if (d.isValid())
            return wallClock(d, QTime(0, 0));
    }
    for (const char *format : {"HH:mm:ss.zzz", "HH:mm:ss", "HH:mm", "H:mm:ss", "H:mm"}) {
        const QTime t = QTime::fromString(text, QLatin1String(format));
        if (t.isValid())
            return wallClock(DateTime::zero().date(), t);
    }
    return {};
}

} // namespace

QDateTime DateTime::zero()
{
    // Built once: every local date-time built costs a time-zone lookup, and
    // each record starts with several of these.
    static const QDateTime kZero(QDate(1899, 12, 30), QTime(0, 0));
    return kZero;
}

bool DateTime::isZero(const QDateTime &dt)
{
    return !dt.isValid() || (dt.date() == QDate(1899, 12, 30) && dt.time() == QTime(0, 0));
}

qint64 DateTime::secondsBetween(const QDateTime &from, const QDateTime &to)
{
    return wholeSeconds(to) - wholeSeconds(from);
}

qint64 DateTime::minutesBetween(const QDateTime &from, const QDateTime &to)
{
    auto minuteIndex = [](const QDateTime &dt) {
        return dt.date().toJulianDay() * 1440 + dt.time().msecsSinceStartOfDay() / 60000;
    };
    return minuteIndex(to) - minuteIndex(from);
}

QString DateTime::hhnn(const QDateTime &dt)
{
    // Written out by hand: every trip of every message has two of these,
    // and the general formatter cost more than the rest of the message.
    const QTime t = dt.time();
    if (!t.isValid())
        return QString();
    char16_t text[5] = {0, 0, u':', 0, 0};
    putDigits(text, t.hour(), 2);
    putDigits(text + 3, t.minute(), 2);
    return QString(reinterpret_cast<const QChar *>(text), 5);
}

QString DateTime::stored(const QDateTime &dt)
{
    if (!dt.isValid())
        return QString();
    const QDate d = dt.date();
    if (d.year() < 0 || d.year() > 9999) // not four digits: the general form
        return dt.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    // By hand, as hhnn: two per stored job row.
    const QTime t = dt.time();
    char16_t text[19] = {0, 0, 0, 0, u'-', 0, 0, u'-', 0, 0, u' ', 0, 0, u':', 0, 0, u':', 0, 0};
    putDigits(text, d.year(), 4);
    putDigits(text + 5, d.month(), 2);
    putDigits(text + 8, d.day(), 2);
    putDigits(text + 11, t.hour(), 2);
    putDigits(text + 14, t.minute(), 2);
    putDigits(text + 17, t.second(), 2);
    return QString(reinterpret_cast<const QChar *>(text), 19);
}

QString DateTime::yyyymmddHhnnss(const QDateTime &dt)
{
    return dt.toString(QStringLiteral("yyyyMMdd HH:mm:ss"));
}

QString DateTime::yyyymmdd(const QDate &d)
{
    return d.toString(QStringLiteral("yyyyMMdd"));
}

QString DateTime::mmddhhnnss(const QDateTime &dt)
{
    return dt.toString(QStringLiteral("MMddHHmmss"));
}

QString DateTime::general(const QDateTime &dt)
{
    return dt.toString(QStringLiteral("dd/MM/yyyy HH:mm:ss"));
}

bool DateTime::tryFromVariant(const QVariant &value, QDateTime *out)
{
    if (value.isNull())
        return false;
    QDateTime dt;
    switch (value.metaType().id()) {
    case QMetaType::QDateTime: {
        // What a driver hands over is its calendar and clock values, whatever
        // zone it put on them.
        const QDateTime given = value.toDateTime();
        if (given.isValid())
            dt = wallClock(given.date(), given.time());
        break;
    }
    case QMetaType::QDate:
        dt = wallClock(value.toDate(), QTime(0, 0));
        break;
    case QMetaType::QTime:
        dt = wallClock(zero().date(), value.toTime());
        break;
    case QMetaType::QString:
    case QMetaType::QByteArray:
        dt = parseText(value.toString());
        break;
    default:
        break;
    }
    if (!dt.isValid())
        return false;
    // Whole seconds: the stored value's resolution.
    dt.setTime(QTime(dt.time().hour(), dt.time().minute(), dt.time().second()));
    *out = dt;
    return true;
}

QDateTime DateTime::fromVariant(const QVariant &value)
{
    if (value.isNull())
        throw Failure(Failure::InvalidUseOfNull);
    QDateTime dt;
    if (!tryFromVariant(value, &dt))
        throw Failure(Failure::TypeMismatch);
    return dt;
}

QDate DateTime::operationalDay(const QDateTime &moment)
{
    return moment.time() < dayStartsAt() ? moment.date().addDays(-1) : moment.date();
}

QDateTime DateTime::operationalDayStart(const QDateTime &moment)
{
    return QDateTime(operationalDay(moment), dayStartsAt());
}
