#include "GatewayRig.h"

#include "app/Gateway.h"
#include "common/MapProtocol.h"
#include "cycle/DatabaseCycle.h"
#include "maplink/MapLink.h"
#include "model/clsLine.h"
#include "platform/MapSocket.h"

#include <QProcess>
#include <QRegularExpression>
#include <QtTest>

#include <csignal>
#include <memory>

// The real volmara-mapsim executable against the gateway's map link.
class TestMapSim : public QObject
{
    Q_OBJECT

private:
    struct Sim
    {
        QProcess process;
        QByteArray out;
        quint16 port = 0;

        bool start(const QStringList &extra)
        {
            const QString bin
                = qEnvironmentVariable("VOLMARA_BIN_DIR", QCoreApplication::applicationDirPath());
            process.start(bin + QStringLiteral("/volmara-mapsim"),
                QStringList{QStringLiteral("--port"), QStringLiteral("0")} + extra);
            if (!process.waitForStarted(5000))
                return false;
            static const QRegularExpression listening(QStringLiteral("Listening on [^:]+:(\\d+)"));
            return QTest::qWaitFor(
                [&] {
                    readOutput();
                    const auto m = listening.match(QString::fromUtf8(out));
                    if (m.hasMatch())
                        port = quint16(m.captured(1).toUInt());
                    return port != 0;
                },
                5000);
        }
        QString readOutput()
        {
            out += process.readAllStandardOutput();
            return QString::fromUtf8(out);
        }
        ~Sim()
        {
            process.terminate();
            if (!process.waitForFinished(3000))
                process.kill();
        }
    };

    struct Rig : GatewayRig
    {
        Rig()
        {
            gw.mapSettings().strRole = StationRole::Server;
            gw.mapSettings().strMapUserID = MapProtocol::kServerUserId;
            gw.mapSettings().strMapPassword = MapProtocol::kServerPassword;
        }
        bool connectTo(const Sim &sim)
        {
            gw.mapSettings().strMapIP = QStringLiteral("127.0.0.1");
            gw.mapSettings().iMapPort = quint16(sim.port);
            gw.mapLink().MapConnect();
            return QTest::qWaitFor(
                [&] { return gw.sckMap().state() == MapSocket::State::Connected; }, 5000);
        }
    };

private Q_SLOTS:
    void loginAndLineList()
    {
        TempHome files;
        Sim sim;
        QVERIFY(sim.start({QStringLiteral("--received-file"), files.file("recv.bin")}));
        Rig rig;
        QVERIFY(rig.connectTo(sim));

        // Login, "$A,L," from the simulator, "$SetUpdateMode,S" back.
        QTRY_COMPARE(files.read("recv.bin"), QByteArray("$L,orvik,qzt\r\n$SetUpdateMode,S\r\n"));
        QTRY_VERIFY(sim.readOutput().contains(QStringLiteral("<- $SetUpdateMode,S")));
        QVERIFY(sim.readOutput().contains(QStringLiteral("-> $A,L,\n")));

        rig.gw.statusRows().strLinesList.clear();
        rig.gw.link().bRequestLines = true;
        rig.gw.sckMap().send(MapProtocol::kLineListRequest + MapProtocol::kLineEnd);
        // A "Server" station keeps our organisation's vehicles only.
        QTRY_COMPARE(rig.gw.statusRows().strLinesList,
            QStringLiteral(",12-345-67,23-456-78,34-567-89,45-678-01,56-780-12,67-801-23,"
                           "44444,"));
        QVERIFY(!rig.gw.link().bRequestLines);
        QVERIFY(rig.gw.cycle().tmrDB().isActive());
    }

    void vehiclesOption()
    {
        Sim sim;
        QVERIFY(sim.start({QStringLiteral("--vehicles"), QStringLiteral("x1,dedod/7654321")}));
        Rig rig;
        rig.gw.mapSettings().strRole = StationRole::Client;
        QVERIFY(rig.connectTo(sim));
        rig.gw.sckMap().send(MapProtocol::kLineListRequest + MapProtocol::kLineEnd);
        QTRY_COMPARE(rig.gw.statusRows().strLinesList, QStringLiteral(",x1,76-543-21,"));
    }

    // The simulator's timed request is answered with the line's schedule;
    // Hebrew crosses in Windows-1255 and is printed readable.
    void timedRequestAnswered()
    {
        TempHome files;
        Sim sim;
        QVERIFY(sim.start({QStringLiteral("--request-line"), QStringLiteral("34506201"),
            QStringLiteral("--request-every"), QStringLiteral("1"),
            QStringLiteral("--received-file"), files.file("recv.bin")}));
        Rig rig;
        const auto sched = GatewayRig::oneLineDay(rig.gw.day());
        sched->ORVIKID = QStringLiteral("1234567");
        sched->EndDT = QDateTime(QDate(2024, 3, 5), QTime(7, 10));
        sched->Stops = 1;
        sched->StTimes = QStringLiteral("0;0");
        sched->DriverName = QStringLiteral("דנה");
        QVERIFY(rig.connectTo(sim));

        const QByteArray answer("$NotifyOrganization,dedod,ExpLineSched\\c34506201\\c"
                                "1234567-06:05-07:10-1:0;0-\xE3\xF0\xE4\r\n");
        QTRY_VERIFY_WITH_TIMEOUT(files.read("recv.bin").contains(answer), 10000);
        QVERIFY(sim.readOutput().contains(
            QStringLiteral("-> $MapNotification,dedod,1,ExpLineSchedReq\\c34506201")));
        QTRY_VERIFY(sim.readOutput().contains(QStringLiteral("06:05-07:10-1:0;0-דנה")));
        QVERIFY(rig.gw.day().colLines->first()->Scheds.first()->Sent.isValid());
    }

    void drops_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<bool>("signal");
        QTest::newRow("SIGUSR1") << QStringList() << true;
        QTest::newRow("--drop-after") << QStringList{"--drop-after", "1"} << false;
    }
    void drops()
    {
        QFETCH(QStringList, args);
        QFETCH(bool, signal);
        Sim sim;
        QVERIFY(sim.start(args));
        Rig rig;
        QVERIFY(rig.connectTo(sim));
        if (signal)
            ::kill(pid_t(sim.process.processId()), SIGUSR1);
        QTRY_VERIFY_WITH_TIMEOUT(rig.gw.sckMap().state() != MapSocket::State::Connected, 10000);
        QTRY_VERIFY(sim.readOutput().contains(QStringLiteral("disconnected")));

        // The listener stays: the gateway gets back in.
        QVERIFY(rig.connectTo(sim));
    }

    void help()
    {
        QProcess p;
        p.start(qEnvironmentVariable("VOLMARA_BIN_DIR", QCoreApplication::applicationDirPath())
                + QStringLiteral("/volmara-mapsim"),
            {QStringLiteral("--help")});
        QVERIFY(p.waitForFinished(5000));
        const QString text = QString::fromUtf8(p.readAllStandardOutput());
        for (const char *word : {"--port", "--host", "--vehicles", "--request-line",
                 "--request-every", "--drop-after", "--received-file", "SIGUSR1"})
            QVERIFY2(text.contains(QLatin1String(word)), word);
    }
};

QTEST_MAIN(TestMapSim)
#include "tst_mapsim.moc"
