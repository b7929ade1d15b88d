#include "GatewayRig.h"
#include "MapPeer.h"

#include "app/Gateway.h"
#include "common/MapProtocol.h"
#include "common/MenuMarks.h"
#include "common/StatusRows.h"
#include "cycle/DatabaseCycle.h"
#include "maplink/InboundCommands.h"
#include "maplink/MapLink.h"
#include "model/clsLine.h"
#include "platform/Clock.h"
#include "platform/DateTime.h"
#include "platform/MapSocket.h"

#include <QtTest>

#include <memory>

// The map link over a real loopback connection: login, framing across reads,
// dispatch by command word, the inbound commands and their answers.
class TestMapLink : public QObject
{
    Q_OBJECT

private:
    struct Rig : GatewayRig
    {
        MapPeer peer{gw};
    };

    static std::unique_ptr<Rig> connectedRig(const QString &role = QStringLiteral("Client"))
    {
        auto rig = std::make_unique<Rig>();
        rig->gw.mapSettings().strRole = *parseRole(role);
        rig->gw.mapSettings().strMapUserID = QStringLiteral("u");
        rig->gw.mapSettings().strMapPassword = QStringLiteral("p");
        if (!rig->peer.connectGateway())
            return nullptr;
        return rig;
    }

    static QString debugLog(const Rig &rig)
    {
        return rig.home.lines(QStringLiteral("Debug.TXT")).join(QLatin1Char('\n'));
    }

private Q_SLOTS:
    void loginLine_data()
    {
        QTest::addColumn<QString>("user");
        QTest::addColumn<QString>("password");
        QTest::addColumn<QByteArray>("line");
        QTest::newRow("server") << MapProtocol::kServerUserId << MapProtocol::kServerPassword
                                << QByteArray("$L,orvik,qzt\r\n");
        QTest::newRow("client") << MapProtocol::kClientUserId << MapProtocol::kClientPassword
                                << QByteArray("$L,1,7\r\n");
    }
    void loginLine()
    {
        QFETCH(QString, user);
        QFETCH(QString, password);
        QFETCH(QByteArray, line);
        Rig rig;
        rig.gw.mapSettings().strMapUserID = user;
        rig.gw.mapSettings().strMapPassword = password;
        QVERIFY(rig.peer.connectGateway());
        QCOMPARE(rig.peer.login, line);
        QCOMPARE(rig.peer.takeReceived(), QByteArray());
    }

    // Each chunk is one read on the gateway's side; after each, the line list
    // shows which "$Q" message was dispatched ("-": none).
    void framing_data()
    {
        QTest::addColumn<QByteArrayList>("chunks");
        QTest::addColumn<QStringList>("lists");
        QTest::newRow("split after the comma")
            << QByteArrayList{"$Q,1,", "AB\r\n"} << QStringList{"-", ",AB,"};
        QTest::newRow("junk before $") << QByteArrayList{"xyz$Q,5,AB\r\n"} << QStringList{",AB,"};
        QTest::newRow("lower-case command") << QByteArrayList{"$q,5,AB\r\n"} << QStringList{",AB,"};
        QTest::newRow("no carriage return, dropped at the next $")
            << QByteArrayList{"$Q,1,AB\n", "$Q,1,CD\r\n"} << QStringList{"-", ",CD,"};
        QTest::newRow("read ending in $")
            << QByteArrayList{"$Q,1,AB\r\n$", "Q,1,CD\r\n"} << QStringList{",AB,", ",CD,"};
        QTest::newRow("between CR and $ dropped")
            << QByteArrayList{"$Q,1,AB\r\nQ,1,XY\r\n", "zz\r\n"} << QStringList{",AB,", "-"};
        QTest::newRow("two messages in one read")
            << QByteArrayList{"$Q,1,AB\r\n$Q,1,CD\r\n"} << QStringList{",CD,"};
        QTest::newRow("split across three reads")
            << QByteArrayList{"$", "Q,1,A", "B\r"} << QStringList{"-", "-", ",AB,"};
    }
    void framing()
    {
        QFETCH(QByteArrayList, chunks);
        QFETCH(QStringList, lists);
        auto rig = connectedRig();
        QVERIFY(rig);
        rig->gw.statusRows().strLinesList = QStringLiteral("before");
        for (int i = 0; i < chunks.size(); ++i) {
            rig->gw.statusRows().bLinesChanged = false;
            const QString before = rig->gw.statusRows().strLinesList;
            QVERIFY(rig->peer.feed(chunks.at(i)));
            if (lists.at(i) == QLatin1String("-")) {
                QVERIFY2(!rig->gw.statusRows().bLinesChanged, qPrintable(QString::number(i)));
                QCOMPARE(rig->gw.statusRows().strLinesList, before);
            } else {
                QVERIFY(rig->gw.statusRows().bLinesChanged);
                QCOMPARE(rig->gw.statusRows().strLinesList, lists.at(i));
            }
        }
        QCOMPARE(rig->peer.takeReceived(), QByteArray());
    }

