#include "RowSet.h"

#include "Convert.h"
#include "Failure.h"

#include <QDateTime>
#include <QHash>
#include <QScopeGuard>

#include <algorithm>
#include <cstring>
#include <numeric>
#include <vector>

namespace {

// What comparing a value needs of it, read once: a day's rows are sorted on
// every cycle, and converting both sides at every comparison cost more than
// the sort.
struct SortKey
{
    explicit SortKey(const QVariant &v)
        : null(v.isNull()), numberType(!null && Convert::isNumberType(v))
    {
        if (!null)
            number = v.toDouble(&numeric);
    }

    double number = 0;
    bool null;
    bool numberType;
    bool numeric = false; // converts to a number
};

// Nulls first; numbers as numbers when either side is one and both convert;
// date-times as date-times; anything else as text without regard to case.
int compareValues(const QVariant &a, const SortKey &ka, const QVariant &b, const SortKey &kb)
{
    if (ka.null || kb.null)
        return ka.null == kb.null ? 0 : (ka.null ? -1 : 1);
    if ((ka.numberType || kb.numberType) && ka.numeric && kb.numeric)
        return ka.number < kb.number ? -1 : (ka.number > kb.number ? 1 : 0);
    if (a.metaType().id() == QMetaType::QDateTime && b.metaType().id() == QMetaType::QDateTime) {
        const auto da = a.toDateTime(), db = b.toDateTime();
        return da < db ? -1 : (da > db ? 1 : 0);
    }
    return a.toString().compare(b.toString(), Qt::CaseInsensitive);
}

int compareValues(const QVariant &a, const QVariant &b)
{
    return compareValues(a, SortKey(a), b, SortKey(b));
}

} // namespace

RowSet::RowSet() = default;

RowSet::RowSet(const QStringList &fieldNames, QVector<Row> rows)
    : m_state(Open), m_names(fieldNames), m_rows(std::move(rows))
{
}

bool RowSet::bof() const
{
    return m_rows.isEmpty();
}

bool RowSet::eof() const
{
    return m_pos >= m_rows.size();
}

void RowSet::moveFirst()
{
    if (m_rows.isEmpty())
        throw Failure(Failure::BofOrEof);
    m_pos = 0;
}

void RowSet::moveNext()
{
    if (eof())
        throw Failure(Failure::BofOrEof);
    ++m_pos;
}

QString RowSet::fieldName(int index) const
{
    if (index < 0 || index >= m_names.size())
        throw Failure(Failure::ItemNotFound);
    return m_names.at(index);
}

int RowSet::fieldIndex(const QString &name) const
{
    for (int i = 0; i < m_names.size(); ++i) {
        if (m_names.at(i).compare(name, Qt::CaseInsensitive) == 0)
            return i;
    }
    return -1;
}

void RowSet::requireCurrent() const
{
    if (m_state == Closed)
        throw Failure(Failure::ObjectNotSet,
            QStringLiteral("Operation is not allowed when the object is closed."));
    if (eof())
        throw Failure(Failure::BofOrEof);
}

QVariant RowSet::field(const QString &name) const
{
    const int index = fieldIndex(name);
    if (index < 0)
        throw Failure(Failure::ItemNotFound);
    return field(index);
}

QVariant RowSet::field(int index) const
{
    return value(index);
}

// For each word a bijection of the state, and for each state one of the
// word, so values that differ in one word never print alike; the multiply
// and the shift carry every bit into the steps after. (Qt's own string hash
// was a third of the cost of reading a day's rows.)
quint64 RowSet::printStep(quint64 h, quint64 word)
{
    h = (h ^ word) * 0x9E3779B97F4A7C15ULL;
    return h ^ (h >> 29);
}

quint64 RowSet::printBytes(quint64 h, const void *data, size_t size)
{
    const auto *p = static_cast<const uchar *>(data);
    h = printStep(h, size);
    for (; size >= 8; p += 8, size -= 8) {
        quint64 word;
        std::memcpy(&word, p, 8);
        h = printStep(h, word);
    }
    if (size > 0) {
        quint64 word = 0;
        std::memcpy(&word, p, size);
        h = printStep(h, word);
    }
    return h;
}

size_t RowSet::printOf(const QVariant &v, size_t seed)
{
    const int type = v.metaType().id();
    const quint64 h = printStep(seed, quint64(type) << 1 | quint64(v.isNull()));
    switch (type) {
    case QMetaType::QString: {
        const QString &text = *static_cast<const QString *>(v.constData());
        return printBytes(h, text.constData(), size_t(text.size()) * sizeof(QChar));
    }
    case QMetaType::QByteArray: {
        const QByteArray &bytes = *static_cast<const QByteArray *>(v.constData());
        return printBytes(h, bytes.constData(), size_t(bytes.size()));
    }
    case QMetaType::LongLong:
        return printStep(h, quint64(*static_cast<const qlonglong *>(v.constData())));
    case QMetaType::Int:
        return printStep(h, quint64(qint64(*static_cast<const int *>(v.constData()))));
    case QMetaType::Double: {
        quint64 bits;
        std::memcpy(&bits, v.constData(), sizeof bits);
        return printStep(h, bits);
    }
    case QMetaType::QDateTime: {
        // A server's date-time column; its zone as given counts too.
        const QDateTime &dt = *static_cast<const QDateTime *>(v.constData());
        return printStep(printStep(printStep(h, quint64(dt.date().toJulianDay())),
                             quint64(dt.time().msecsSinceStartOfDay())),
            quint64(dt.timeSpec()));
    }
    default: {
        const QString text = v.toString();
        return printBytes(h, text.constData(), size_t(text.size()) * sizeof(QChar));
    }
    }
}

