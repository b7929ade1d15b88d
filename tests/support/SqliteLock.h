#pragma once

#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QString>

// Another program's hold on an embedded file: its own connection with a
// transaction open from the constructor until release(). "BEGIN EXCLUSIVE"
// keeps every other writer out; "BEGIN" followed by a read keeps a reader's
// lock, which holds back another connection's commit in a rollback-journal
// file.
class SqliteLock
{
public:
    SqliteLock(const QString &file, const QString &begin = QStringLiteral("BEGIN EXCLUSIVE"))
        : m_name(QStringLiteral("test-lock-%1").arg(quintptr(this)))
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_name);
        db.setDatabaseName(file);
        if (!db.open()) {
            m_error = db.lastError().text();
            return;
        }
        QSqlQuery q(db);
        if (!q.exec(begin)) {
            m_error = q.lastError().text();
            return;
        }
        // A reader's lock is taken by its first read.
        if (!q.exec(QStringLiteral("SELECT COUNT(*) FROM sqlite_master")) || !q.next()) {
            m_error = q.lastError().text();
            return;
        }
        m_held = true;
    }
    ~SqliteLock() { release(); }
    SqliteLock(const SqliteLock &) = delete;
    SqliteLock &operator=(const SqliteLock &) = delete;

    bool held() const { return m_held; }
    QString error() const { return m_error; }

    void release()
    {
        if (m_name.isEmpty())
            return;
        {
            QSqlDatabase db = QSqlDatabase::database(m_name, false);
            if (db.isOpen()) {
                QSqlQuery(db).exec(QStringLiteral("ROLLBACK"));
                db.close();
            }
        }
        QSqlDatabase::removeDatabase(m_name);
        m_name.clear();
        m_held = false;
    }

private:
    QString m_name;
    QString m_error;
    bool m_held = false;
};