    // "$A,1" split after its comma is put together and dispatched once.
    void splitUpdateModeDispatchedOnce()
    {
        auto rig = connectedRig();
        QVERIFY(rig);
        QVERIFY(rig->peer.feed("$A,"));
        QCOMPARE(rig->gw.mapLink().recvBuf(), QStringLiteral("$A,"));
        QVERIFY(rig->gw.mapLink().inMessage());
        QVERIFY(rig->peer.feed("L,\r\n"));
        QCOMPARE(rig->gw.mapLink().recvBuf(), QString());
        QVERIFY(!rig->gw.mapLink().inMessage());
        QCOMPARE(rig->peer.takeReceived(), QByteArray("$SetUpdateMode,S\r\n"));
    }

    void updateMode_data()
    {
        QTest::addColumn<QByteArray>("message");
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<bool>("logged");
        const QByteArray setS("$SetUpdateMode,S\r\n");
        QTest::newRow("empty mode") << QByteArray("$A,L,\r\n") << setS << false;
        QTest::newRow("blank mode") << QByteArray("$A,L,   \r\n") << setS << false;
        QTest::newRow("lower case") << QByteArray("$a,l,\r\n") << setS << false;
        QTest::newRow("more fields") << QByteArray("$A,L,,x,y\r\n") << setS << false;
        QTest::newRow("mode S") << QByteArray("$A,L,S\r\n") << QByteArray() << false;
        QTest::newRow("mode P") << QByteArray("$A,L,P\r\n") << QByteArray() << false;
        QTest::newRow("mode X") << QByteArray("$A,L,X\r\n") << QByteArray() << false;
        QTest::newRow("field 1 not L") << QByteArray("$A,K,\r\n") << QByteArray() << false;
        QTest::newRow("$A then $Q: only $Q")
            << QByteArray("$A,L,$Q,2\r\n") << QByteArray() << false;
        QTest::newRow("no field 2") << QByteArray("$A,L\r\n") << QByteArray() << true;
        QTest::newRow("no field 1") << QByteArray("$A\r\n") << QByteArray() << true;
    }
    void updateMode()
    {
        QFETCH(QByteArray, message);
        QFETCH(QByteArray, answer);
        QFETCH(bool, logged);
        auto rig = connectedRig();
        QVERIFY(rig);
        QVERIFY(rig->peer.feed(message));
        QCOMPARE(rig->peer.takeReceived(), answer);
        const QString log = debugLog(*rig);
        QCOMPARE(log.contains(QStringLiteral("ProcessDollarA: Error Number: 9")), logged);
    }

