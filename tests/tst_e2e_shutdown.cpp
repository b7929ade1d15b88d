#include "TestSupport.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QtTest>

// The real executable, offscreen, on an empty program folder: it starts,
// and a stop signal ends it through the same orderly path as a confirmed exit.
class TestE2eShutdown : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void stopSignalEndsTheGateway();
    void stopWithTheLogOnDialogUpLeavesEndProgramLast();

private:
    // The real gateway, offscreen, with the role word, in home.
    static void start(QProcess &gateway, const TempHome &home);
};

void TestE2eShutdown::start(QProcess &gateway, const TempHome &home)
{
    const QString exe = qEnvironmentVariable("VOLMARA_BIN_DIR") + QStringLiteral("/volmara");
    QVERIFY2(QFile::exists(exe), qPrintable(exe));
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.insert(QStringLiteral("VOLMARA_HOME"), home.path());
    gateway.setProcessEnvironment(env);
    gateway.start(exe, {QStringLiteral("Server")});
    QVERIFY(gateway.waitForStarted(10000));
}

void TestE2eShutdown::stopSignalEndsTheGateway()
{
    TempHome home;
    QProcess gateway;
    start(gateway, home);
    if (QTest::currentTestFailed())
        return;
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

// No settings: the logon dialog waits for the operator in its own event loop
// when the stop comes. The end is the end: nothing under the dialog runs on
// and writes after the EndProgram record.
void TestE2eShutdown::stopWithTheLogOnDialogUpLeavesEndProgramLast()
{
    TempHome home;
    QProcess gateway;
    start(gateway, home);
    if (QTest::currentTestFailed())
        return;
    QTest::qWait(1500);
    QCOMPARE(gateway.state(), QProcess::Running);
    QElapsedTimer took;
    took.start();
    gateway.terminate();
    QVERIFY(gateway.waitForFinished(15000));
    qInfo("the gateway ended %lld ms after the stop signal", took.elapsed());
    QCOMPARE(gateway.exitStatus(), QProcess::NormalExit);
    QCOMPARE(gateway.exitCode(), 0);
    const QStringList lines = home.lines(QStringLiteral("Debug.TXT"));
    QVERIFY(!lines.isEmpty());
    QVERIFY2(lines.last().contains(QStringLiteral(" EndProgram: TimerFuncsError Number: 0")),
        qPrintable(lines.join(QLatin1Char('\n'))));
    QCOMPARE(lines.filter(QStringLiteral(" EndProgram: ")).size(), 1);
}

QTEST_GUILESS_MAIN(TestE2eShutdown)
#include "tst_e2e_shutdown.moc"
