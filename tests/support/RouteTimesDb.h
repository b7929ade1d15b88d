#pragma once

#include "platform/DbSession.h"

#include <QDir>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QString>
#include <QTemporaryDir>
#include <QUuid>
#include <QVariant>

#include <memory>

// An embedded "ORVIKDB" folder for route-times work: ORVIKDB.sqlite and
// RteDB.sqlite with its RouteTimes table, written with plain Qt SQL, and a
// session on it as the gateway opens one.
class RouteTimesDb
{
public:
    RouteTimesDb()
    {
        exec(QStringLiteral("ORVIKDB.sqlite"),
            QStringLiteral("CREATE TABLE Scheds (IntrMedRecordID INTEGER)"));
        exec(QStringLiteral("RteDB.sqlite"),
            QStringLiteral("CREATE TABLE RouteTimes (RouteName TEXT, fromDate TEXT, toDate TEXT, "
                           "dayofWeek TEXT, fromTime TEXT, toTime TEXT, arrivalStr TEXT, "
                           "stayStr TEXT)"));
    }

    QString folder() const { return m_dir.path(); }

    // A null QVariant stores NULL.
    bool addRule(const QString &route, const QVariant &fromDate, const QVariant &toDate,
        const QVariant &fromTime, const QVariant &toTime, const QVariant &arrival,
        const QVariant &stay)
    {
        return exec(QStringLiteral("RteDB.sqlite"),
            QStringLiteral("INSERT INTO RouteTimes VALUES (?, ?, ?, '1234567', ?, ?, ?, ?)"),
            {route, fromDate, toDate, fromTime, toTime, arrival, stay});
    }

    bool exec(const QString &file, const QString &sql, const QVariantList &binds = {})
    {
        const QString name = QUuid::createUuid().toString();
        bool ok = false;
        {
            QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
            db.setDatabaseName(QDir(m_dir.path()).filePath(file));
            if (db.open()) {
                QSqlQuery q(db);
                q.prepare(sql);
                for (const QVariant &v : binds)
                    q.addBindValue(v);
                ok = q.exec();
            }
            db.close();
        }
        QSqlDatabase::removeDatabase(name);
        return ok;
    }

    std::shared_ptr<DbSession> open() const
    {
        auto cn = std::make_shared<DbSession>();
        cn->setProperty(QStringLiteral("Data Source"), QStringLiteral("sqlite:") + m_dir.path());
        cn->setProperty(QStringLiteral("Initial Catalog"), QStringLiteral("ORVIKDB"));
        cn->open();
        return cn;
    }

private:
    QTemporaryDir m_dir;
};