    void lineList_data()
    {
        QTest::addColumn<QString>("role");
        QTest::addColumn<QByteArray>("message");
        QTest::addColumn<QString>("list");
        QTest::newRow("server: prefix, licence rewrite")
            << "Server" << QByteArray("$Q,0,dedod/1234567,dedod/12345,7654321\r\n")
            << ",12-345-67,12345,";
        QTest::newRow("server: prefix in any case, blanks around")
            << "Server" << QByteArray("$Q,0, DEDOD/1234567 ,other/1234567\r\n") << ", 1234567 ,";
        QTest::newRow("client: every non-empty entry")
            << "Client" << QByteArray("$Q,0,dedod/1234567,,ABC,7654321,  \r\n")
            << ",12-345-67,ABC,76-543-21,";
        QTest::newRow("client: eight digits kept")
            << "Client" << QByteArray("$Q,0,12345678\r\n") << ",12345678,";
        QTest::newRow("no entries") << "Server" << QByteArray("$Q,0\r\n") << "";
        QTest::newRow("command alone") << "Client" << QByteArray("$Q\r\n") << "";
        QTest::newRow("server: nothing admitted") << "Server" << QByteArray("$Q,0,a,b\r\n") << "";
    }
    void lineList()
    {
        QFETCH(QString, role);
        QFETCH(QByteArray, message);
        QFETCH(QString, list);
        auto rig = connectedRig(role);
        QVERIFY(rig);
        const QDateTime now(QDate(2024, 3, 5), QTime(10, 20, 30));
        rig->gw.clock().setNow(now);
        rig->gw.statusRows().strLinesList = QStringLiteral(",old,");
        rig->gw.statusRows().bLinesChanged = false;
        rig->gw.link().bRequestLines = true;
        rig->gw.cycle().setLastQueryAll(now.addSecs(-60));
        rig->gw.cycle().stop();
        QVERIFY(rig->peer.feed(message));
        QCOMPARE(rig->gw.statusRows().strLinesList, list);
        QVERIFY(rig->gw.statusRows().bLinesChanged);
        QVERIFY(!rig->gw.link().bRequestLines);
        QVERIFY(DateTime::isZero(rig->gw.cycle().dtLastQueryAll()));
        QCOMPARE(rig->gw.link().dtLinesTime, now);
        QVERIFY(rig->gw.cycle().tmrDB().isActive());
        QVERIFY(!rig->home.exists(QStringLiteral("Debug.TXT")));
    }

    void notification_data()
    {
        QTest::addColumn<QByteArray>("message");
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<QString>("logged");
        QTest::newRow("request, \\c separated")
            << QByteArray("$MapNotification,dedod,7,expLineSchedReq\\c34506201\r\n")
            << QByteArray("$NotifyOrganization,dedod,ExpLineSched\\c34506201\\c"
                          "5551234-06:05-14:30-2:1;0;1;5\r\n")
            << QString();
        QTest::newRow("request, commas and \\n")
            << QByteArray("$MapNotification,other,7,ExpLineSchedReq,3450\\n6201,more\r\n")
            << QByteArray("$NotifyOrganization,other,ExpLineSched\\c34506201\\c"
                          "5551234-06:05-14:30-2:1;0;1;5\r\n")
            << QString();
        QTest::newRow("other notification ignored")
            << QByteArray("$MapNotification,dedod,7,VehicleMoved\\c34506201\r\n") << QByteArray()
            << QString();
        QTest::newRow("too few fields")
            << QByteArray("$MapNotification,dedod,7\r\n") << QByteArray()
            << QStringLiteral("ProcessDollarMapNotification: Error: Buf: $MapNotification,dedod,7"
                              "Error Number: 9");
        QTest::newRow("request without a line")
            << QByteArray("$MapNotification,dedod,7,ExpLineSchedReq\r\n") << QByteArray()
            << QStringLiteral("ProcessExpLineSchedReq: Error - RequestError Number: 9");
    }
    void notification()
    {
        QFETCH(QByteArray, message);
        QFETCH(QByteArray, answer);
        QFETCH(QString, logged);
        auto rig = connectedRig();
        QVERIFY(rig);
        const auto sched = GatewayRig::oneLineDay(rig->gw.day());
        sched->ORVIKID = QStringLiteral("5551234");
        sched->EndDT = QDateTime(QDate(2024, 3, 5), QTime(14, 30));
        sched->Stops = 2;
        sched->StTimes = QStringLiteral("1;0;1;5");

        QVERIFY(rig->peer.feed(message));
        QCOMPARE(rig->peer.takeReceived(), answer);
        if (logged.isEmpty())
            QVERIFY(!rig->home.exists(QStringLiteral("Debug.TXT")));
        else
            QVERIFY2(debugLog(*rig).contains(logged), qPrintable(debugLog(*rig)));
    }

