#include "CoreParts.h"

#include "common/MenuMarks.h"
#include "model/clsLine.h"
#include "model/mdlSendScheds.h"
#include "platform/Clock.h"
#include "platform/CodePage.h"
#include "platform/DateTime.h"
#include "platform/Failure.h"

#include <QtTest>

#include <memory>

// The "ExpLineSched" messages as the map server receives them: pushes of the
// changed lines and answers to requests, byte for byte in Windows-1255.
class TestSendScheds : public QObject
{
    Q_OBJECT

private:
    // The export with the map connection as it sees it: the bytes it sends
    // (in the code page) while the connection is up, failure 40006 while not.
    struct Rig
    {
        struct Wire
        {
            bool up = false;
            QByteArray bytes;
            int room = -1; // messages it takes before it is full; -1: no limit
            int msPerMessage = 0; // how long a send takes
            bool connectGateway() { return up = true; }
            QByteArray takeReceived() { return std::exchange(bytes, QByteArray()); }
        };

        CoreParts gw;
        const TempHome &home = gw.home;
        Wire peer;
        mdlSendScheds sendScheds{gw.day,
            [this](const QString &text) {
                if (!peer.up)
                    throw Failure(Failure::WrongProtocolState);
                peer.bytes += CodePage::toBytes(text);
                QThread::msleep(peer.msPerMessage);
                return peer.room < 0 || --peer.room > 0;
            },
            gw.marks, gw.clock, gw.log};
        Rig() { gw.clock.setNow(QDateTime(QDate(2024, 3, 5), QTime(10, 20, 30))); }
        void run(const QString &type, const QString &buf = QString())
        {
            QString t = type;
            QString b = buf;
            sendScheds.ProcessExpLineSchedReq(t, b);
            lastType = t;
        }
        QString lastType;
    };

    static std::shared_ptr<clsSched> sched(const QString &vehicle, QTime start, QTime end,
        qint16 stops, const QString &times, const QString &driver)
    {
        auto s = std::make_shared<clsSched>();
        s->ORVIKID = vehicle;
        s->StartDT = QDateTime(QDate(2024, 3, 5), start);
        s->EndDT = end.isValid() ? QDateTime(QDate(2024, 3, 6), end) : DateTime::zero();
        s->Stops = stops;
        s->StTimes = times;
        s->DriverName = driver;
        return s;
    }

    static std::shared_ptr<clsLine> addLine(
        colLinesType &lines, const QString &key, const QString &makat, bool isNew)
    {
        auto line = std::make_shared<clsLine>();
        line->Idx = key;
        line->Makat = makat;
        line->bNew = isNew;
        lines.insertInKeyOrder(key, line);
        return line;
    }

    // Three lines: 123456 (two trips, new), 223456 (not new), 323456 (new, no trips).
    static void fillDay(CoreParts &gw)
    {
        gw.day.colLines = std::make_unique<colLinesType>();
        colLinesType &lines = *gw.day.colLines;
        auto first = addLine(lines, QStringLiteral("123456"), QStringLiteral("34506201"), true);
        first->Scheds.add(QStringLiteral("11"),
            sched(QString(), QTime(6, 5), QTime(14, 30), 3, QStringLiteral("1;0;1;2;5;1"),
                QStringLiteral("משה כהן")));
        first->Scheds.add(QStringLiteral("12"),
            sched(QStringLiteral("7654321"), QTime(23, 59), QTime(), 1, QString(), QString()));
        auto other = addLine(lines, QStringLiteral("223456"), QStringLiteral("34506202"), false);
        other->Scheds.add(QStringLiteral("21"),
            sched(QStringLiteral("1"), QTime(7, 0), QTime(8, 0), 1, QStringLiteral("0;0"),
                QString()));
        addLine(lines, QStringLiteral("323456"), QStringLiteral("34506203"), true);
    }

    // The first line's two entries, Hebrew in Windows-1255.
    static QByteArray firstEntries()
    {
        return QByteArray("***-06:05-14:30-3:1;0;1;2;5;1-\xEE\xF9\xE4 \xEB\xE4\xEF"
                          "\\c7654321-23:59-00:00-1:");
    }

