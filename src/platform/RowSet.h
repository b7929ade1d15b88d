#pragma once

#include <QMetaType>
#include <QStringList>
#include <QVariant>
#include <QVector>

#include <algorithm>
#include <iterator>
#include <memory>

// A client-side cursor over rows fetched from a database: current row with
// BOF/EOF, move first/next, fields by name (letter case ignored) or position,
// null values as null QVariants, sort, forward find, bookmarks, and the chain
// of results of one batch (a statement without rows gives a closed row set).
class RowSet
{
public:
    enum State { Closed = 0, Open = 1, Executing = 4 };
    using Row = QVector<QVariant>;
    using Ptr = std::shared_ptr<RowSet>;

    // A closed result: what a statement that returns no rows gives.
    RowSet();
    RowSet(const QStringList &fieldNames, QVector<Row> rows);

    int state() const { return m_state; }
    bool bof() const;
    bool eof() const;
    bool isEmpty() const { return m_rows.isEmpty(); }
    int recordCount() const { return int(m_rows.size()); }
    // All rows, in their present order.
    const QVector<Row> &rows() const { return m_rows; }

    // Failure 3021 when the row set has no rows.
    void moveFirst();
    // Failure 3021 when already at EOF.
    void moveNext();

    int fieldCount() const { return int(m_names.size()); }
    QString fieldName(int index) const;
    const QStringList &fieldNames() const { return m_names; }
    int fieldIndex(const QString &name) const; // -1 when there is none
    // The current row's value; failure 3265 for an unknown field, 3021 at BOF or EOF.
    QVariant field(const QString &name) const;
    QVariant field(int index) const;
    // The same value without a copy; valid until the row set changes.
    const QVariant &value(int index) const;
    // A print of a value as it came: its type, whether it is null, and its
    // content, with nothing converted. Equal values of one column give equal
    // prints, so a row whose prints are those of the last cycle can be passed
    // over without reading it again.
    static size_t printOf(const QVariant &v, size_t seed);
    // One step of a print over a run of words (for a caller that prints a
    // run of rows by their prints): values that differ in one word never
    // print alike.
    static quint64 printStep(quint64 seed, quint64 word);
    // The steps over bytes, their count first.
    static quint64 printBytes(quint64 seed, const void *data, size_t size);
    // The print of the current row's values at these indexes, in their
    // order; never 0, so 0 can stand for "no print yet".
    // A print kept by keepPrints over the same indexes is taken as it is.
    template <typename Indexes> quint64 rowPrint(const Indexes &indexes) const
    {
        if (m_pos < m_prints.size()
            && std::equal(std::begin(indexes), std::end(indexes), m_printIndexes.cbegin(),
                m_printIndexes.cend()))
            return m_prints.at(m_pos);
        size_t seed = 0x5EED;
        for (const int index : indexes)
            seed = printOf(value(index), seed);
        return quint64(seed) | 1;
    }
    // Makes every row's print over these indexes now and keeps it with the
    // row, so that whoever reads the rows later (on another thread) does not
    // make it again; prints kept over the same indexes already are kept as
    // they are. A failure (an index that is not a field) keeps none; a sort
    // takes the prints along with their rows.
    void keepPrints(const QVector<int> &indexes);
    // Whether the kept prints were made over every one of these indexes (and
    // perhaps more).
    template <typename Indexes> bool printsKeptOver(const Indexes &indexes) const
    {
        return !m_prints.isEmpty() && m_prints.size() == m_rows.size()
            && (maskOf(indexes) & ~m_printMask) == 0;
    }
    // For a caller that only asks whether these values of the current row are
    // the ones it saw last: the kept print when it was made over these
    // indexes and perhaps more, else rowPrint(indexes). Equal prints still
    // mean equal values; a change in a field not asked for only costs the
    // caller a closer look. A caller compares it with its own kind only.
    template <typename Indexes> quint64 changePrint(const Indexes &indexes) const
    {
        return printsKeptOver(indexes) && !eof() ? m_prints.at(m_pos) : rowPrint(indexes);
    }

    // "Col ASC, Col2 DESC": a stable sort of the rows, then move to the first.
    // Numbers compare as numbers, texts without regard to letter case, nulls first.
    void setSort(const QString &criteria);
    // "Col = 'text'" or "Col = 123": the first row from the current one on
    // (the current one included) whose value equals; EOF when none does.
    void find(const QString &criteria);

    int bookmark() const;
    void setBookmark(int bookmark);
    int absolutePosition() const { return m_pos + 1; }

    // The batch's next result, or null when there is none.
    Ptr nextRecordset() const { return m_next; }
    void setNextRecordset(Ptr next) { m_next = std::move(next); }

private:
    void requireCurrent() const;
    // A bit per index; an index the bits cannot hold is never covered.
    template <typename Indexes> static quint64 maskOf(const Indexes &indexes)
    {
        quint64 mask = 0;
        for (const int index : indexes)
            mask |= index >= 0 && index < 64 ? quint64(1) << index : ~quint64(0);
        return mask;
    }

    int m_state = Closed;
    QStringList m_names;
    QVector<Row> m_rows;
    int m_pos = 0; // == size at EOF
    QString m_sortedBy; // the rows are in this order already
    QVector<int> m_printIndexes; // what m_prints were made over
    QVector<quint64> m_prints; // by row, or empty
    quint64 m_printMask = 0; // m_printIndexes, as maskOf makes it (0: none)
    Ptr m_next;
};

Q_DECLARE_METATYPE(RowSet::Ptr)