const QVariant &RowSet::value(int index) const
{
    static const QVariant kNull; // a short row's missing values
    if (index < 0 || index >= m_names.size())
        throw Failure(Failure::ItemNotFound);
    requireCurrent();
    const Row &row = m_rows.at(m_pos);
    return index < row.size() ? row.at(index) : kNull;
}

void RowSet::keepPrints(const QVector<int> &indexes)
{
    if (m_printIndexes == indexes && m_prints.size() == m_rows.size() && !m_rows.isEmpty())
        return;
    m_prints.clear();
    m_printIndexes.clear();
    m_printMask = 0;
    for (const int index : indexes) {
        if (index < 0 || index >= m_names.size())
            throw Failure(Failure::ItemNotFound);
    }
    // The rows read straight, as rowPrint reads the current one: every row
    // of a day passes here on every cycle.
    static const QVariant kNull; // a short row's missing values
    QVector<quint64> prints;
    prints.reserve(m_rows.size());
    for (const Row &row : std::as_const(m_rows)) {
        size_t seed = 0x5EED;
        for (const int index : indexes)
            seed = printOf(index < row.size() ? row.at(index) : kNull, seed);
        prints.append(quint64(seed) | 1);
    }
    m_prints = std::move(prints);
    m_printIndexes = indexes;
    const quint64 mask = maskOf(indexes);
    m_printMask = mask == ~quint64(0) ? 0 : mask;
}

void RowSet::setSort(const QString &criteria)
{
    // Sorted once where the rows were read; the same order again is free.
    if (!criteria.isEmpty() && criteria == m_sortedBy) {
        m_pos = 0;
        return;
    }
    struct Key
    {
        int index;
        bool descending;
    };
    QVector<Key> keys;
    for (const QString &part : criteria.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        const QStringList words = part.simplified().split(QLatin1Char(' '));
        if (words.isEmpty() || words.first().isEmpty())
            continue;
        const int index = fieldIndex(words.first());
        if (index < 0)
            throw Failure(Failure::ItemNotFound);
        const bool desc
            = words.size() > 1 && Convert::sameText(words.at(1), QStringLiteral("DESC"));
        keys.append({index, desc});
    }
    const qsizetype rowCount = m_rows.size();
    const qsizetype keyCount = keys.size();
    static const QVariant kNull; // a short row's missing values
    auto valueAt = [&](qsizetype r, qsizetype k) -> const QVariant & {
        const Row &row = m_rows.at(r);
        const int index = keys.at(k).index;
        return index < row.size() ? row.at(index) : kNull;
    };
    std::vector<SortKey> prepared;
    prepared.reserve(size_t(rowCount * keyCount));
    for (qsizetype r = 0; r < rowCount; ++r) {
        for (qsizetype k = 0; k < keyCount; ++k)
            prepared.emplace_back(valueAt(r, k));
    }
    std::vector<qsizetype> order(static_cast<size_t>(rowCount));
    std::iota(order.begin(), order.end(), qsizetype(0));
    std::stable_sort(order.begin(), order.end(), [&](qsizetype ra, qsizetype rb) {
        for (qsizetype k = 0; k < keyCount; ++k) {
            const int c = compareValues(valueAt(ra, k), prepared[size_t(ra * keyCount + k)],
                valueAt(rb, k), prepared[size_t(rb * keyCount + k)]);
            if (c != 0)
                return keys.at(k).descending ? c > 0 : c < 0;
        }
        return false;
    });
    QVector<Row> sorted;
    sorted.reserve(rowCount);
    for (const qsizetype r : order)
        sorted.append(std::move(m_rows[r]));
    m_rows = std::move(sorted);
    // The kept prints are by position: they move with their rows.
    if (m_prints.size() == rowCount) {
        QVector<quint64> prints;
        prints.reserve(rowCount);
        for (const qsizetype r : order)
            prints.append(m_prints.at(r));
        m_prints = std::move(prints);
    }
    m_pos = 0;
    m_sortedBy = criteria;
}

void RowSet::find(const QString &criteria)
{
    const int eq = criteria.indexOf(QLatin1Char('='));
    if (eq < 0)
        throw Failure(Failure::InvalidCall);
    const int index = fieldIndex(criteria.left(eq).trimmed());
    if (index < 0)
        throw Failure(Failure::ItemNotFound);
    QString wanted = criteria.mid(eq + 1).trimmed();
    QVariant target;
    if (wanted.size() >= 2 && wanted.startsWith(QLatin1Char('\''))
        && wanted.endsWith(QLatin1Char('\''))) {
        wanted
            = wanted.mid(1, wanted.size() - 2).replace(QStringLiteral("''"), QStringLiteral("'"));
        target = wanted;
    } else {
        target = wanted.toDouble();
    }
    for (; m_pos < m_rows.size(); ++m_pos) {
        if (compareValues(m_rows.at(m_pos).value(index), target) == 0)
            return;
    }
}

int RowSet::bookmark() const
{
    requireCurrent();
    return m_pos;
}

void RowSet::setBookmark(int bookmark)
{
    if (bookmark < 0 || bookmark >= m_rows.size())
        throw Failure(Failure::BofOrEof);
    m_pos = bookmark;
}