    static QString debugLog(const Rig &rig)
    {
        return rig.home.lines(QStringLiteral("Debug.TXT")).join(QLatin1Char('\n'));
    }

private Q_SLOTS:
    void push_data()
    {
        QTest::addColumn<QString>("type");
        QTest::newRow("Send New") << "Send New";
        QTest::newRow("send all") << "send all";
        QTest::newRow("anything else") << "Whatever";
    }
    void push()
    {
        QFETCH(QString, type);
        Rig rig;
        QVERIFY(rig.peer.connectGateway());
        fillDay(rig.gw);
        rig.run(type);
        QCOMPARE(rig.lastType, QStringLiteral("Send All"));
        const QByteArray expected = "$NotifyOrganization,dedod,ExpLineSched\\c34506201\\c"
            + firstEntries()
            + "\r\n$NotifyOrganization,dedod,ExpLineSched\\c34506203\\cNot Found\r\n";
        QCOMPARE(rig.peer.takeReceived(), expected);
        const colLinesType &lines = *rig.gw.day.colLines;
        for (const auto &line : lines) {
            QVERIFY(!line->bNew);
            // A push is not an answer: Sent stays as it was.
            for (const auto &s : line->Scheds)
                QVERIFY(DateTime::isZero(s->Sent));
        }
        QVERIFY(!rig.home.exists(QStringLiteral("Bufs.TXT")));
        QVERIFY(!rig.home.exists(QStringLiteral("Debug.TXT")));

        // Nothing changed since: the next push sends nothing.
        rig.run(type);
        QCOMPARE(rig.peer.takeReceived(), QByteArray());
    }

    void pushLoggedToBufs()
    {
        Rig rig;
        QVERIFY(rig.peer.connectGateway());
        fillDay(rig.gw);
        rig.gw.marks.setChecked(MenuMarks::mnuDebugAll, true);
        rig.run(QStringLiteral("Send New"));
        QCOMPARE(rig.home.read(QStringLiteral("Bufs.TXT")),
            "SendAll - $NotifyOrganization,dedod,ExpLineSched\\c34506201\\c" + firstEntries()
                + "\r\nSendAll - $NotifyOrganization,dedod,ExpLineSched\\c34506203\\c"
                  "Not Found\r\n");
    }

    void answer_data()
    {
        QTest::addColumn<QString>("request");
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<QString>("bufs");
        QTest::addColumn<QString>("answeredKey");
        QTest::newRow("known line")
            << "$MapNotification,ORG2,5,ExpLineSchedReq\\c34506201"
            << "$NotifyOrganization,ORG2,ExpLineSched\\c34506201\\c" + firstEntries() + "\r\n"
            << QString::fromUtf8("05/03/2024 10:20:30: O - $NotifyOrganization,ORG2,ExpLineSched"
                                 "\\c34506201\\c***-06:05-14:30-3:1;0;1;2;5;1-משה כהן"
                                 "\\c7654321-23:59-00:00-1:")
            << "123456";
        QTest::newRow("known line without trips")
            << "$MapNotification,dedod,5,ExpLineSchedReq,34506203"
            << QByteArray("$NotifyOrganization,dedod,ExpLineSched\\c34506203\\cNot Found\r\n")
            << "05/03/2024 10:20:30: O - $NotifyOrganization,dedod,ExpLineSched\\c34506203"
               "\\cNot Found"
            << "323456";
        // The answer names the code asked for, the log the key looked up.
        QTest::newRow("unknown line")
            << "$MapNotification,dedod,5,ExpLineSchedReq\\c12345678"
            << QByteArray("$NotifyOrganization,dedod,ExpLineSched\\c12345678\\cNot Found\r\n")
            << "05/03/2024 10:20:30: O - $NotifyOrganization,dedod,ExpLineSched\\c861235"
               "\\cNot Found"
            << QString();
        QTest::newRow("short code")
            << "$MapNotification,dedod,5,ExpLineSchedReq\\c12"
            << QByteArray("$NotifyOrganization,dedod,ExpLineSched\\c12\\cNot Found\r\n")
            << "05/03/2024 10:20:30: O - $NotifyOrganization,dedod,ExpLineSched\\c12\\cNot Found"
            << QString();
    }
    void answer()
    {
        QFETCH(QString, request);
        QFETCH(QByteArray, answer);
        QFETCH(QString, bufs);
        QFETCH(QString, answeredKey);
        Rig rig;
        QVERIFY(rig.peer.connectGateway());
        fillDay(rig.gw);
        rig.gw.marks.setChecked(MenuMarks::mnuDebugAll, true);
        rig.run(QStringLiteral("request"), request);
        QCOMPARE(rig.lastType, QStringLiteral("request"));
        QCOMPARE(rig.peer.takeReceived(), answer);
        QCOMPARE(rig.home.lines(QStringLiteral("Bufs.TXT")), QStringList{bufs});
        QVERIFY(!rig.home.exists(QStringLiteral("Debug.TXT")));

        // The answered line is sent and clear; the others are left as they were.
        const colLinesType &lines = *rig.gw.day.colLines;
        for (const auto &line : lines) {
            const bool answered = line->Idx == answeredKey;
            QCOMPARE(line->bNew, answered ? false : line->Idx != QLatin1String("223456"));
            for (const auto &s : line->Scheds)
                QCOMPARE(s->Sent, answered ? rig.gw.clock.now() : DateTime::zero());
        }
    }

