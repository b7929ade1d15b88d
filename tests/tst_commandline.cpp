#include "app/CommandLine.h"

#include <QtTest>

// The command line of volmara and volmarad.
class TestCommandLine : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void parse_data();
    void parse();
    void helpNamesEveryOption();
    void statusListen_data();
    void statusListen();
};

Q_DECLARE_METATYPE(CommandLine::Action)

void TestCommandLine::parse_data()
{
    using A = CommandLine::Action;
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<CommandLine::Action>("action");
    QTest::addColumn<QString>("home");
    QTest::addColumn<QString>("role");
    QTest::addColumn<QString>("error"); // part of the refusal's text

    QTest::newRow("nothing: run as Server") << QStringList() << A::Run << ""
                                            << ""
                                            << "";
    QTest::newRow("Server") << QStringList{"Server"} << A::Run << ""
                            << "Server"
                            << "";
    QTest::newRow("client in any case") << QStringList{"cLiEnT"} << A::Run << ""
                                        << "cLiEnT"
                                        << "";
    QTest::newRow("home and role")
        << QStringList{"--home", "/srv/v", "Client"} << A::Run << "/srv/v"
        << "Client"
        << "";
    QTest::newRow("home=") << QStringList{"--home=/srv/v"} << A::Run << "/srv/v"
                           << ""
                           << "";
    QTest::newRow("check-config with home")
        << QStringList{"--check-config", "--home", "h"} << A::CheckConfig << "h"
        << ""
        << "";
    QTest::newRow("help wins") << QStringList{"--check-config", "--help"} << A::Help << ""
                               << ""
                               << "";
    QTest::newRow("-h") << QStringList{"-h"} << A::Help << ""
                        << ""
                        << "";
    QTest::newRow("version") << QStringList{"--version"} << A::Version << ""
                             << ""
                             << "";
    // Words are the role's command line, read whole by start-up: a launch
    // command of the old program never ends in a usage error.
    QTest::newRow("unknown word is the command line") << QStringList{"Sever"} << A::Run << ""
                                                      << "Sever"
                                                      << "";
    QTest::newRow("unknown option") << QStringList{"--verbose"} << A::UsageError << ""
                                    << ""
                                    << "unknown option --verbose";
    QTest::newRow("single-dash Qt option")
        << QStringList{"-platform", "offscreen"} << A::UsageError << ""
        << ""
        << "unknown option -platform";
    QTest::newRow("home without folder") << QStringList{"--home"} << A::UsageError << ""
                                         << ""
                                         << "--home wants a folder";
    QTest::newRow("empty home=") << QStringList{"--home="} << A::UsageError << ""
                                 << ""
                                 << "--home wants a folder";
    QTest::newRow("several words, joined")
        << QStringList{"Server", "--home", "h", "Client"} << A::Run << "h"
        << "Server Client"
        << "";
    QTest::newRow("help with a word") << QStringList{"--help", "bogus"} << A::Help << ""
                                      << "bogus"
                                      << "";
    QTest::newRow("single-dash unknown option")
        << QStringList{"-x", "Client"} << A::UsageError << ""
        << ""
        << "unknown option -x";
    QTest::newRow("home twice") << QStringList{"--home", "a", "--home", "b"} << A::UsageError << ""
                                << ""
                                << "--home given twice";
}

void TestCommandLine::parse()
{
    QFETCH(QStringList, args);
    QFETCH(CommandLine::Action, action);
    QFETCH(QString, home);
    QFETCH(QString, role);
    QFETCH(QString, error);
    const CommandLine::Result r = CommandLine::parse(args);
    QCOMPARE(r.action, action);
    if (action == CommandLine::Action::UsageError) {
        QVERIFY2(r.error.contains(error), qPrintable(r.error));
        return;
    }
    QCOMPARE(r.home, home);
    QCOMPARE(r.roleWord, role);
    QVERIFY(r.error.isEmpty());
}

void TestCommandLine::helpNamesEveryOption()
{
    for (const bool headless : {false, true}) {
        const QString help = CommandLine::helpText(QStringLiteral("x"), headless);
        for (const char *word : {"--home DIR", "--check-config", "--status-listen ADDRESS:PORT",
                 "--version", "--help", "Server", "Client", "SIGHUP", "64", "75", "78"})
            QVERIFY2(help.contains(QLatin1String(word)), word);
        QCOMPARE(help.contains(QStringLiteral("no display")), !headless);
    }
}

void TestCommandLine::statusListen_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("listen"); // empty: a usage error
    QTest::newRow("two words") << QStringList{"--status-listen", "127.0.0.1:9531", "Server"}
                               << "127.0.0.1:9531";
    QTest::newRow("one word, IPv6") << QStringList{"--status-listen=[::1]:9531"} << "[::1]:9531";
    QTest::newRow("no address") << QStringList{"--status-listen"} << "";
    QTest::newRow("a name, not an address") << QStringList{"--status-listen", "gw:9531"} << "";
    QTest::newRow("port 0") << QStringList{"--status-listen=127.0.0.1:0"} << "";
}

void TestCommandLine::statusListen()
{
    QFETCH(QStringList, args);
    QFETCH(QString, listen);
    const CommandLine::Result r = CommandLine::parse(args);
    QCOMPARE(
        r.action, listen.isEmpty() ? CommandLine::Action::UsageError : CommandLine::Action::Run);
    if (listen.isEmpty())
        QVERIFY2(r.error.startsWith(QStringLiteral("--status-listen")), qPrintable(r.error));
    else
        QCOMPARE(r.statusListen, listen);
}

QTEST_GUILESS_MAIN(TestCommandLine)
#include "tst_commandline.moc"