    // The worst the fuzzer and the wire have shown: every one is handled
    // without a crash, with the answers and records stated.
    void nastyInputs_data()
    {
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<int>("answers");
        QTest::addColumn<QByteArray>("firstAnswer");
        QTest::addColumn<QString>("list");
        QTest::addColumn<QString>("logged");
        const QByteArray head("$NotifyOrganization,dedod,ExpLineSched\\c");
        const QString unchanged = QStringLiteral("-");

        QTest::newRow("NUL bytes in fields")
            << QByteArray("$Q,0,ab\0cd,\0\r\n$\0A,L,\r\n", 20) << 0 << QByteArray()
            << QString::fromLatin1(",ab\0cd,\0,", 9) << QString();
        QTest::newRow("bytes Windows-1255 leaves undefined")
            << QByteArray("$MapNotification,\xFF\x81,1,ExpLineSchedReq\\c34506201\r\n") << 1
            << QByteArray("$NotifyOrganization,??,ExpLineSched\\c34506201\\c") << unchanged
            << QString();
        QTest::newRow("\\c doubled and trailing")
            << QByteArray("$MapNotification,dedod,1\\cExpLineSchedReq\\c\\c\r\n") << 1
            << head + "\\cNot Found\r\n"
            << unchanged << QString();
        QTest::newRow("\\c before the first comma")
            << QByteArray("$MapNotification\\c,dedod\\c\\c\\cExpLineSchedReq\\c34506201\r\n") << 0
            << QByteArray() << unchanged << QString();
        QTest::newRow("lone backslash at the end")
            << QByteArray("$MapNotification,a,b,ExpLineSchedReq\\\r\n") << 0 << QByteArray()
            << unchanged << QString();
        QTest::newRow("\\n splitting the type")
            << QByteArray("$MapNotification,dedod,1,ExpLine\\nSchedReq\\c3450\\n6201\r\n") << 1
            << head + "34506201\\c" << unchanged << QString();
        QTest::newRow("only carriage returns and dollars")
            << QByteArray("\r\r\r$\r$$$$\r\n$,\r$,,,,\r") << 0 << QByteArray() << unchanged
            << QString();
        QTest::newRow("a hundred thousand empty fields")
            << QByteArray("$Q,0") + QByteArray(100000, ',') + "\r\n"
            << 0 << QByteArray() << "" << QString();
        QTest::newRow("sixty thousand entries")
            << QByteArray("$Q,0") + QByteArray(",dedod/1234567").repeated(60000) + "\r\n"
            << 0 << QByteArray()
            << QStringLiteral(",12-345-67").repeated(60000) + QStringLiteral(",") << QString();
        // A large organisation's fleet is longer than any other message may be.
        QTest::newRow("line list of a hundred thousand vehicles")
            << QByteArray("$Q,0") + QByteArray(",dedod/1234567").repeated(100000) + "\r\n"
            << 0 << QByteArray()
            << QStringLiteral(",12-345-67").repeated(100000) + QStringLiteral(",") << QString();
        QTest::newRow("line list past the message bound, command in lower case")
            << QByteArray("$q,0") + QByteArray(",dedod/7654321").repeated(90000) + "\r\n"
            << 0 << QByteArray()
            << QStringLiteral(",76-543-21").repeated(90000) + QStringLiteral(",") << QString();
        QTest::newRow("line list past the message bound, line feed in its command")
            << QByteArray("$\nQ\n,0") + QByteArray(",dedod/7654321").repeated(90000) + "\r\n"
            << 0 << QByteArray()
            << QStringLiteral(",76-543-21").repeated(90000) + QStringLiteral(",") << QString();
        QTest::newRow("flood of ten thousand requests")
            << QByteArray("$MapNotification,dedod,1,ExpLineSchedReq\\c34506201\r\n").repeated(10000)
            << 10000 << head + "34506201\\c" << unchanged << QString();
        QTest::newRow("a megabyte of dollars")
            << QByteArray(2 * 1024 * 1024, '$') + "Q,0,dedod/7654321\r\n"
            << 0 << QByteArray() << ",76-543-21," << QString();
        QTest::newRow("a megabyte outside any message")
            << QByteArray(3 * 1024 * 1024, '\xE0') + "$Q,0,dedod/7654321\r\n"
            << 0 << QByteArray() << ",76-543-21," << QString();
    }
    void nastyInputs()
    {
        QFETCH(QByteArray, input);
        QFETCH(int, answers);
        QFETCH(QByteArray, firstAnswer);
        QFETCH(QString, list);
        QFETCH(QString, logged);
        auto rig = connectedRig(QStringLiteral("Client"));
        QVERIFY(rig);
        auto &lines = rig->gw.day().colLines;
        lines = std::make_unique<colLinesType>();
        auto line = std::make_shared<clsLine>();
        line->Idx = QStringLiteral("123456");
        line->Makat = QStringLiteral("34506201");
        line->Scheds.add(QStringLiteral("1"), std::make_shared<clsSched>());
        lines->add(line->Idx, line);
        rig->gw.statusRows().strLinesList = QStringLiteral("-");

        const QByteArray received = rig->peer.exchange(input);
        QCOMPARE(received.count("\r\n"), answers);
        QVERIFY2(received.startsWith(firstAnswer), received.left(200).constData());
        QCOMPARE(rig->gw.statusRows().strLinesList, list);
        if (logged.isEmpty())
            QVERIFY2(!rig->home.exists(QStringLiteral("Debug.TXT")), qPrintable(debugLog(*rig)));
        else
            QVERIFY2(debugLog(*rig).contains(logged), qPrintable(debugLog(*rig)));
        QVERIFY(rig->gw.mapLink().recvBuf().size() <= MapLink::kMaxLineListChars);
    }