    // A value from a database row cannot frame, split or shift the message it
    // goes into: "$", CR, LF, NUL, "," and "\c" become blanks, wherever the
    // value goes; anything else (Hebrew, long names) goes out as it is.
    void hostileValues_data()
    {
        QTest::addColumn<QString>("field"); // vehicle, times, driver, route
        QTest::addColumn<QString>("value");
        QTest::addColumn<QString>("sent");
        const QString forged = QStringLiteral("Dana\r\n$Q,0,dedod/9999999\r\n$A,L,");
        QTest::newRow("driver forging messages")
            << "driver" << forged << "Dana   Q 0 dedod/9999999   A L ";
        QTest::newRow("driver with item separator") << "driver"
                                                    << "Levi\\cCohen"
                                                    << "Levi Cohen";
        QTest::newRow("driver with comma") << "driver"
                                           << "Cohen, Moshe"
                                           << "Cohen  Moshe";
        QTest::newRow("driver with NUL") << "driver" << QStringLiteral("Da") + QChar(0) + "na"
                                         << "Da na";
        QTest::newRow("driver with backslash pair") << "driver"
                                                    << "a\\\\c"
                                                    << "a\\ ";
        QTest::newRow("driver with lone backslash") << "driver"
                                                    << "C:\\ d-\\"
                                                    << "C:\\ d-\\";
        QTest::newRow("Hebrew driver")
            << "driver" << QString::fromUtf8("בן-דוד יוסי") << QString::fromUtf8("בן-דוד יוסי");
        const QString longName = QString::fromUtf8("אבג").repeated(333) + QStringLiteral("d");
        QTest::newRow("1,000-character driver") << "driver" << longName << longName;
        QTest::newRow("vehicle with CR LF") << "vehicle"
                                            << "12\r\n34"
                                            << "12  34";
        QTest::newRow("vehicle with $ and NUL")
            << "vehicle" << QStringLiteral("$12") + QChar(0) << " 12 ";
        QTest::newRow("stop times with separator and comma") << "times"
                                                             << "1;0;1\\c2;5,1"
                                                             << "1;0;1 2;5 1";
        QTest::newRow("stop times with line end") << "times"
                                                  << "1;0;1\n$X"
                                                  << "1;0;1  X";
        QTest::newRow("route name with comma and separator") << "route"
                                                             << "34,0\\c201"
                                                             << "34 0 201";
    }
    void hostileValues()
    {
        QFETCH(QString, field);
        QFETCH(QString, value);
        QFETCH(QString, sent);
        Rig rig;
        QVERIFY(rig.peer.connectGateway());
        rig.gw.day.colLines = std::make_unique<colLinesType>();
        const QString route = field == "route" ? value : QStringLiteral("34506201");
        auto line = addLine(*rig.gw.day.colLines, QStringLiteral("123456"), route, true);
        line->Scheds.add(QStringLiteral("1"),
            sched(field == "vehicle" ? value : QStringLiteral("1234567"), QTime(6, 5), QTime(7, 0),
                2, field == "times" ? value : QStringLiteral("1;0;0"),
                field == "driver" ? value : QStringLiteral("Dana")));
        rig.run(QStringLiteral("Send New"));

        const QString vehicle = field == "vehicle" ? sent : QStringLiteral("1234567");
        const QString times = field == "times" ? sent : QStringLiteral("1;0;0");
        const QString driver = field == "driver" ? sent : QStringLiteral("Dana");
        const QString name = field == "route" ? sent : route;
        const QByteArray expected
            = CodePage::toBytes(QStringLiteral("$NotifyOrganization,dedod,ExpLineSched\\c") + name
                + QStringLiteral("\\c") + vehicle + QStringLiteral("-06:05-07:00-2:") + times
                + QLatin1Char('-') + driver + QStringLiteral("\r\n"));
        const QByteArray received = rig.peer.takeReceived();
        QCOMPARE(received, expected);
        // One message, its own framing only.
        QCOMPARE(received.count('$'), 1);
        QCOMPARE(received.count('\r'), 1);
        QCOMPARE(received.count('\n'), 1);
        QCOMPARE(received.count(','), 2);
        QCOMPARE(received.count("\\c"), 2);
        QVERIFY(!received.contains('\0'));
    }

