// Row-set dumps: files, folders, cells and the shared numbering of nested
// row sets.

#include "TestSupport.h"

#include "diag/RecordsetToFile.h"
#include "platform/CodePage.h"

#include <QDir>
#include <QtTest>

class TstDumps : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init() { m_home = std::make_unique<TempHome>(); }
    void cleanup() { m_home.reset(); }

    void emptyRowSetWritesHeaderOnly();
    void cells();
    void topLevelDumpsNestDeeper();
    void nestedNumberingSharedAcrossLevels();
    void thousandthNestedHasFourDigits();
    void absentRowSetOnlyTellsTheOperator();

private:
    QString dump(const RowSet::Ptr &rs, qint32 *count = nullptr)
    {
        QString name;
        qint32 c = 0;
        RecordsetToFile::write(rs, name, 0, count ? *count : c, m_home->path(), &m_ui);
        return name;
    }
    static RowSet::Ptr rows(const QStringList &names, const QVector<RowSet::Row> &r)
    {
        return std::make_shared<RowSet>(names, r);
    }
    static QVariant nested(const RowSet::Ptr &rs) { return QVariant::fromValue(rs); }

    std::unique_ptr<TempHome> m_home;
    FakeUi m_ui;
};

void TstDumps::emptyRowSetWritesHeaderOnly()
{
    QCOMPARE(dump(rows({"A", "B"}, {})), QStringLiteral("MultiRes.XLS"));
    QCOMPARE(m_home->read(QStringLiteral("MultiRS/MultiRes.XLS")), QByteArray("\t\r\n\tA\tB\r\n"));
}

void TstDumps::cells()
{
    auto rs = rows({"Name", "N", "Empty", "When"},
        {RowSet::Row{QStringLiteral("דנה"), QVariant(), QString(""),
             QDateTime(QDate(2026, 12, 7), QTime(6, 30))},
            RowSet::Row{QStringLiteral("x"), 12.5, QStringLiteral("y"), QVariant()}});
    rs->moveNext(); // the dump starts from the first row wherever the cursor is
    dump(rs);
    const QByteArray bytes = m_home->read(QStringLiteral("MultiRS/MultiRes.XLS"));
    QCOMPARE(bytes,
        QByteArray("\t\r\n\tName\tN\tEmpty\tWhen\r\n") + "\t"
            + CodePage::toBytes(QStringLiteral("דנה"))
            + "\tNull\t\t07/12/2026 06:30:00\r\n\tx\t12.5\ty\tNull\r\n");
    QVERIFY(rs->eof());
}

void TstDumps::topLevelDumpsNestDeeper()
{
    dump(rows({"A"}, {RowSet::Row{1}}));
    dump(rows({"B"}, {RowSet::Row{2}}));
    QVERIFY(QFile::exists(m_home->file(QStringLiteral("MultiRS/MultiRes.XLS"))));
    QCOMPARE(m_home->lines(QStringLiteral("MultiRS/MultiRS/MultiRes.XLS")).value(2),
        QStringLiteral("\t2"));
    QCOMPARE(m_home->lines(QStringLiteral("MultiRS/MultiRes.XLS")).value(2), QStringLiteral("\t1"));
}

void TstDumps::nestedNumberingSharedAcrossLevels()
{
    auto inner = rows({"Deep"}, {RowSet::Row{QStringLiteral("d")}});
    auto first = rows({"Sub", "Child"}, {RowSet::Row{QStringLiteral("s1"), nested(inner)}});
    auto second = rows({"Sub"}, {RowSet::Row{QStringLiteral("s2")}});
    auto top = rows({"Id", "Rs"}, {RowSet::Row{1, nested(first)}, RowSet::Row{2, nested(second)}});
    qint32 count = 0;
    dump(top, &count);
    QCOMPARE(count, 3);
    QStringList files
        = QDir(m_home->file(QStringLiteral("MultiRS"))).entryList(QDir::Files, QDir::Name);
    QCOMPARE(
        files, (QStringList{"MultiRes.XLS", "RS01NO001.XLS", "RS01NO003.XLS", "RS02NO002.XLS"}));
    QCOMPARE(m_home->lines(QStringLiteral("MultiRS/RS01NO001.XLS")).value(2),
        QStringLiteral("\ts1\tRecordset"));
    QCOMPARE(
        m_home->lines(QStringLiteral("MultiRS/RS02NO002.XLS")).value(2), QStringLiteral("\td"));
    QCOMPARE(
        m_home->lines(QStringLiteral("MultiRS/RS01NO003.XLS")).value(2), QStringLiteral("\ts2"));
    QCOMPARE(m_home->lines(QStringLiteral("MultiRS/MultiRes.XLS")).mid(2),
        (QStringList{"\t1\tRecordset", "\t2\tRecordset"}));
}

void TstDumps::thousandthNestedHasFourDigits()
{
    QVector<RowSet::Row> r;
    for (int i = 0; i < 1000; ++i)
        r << RowSet::Row{nested(rows({"X"}, {}))};
    qint32 count = 0;
    dump(rows({"Rs"}, r), &count);
    QCOMPARE(count, 1000);
    QVERIFY(QFile::exists(m_home->file(QStringLiteral("MultiRS/RS01NO999.XLS"))));
    QVERIFY(QFile::exists(m_home->file(QStringLiteral("MultiRS/RS01NO1000.XLS"))));
}

void TstDumps::absentRowSetOnlyTellsTheOperator()
{
    dump(nullptr);
    QCOMPARE(m_ui.messages.size(), 1);
    QCOMPARE(m_ui.messages.first().text, QStringLiteral("Recordset is Nothing"));
    QCOMPARE(m_ui.messages.first().title, QStringLiteral("Recordset to File"));
    QCOMPARE(m_ui.messages.first().icon, Ui::Icon::Critical);
    QVERIFY(!QDir(m_home->file(QStringLiteral("MultiRS"))).exists());
}

QTEST_GUILESS_MAIN(TstDumps)
#include "tst_dumps.moc"