    // A peer that opens a message and never ends it cannot make the buffer
    // grow without end: the message is dropped with one record. Only the line
    // list may be longer than the bound of every other message.
    void oversizedMessage_data()
    {
        QTest::addColumn<QByteArray>("head");
        QTest::addColumn<int>("bound");
        QTest::newRow("notification") << QByteArray("$MapNotification,dedod,1,ExpLineSchedReq\\c")
                                      << MapLink::kMaxMessageChars;
        QTest::newRow("a line list's look-alike")
            << QByteArray("$Qx,0,dedod/") << MapLink::kMaxMessageChars;
        QTest::newRow("unknown command") << QByteArray("$Z,") << MapLink::kMaxMessageChars;
    }
    void oversizedMessage()
    {
        QFETCH(QByteArray, head);
        QFETCH(int, bound);
        auto rig = connectedRig(QStringLiteral("Server"));
        QVERIFY(rig);
        rig->peer.peer->write(head + QByteArray(3 * bound, '7'));
        rig->peer.peer->write("\r\n$Q,0,dedod/1234567\r\n");
        QTRY_COMPARE_WITH_TIMEOUT(
            rig->gw.statusRows().strLinesList, QStringLiteral(",12-345-67,"), 10000);
        QVERIFY(rig->gw.mapLink().recvBuf().isEmpty());
        const QStringList records = rig->home.lines(QStringLiteral("Debug.TXT"));
        QCOMPARE(records.size(), 1);
        QVERIFY(records.first().contains(
            QStringLiteral("sckmap_DataArrival: Message longer than %1 characters dropped: ")
                .arg(bound)));

        // Just under the bound still gets through.
        const QByteArray big = "$Q,0,dedod/" + QByteArray(bound - 20, 'B');
        rig->peer.peer->write(big + "\r\n");
        QTRY_COMPARE_WITH_TIMEOUT(rig->gw.statusRows().strLinesList.size(), bound - 20 + 2, 10000);
        QCOMPARE(rig->home.lines(QStringLiteral("Debug.TXT")).size(), 1);
    }

    // A line list past its own bound is the answer all the same: it is told
    // once, the list in hand stays and the cycle does not wait for another
    // (which made it give the connection up and connect again for ever).
    void oversizedLineList()
    {
        auto rig = connectedRig(QStringLiteral("Server"));
        QVERIFY(rig);
        rig->gw.clock().setNow(QDateTime(QDate(2024, 3, 5), QTime(9, 0)));
        LinkState &link = rig->gw.link();
        StatusRows &rows = rig->gw.statusRows();
        rows.strLinesList = QStringLiteral(",11-111-11,");
        rows.bLinesChanged = false;
        const QByteArray tooLong = "$Q,0"
            + QByteArray(",dedod/1234567").repeated(MapLink::kMaxLineListChars / 14 + 1) + "\r\n";
        for (int answer = 1; answer <= 2; ++answer) {
            link.bRequestLines = true;
            link.dtLinesTime = DateTime::zero();
            rig->peer.peer->write(tooLong);
            QTRY_VERIFY_WITH_TIMEOUT(!link.bRequestLines, 20000);
            QCOMPARE(link.dtLinesTime, rig->gw.clock().now());
            QCOMPARE(rows.strLinesList, QStringLiteral(",11-111-11,"));
            QVERIFY(!rows.bLinesChanged);
            QVERIFY(rig->gw.mapLink().recvBuf().size() <= MapLink::kMaxLineListChars);
        }
        // The map link's own records (the supervisor may meanwhile try the
        // databases this rig has not got).
        const auto linkRecords = [&] {
            return rig->home.lines(QStringLiteral("Debug.TXT"))
                .filter(QStringLiteral(" sckmap_DataArrival: "));
        };
        QStringList records = linkRecords();
        QCOMPARE(records.size(), 1);
        QVERIFY2(records.first().contains(
                     QStringLiteral("The map server's line list is longer than %1 characters")
                         .arg(MapLink::kMaxLineListChars)),
            qPrintable(records.first()));

        // The rest of the refused list was no message; the next list is read
        // and its return is told.
        QVERIFY(rig->peer.feed("$Q,0,dedod/7654321\r\n"));
        QTRY_COMPARE(rows.strLinesList, QStringLiteral(",76-543-21,"));
        records = linkRecords();
        QVERIFY2(records.size() == 2, qPrintable(records.join(QLatin1Char('\n'))));
        QVERIFY(records.last().contains(QStringLiteral("line list is read again")));
    }

