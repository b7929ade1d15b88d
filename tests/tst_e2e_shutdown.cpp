#include "TestSupport.h"

#include <QProcess>
#include <QtTest>

// The real executable, offscreen, on an empty program folder: it starts,
// and a stop signal ends it through the same orderly path as a confirmed exit.
class TestE2eShutdown : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void stopSignalEndsTheGateway();
};

void TestE2eShutdown::stopSignalEndsTheGateway()
{
    TempHome home;
    const QString exe = qEnvironmentVariable("VOLMARA_BIN_DIR") + QStringLiteral("/volmara");
    QVERIFY2(QFile::exists(exe), qPrintable(exe));
    QProcess gateway;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.insert(QStringLiteral("VOLMARA_HOME"), home.path());
    gateway.setProcessEnvironment(env);
    gateway.start(exe, {QStringLiteral("Server")});
    QVERIFY(gateway.waitForStarted(10000));
    // Give it time to reach its event loop, then ask it to stop.
    QTest::qWait(1000);
    QCOMPARE(gateway.state(), QProcess::Running);
    gateway.terminate();
    QVERIFY(gateway.waitForFinished(15000));
    QCOMPARE(gateway.exitStatus(), QProcess::NormalExit);
    QCOMPARE(gateway.exitCode(), 0);
    const QStringList lines = home.lines(QStringLiteral("Debug.TXT"));
    QVERIFY2(!lines.filter(QStringLiteral(" EndProgram: TimerFuncsError Number: 0")).isEmpty(),
        qPrintable(lines.join(QLatin1Char('\n'))));
}

QTEST_GUILESS_MAIN(TestE2eShutdown)
#include "tst_e2e_shutdown.moc"