    void lookupKey_data()
    {
        QTest::addColumn<QString>("code");
        QTest::addColumn<QString>("key");
        QTest::newRow("route name") << "34506201"
                                    << "123456";
        QTest::newRow("seven characters") << "3450620"
                                          << "023456";
        QTest::newRow("longer") << "345062019"
                                << "123456";
        QTest::newRow("two characters") << "12"
                                        << "12";
        QTest::newRow("empty") << ""
                               << "";
    }
    void lookupKey()
    {
        QFETCH(QString, code);
        QFETCH(QString, key);
        QCOMPARE(mdlSendScheds::lookupKey(code), key);
    }

    // Without lines (before the first rows, after the 04:00 reset) nothing is
    // sent and nothing is logged, whatever is asked.
    void noLines_data()
    {
        QTest::addColumn<QString>("type");
        QTest::addColumn<QString>("buf");
        QTest::newRow("push") << "Send New" << QString();
        QTest::newRow("request") << "Request"
                                 << "$MapNotification,dedod,5,ExpLineSchedReq\\c1";
        QTest::newRow("bad request") << "Request"
                                     << "$MapNotification";
    }
    void noLines()
    {
        QFETCH(QString, type);
        QFETCH(QString, buf);
        Rig rig;
        QVERIFY(rig.peer.connectGateway());
        rig.gw.marks.setChecked(MenuMarks::mnuDebugAll, true);
        rig.run(type, buf);
        QCOMPARE(rig.peer.takeReceived(), QByteArray());
        QVERIFY(!rig.home.exists(QStringLiteral("Debug.TXT")));
        QVERIFY(!rig.home.exists(QStringLiteral("Bufs.TXT")));
    }

    void failures_data()
    {
        QTest::addColumn<QString>("type");
        QTest::addColumn<QString>("buf");
        QTest::addColumn<QString>("record");
        QTest::newRow("push, not connected")
            << "Send New" << QString()
            << "ProcessExpLineSchedReq: Error - Send_AllError Number: 40006";
        QTest::newRow("request, too few fields")
            << "Request"
            << "$MapNotification,dedod,5,ExpLineSchedReq"
            << "ProcessExpLineSchedReq: Error - RequestError Number: 9";
        QTest::newRow("answer, not connected")
            << "Request"
            << "$MapNotification,dedod,5,ExpLineSchedReq\\c34506201"
            << "ProcessExpLineSchedReq: Error - RequestError Number: 40006";
    }
    void failures()
    {
        QFETCH(QString, type);
        QFETCH(QString, buf);
        QFETCH(QString, record);
        Rig rig;
        fillDay(rig.gw);
        rig.run(type, buf);
        QCOMPARE(rig.home.lines(QStringLiteral("Debug.TXT")).size(), 1);
        QVERIFY2(debugLog(rig).contains(record), qPrintable(debugLog(rig)));
    }

    // A push that fails keeps bNew of the failing and the later lines, so the
    // next cycle sends them once the connection is back.
    void failedPushKeepsLinesNew()
    {
        Rig rig;
        fillDay(rig.gw);
        rig.run(QStringLiteral("Send New"));
        const colLinesType &lines = *rig.gw.day.colLines;
        QVERIFY(lines.value(QStringLiteral("123456"))->bNew);
        QVERIFY(lines.value(QStringLiteral("323456"))->bNew);

        QVERIFY(rig.peer.connectGateway());
        rig.run(QStringLiteral("Send New"));
        const QByteArray received = rig.peer.takeReceived();
        QCOMPARE(received.count("$NotifyOrganization,dedod,ExpLineSched"), 2);
        QVERIFY(!lines.value(QStringLiteral("123456"))->bNew);
        QVERIFY(!lines.value(QStringLiteral("323456"))->bNew);
    }