    void connectErrors_data()
    {
        QTest::addColumn<bool>("logOnLoaded");
        QTest::newRow("logon dialog loaded") << true;
        QTest::newRow("no logon dialog") << false;
    }
    void connectErrors()
    {
        QFETCH(bool, logOnLoaded);
        Rig rig;
        // A port nobody listens on: the connection is refused.
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
        rig.gw.mapSettings().iMapPort = quint16(probe.serverPort());
        probe.close();
        rig.gw.mapSettings().strMapIP = QStringLiteral("127.0.0.1");
        rig.gw.windows().setLoaded(WindowTable::Window::LogOn, logOnLoaded);
        rig.gw.tasks().setStep(TaskStep::StartConnectAll);
        rig.gw.tasks().setInterval(60000);
        rig.gw.tasks().enable();
        rig.gw.mapLink().MapConnect();
        QTRY_VERIFY(rig.home.exists(QStringLiteral("Debug.TXT")));
        QVERIFY(debugLog(rig).contains(QStringLiteral("sckmap_Error: Can't connect to Map")));
        if (logOnLoaded) {
            QCOMPARE(rig.ui.messages.size(), 1);
            QVERIFY(rig.ui.messages.first().text.startsWith(
                QStringLiteral("Error Connecting to Map. Error:\r\n")));
            QVERIFY(rig.ui.messages.first().text.size() > 33);
            QCOMPARE(rig.ui.messages.first().title, QStringLiteral("Connecting to Map"));
            QCOMPARE(rig.ui.messages.first().icon, Ui::Icon::Critical);
            QVERIFY(!rig.gw.tasks().isActive());
            QCOMPARE(rig.gw.tasks().step(), TaskStep::None);
            QCOMPARE(rig.ui.count(QStringLiteral("reOrderLogOn:Usual")), 1);
        } else {
            QVERIFY(rig.ui.messages.isEmpty());
            QVERIFY(rig.gw.tasks().isActive());
            QCOMPARE(rig.gw.tasks().step(), TaskStep::StartConnectAll);
        }
        QCOMPARE(rig.gw.sckMap().state(), MapSocket::State::Error);

        // The next MapConnect closes and starts again.
        MapPeer peer(rig.gw);
        QVERIFY(peer.connectGateway());
    }

    // An answer leaves while its request is handled, not at a later turn of
    // the event loop: work queued meanwhile (a merge slice) would hold it
    // back. Only the peer's socket is waited on in the queued check, so the
    // gateway's socket gets no turn of its own to write in.
    void answerLeavesBeforeQueuedWork()
    {
        auto rig = connectedRig();
        QVERIFY(rig);
        QTcpSocket &peer = *rig->peer.peer;
        QObject context;
        bool checked = false;
        bool answered = false;
        connect(&rig->gw.sckMap(), &MapSocket::dataArrival, &context, [&] {
            QMetaObject::invokeMethod(
                &context,
                [&] {
                    answered = peer.waitForReadyRead(1000);
                    checked = true;
                },
                Qt::QueuedConnection);
        });
        peer.write("$A,L,\r\n");
        QTRY_VERIFY(checked);
        QVERIFY(answered);
        QCOMPARE(peer.readAll(), QByteArray("$SetUpdateMode,S\r\n"));
    }

    // Sending the login on a socket that is not connected is logged, not thrown.
    void loginWithoutConnection()
    {
        Rig rig;
        rig.gw.mapLink().sckmap_Connect();
        QVERIFY(debugLog(rig).contains(QStringLiteral("sckmap_Connect: Error Number: 40006")));
    }
};

QTEST_MAIN(TestMapLink)
#include "tst_maplink.moc"