    // A push stops when the connection is full, or when its slice of the
    // event loop is over, and the next "Send New" goes on where it stopped:
    // every changed line once, in key order.
    void pausedPushGoesOn_data()
    {
        QTest::addColumn<bool>("sliced");
        QTest::newRow("connection full") << false;
        QTest::newRow("slice over") << true;
    }
    void pausedPushGoesOn()
    {
        QFETCH(bool, sliced);
        Rig rig;
        QVERIFY(rig.peer.connectGateway());
        fillDay(rig.gw);
        const QByteArray all = [&] {
            Rig whole;
            whole.peer.connectGateway();
            fillDay(whole.gw);
            whole.run(QStringLiteral("Send New"));
            return whole.peer.takeReceived();
        }();
        QCOMPARE(all.count("$NotifyOrganization"), 2);

        int goOns = 0;
        if (sliced) {
            rig.sendScheds.setSlices(1, [&] { ++goOns; });
            rig.peer.msPerMessage = 2;
        } else {
            rig.peer.room = 1;
        }
        rig.run(QStringLiteral("Send New"));
        const QByteArray first = rig.peer.takeReceived();
        QCOMPARE(first.count("$NotifyOrganization"), 1);
        QVERIFY((*rig.gw.day.colLines).value(QStringLiteral("323456"))->bNew);
        // Only a slice asks to go on by itself; a full connection waits to drain.
        QCOMPARE(goOns, sliced ? 1 : 0);
        rig.peer.room = -1;
        rig.run(QStringLiteral("Send New"));
        QCOMPARE(first + rig.peer.takeReceived(), all);
        rig.run(QStringLiteral("Send New"));
        QCOMPARE(rig.peer.takeReceived(), QByteArray());
    }

    // A map server that reads less than a day's push per cycle: every cycle
    // flags every line again and the connection takes `room` messages. The
    // push goes round, so every line arrives within one round, each once
    // per round, in collection order; with room for all, each cycle sends
    // every line in order, as before.
    void pushGoesRound_data()
    {
        QTest::addColumn<int>("room"); // messages a cycle's push gets out; -1: all
        QTest::addColumn<int>("cycles"); // cycles within which every line arrives
        QTest::newRow("fast server") << -1 << 1;
        QTest::newRow("three a cycle") << 3 << 4;
        QTest::newRow("one a cycle") << 1 << 10;
    }
    void pushGoesRound()
    {
        QFETCH(int, room);
        QFETCH(int, cycles);
        Rig rig;
        QVERIFY(rig.peer.connectGateway());
        rig.gw.day.colLines = std::make_unique<colLinesType>();
        QStringList names;
        for (int i = 0; i < 10; ++i) {
            names << QStringLiteral("R%1").arg(i);
            addLine(*rig.gw.day.colLines, QStringLiteral("%1").arg(100000 + i), names.last(), true);
        }
        QStringList received;
        for (int cycle = 0; cycle < 3 * cycles; ++cycle) {
            for (const auto &line : *rig.gw.day.colLines)
                line->bNew = true;
            rig.peer.room = room;
            rig.run(QStringLiteral("Send New"));
            for (const QByteArray &m : rig.peer.takeReceived().split('\n')) {
                if (!m.isEmpty())
                    received << QString::fromLatin1(m.split('\\').value(1).mid(1));
            }
            if (cycle == cycles - 1)
                QCOMPARE(received, names); // the first round, whole and in order
        }
        // Three whole rounds, each line once in each.
        QCOMPARE(received, names + names + names);
    }

    // A round that takes longer than the limit is told once an hour.
    void slowRoundIsTold()
    {
        Rig rig;
        QVERIFY(rig.peer.connectGateway());
        fillDay(rig.gw);
        rig.peer.room = 1;
        rig.run(QStringLiteral("Send New"));
        rig.sendScheds.checkRound(45);
        QVERIFY(!rig.home.exists(QStringLiteral("Debug.TXT")));
        rig.gw.clock.advanceSeconds(50);
        rig.sendScheds.checkRound(45);
        rig.gw.clock.advanceSeconds(600);
        rig.sendScheds.checkRound(45);
        QStringList told = rig.home.lines(QStringLiteral("Debug.TXT"));
        QCOMPARE(told.size(), 1);
        QVERIFY2(told.first().contains(QStringLiteral("A push round has taken 50 s for ")),
            qPrintable(told.first()));
        rig.gw.clock.advanceSeconds(3000);
        rig.sendScheds.checkRound(45);
        QCOMPARE(rig.home.lines(QStringLiteral("Debug.TXT")).size(), 2);
    }

    // An answer updates Sent and bNew before its send, so they stay updated
    // when the send fails.
    void failedAnswerStillMarksSent()
    {
        Rig rig;
        fillDay(rig.gw);
        rig.run(QStringLiteral("Request"),
            QStringLiteral("$MapNotification,dedod,5,ExpLineSchedReq\\c34506201"));
        const auto first = rig.gw.day.colLines->value(QStringLiteral("123456"));
        QVERIFY(!first->bNew);
        for (const auto &s : first->Scheds)
            QCOMPARE(s->Sent, rig.gw.clock.now());
    }
};

QTEST_MAIN(TestSendScheds)
#include "tst_sendscheds.moc"
