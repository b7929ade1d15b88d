#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

// The Debian package "volmara", built by CPack from this build tree: its
// files, its computed dependencies, its maintainer scripts and its unit.
class TestPackage : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void contents();
    void controlAndScripts();
    void unitVerifies();

private:
    static QString run(const QString &program, const QStringList &args, int timeoutMs = 60000);

    QTemporaryDir m_out;
    QString m_deb;
};

QString TestPackage::run(const QString &program, const QStringList &args, int timeoutMs)
{
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(program, args);
    if (!p.waitForFinished(timeoutMs) || p.exitStatus() != QProcess::NormalExit
        || p.exitCode() != 0)
        return QStringLiteral("FAILED: ") + program + QLatin1Char(' ') + args.join(QLatin1Char(' '))
            + QLatin1Char('\n') + QString::fromUtf8(p.readAll());
    return QString::fromUtf8(p.readAll());
}

void TestPackage::initTestCase()
{
    for (const char *tool : {"cpack", "dpkg-deb", "dpkg-shlibdeps"}) {
        if (QStandardPaths::findExecutable(QString::fromLatin1(tool)).isEmpty())
            QSKIP(qPrintable(QStringLiteral("%1 is not installed").arg(QLatin1String(tool))));
    }
    const QString config = QDir(qEnvironmentVariable("VOLMARA_BUILD_DIR"))
                               .filePath(QStringLiteral("CPackConfig.cmake"));
    QVERIFY2(QFile::exists(config), qPrintable(config));
    QVERIFY(m_out.isValid());
    const QString log = run(QStringLiteral("cpack"),
        {QStringLiteral("-G"), QStringLiteral("DEB"), QStringLiteral("--config"), config,
            QStringLiteral("-B"), m_out.path()},
        240000);
    QVERIFY2(!log.startsWith(QStringLiteral("FAILED")), qPrintable(log));
    const QStringList debs
        = QDir(m_out.path()).entryList({QStringLiteral("volmara_*.deb")}, QDir::Files);
    QCOMPARE(debs.size(), 1);
    QVERIFY2(debs.first().startsWith(QStringLiteral("volmara_3.0.50_")), qPrintable(debs.first()));
    m_deb = QDir(m_out.path()).filePath(debs.first());
}

void TestPackage::contents()
{
    const QString list = run(QStringLiteral("dpkg-deb"), {QStringLiteral("-c"), m_deb});
    QVERIFY2(!list.startsWith(QStringLiteral("FAILED")), qPrintable(list));
    for (const char *file : {"./usr/bin/volmara\n", "./usr/bin/volmarad\n",
             "./usr/bin/volmara-mapsim\n", "./usr/bin/volmara-dbinit\n",
             "./usr/lib/systemd/system/volmarad.service\n", "./usr/share/doc/volmara/README.md\n",
             "./usr/share/doc/volmara/examples/Volmara.INI.example\n"})
        QVERIFY2(list.contains(QLatin1String(file)), qPrintable(QLatin1String(file) + list));
    // The executables are installed executable.
    for (const QString &line : list.split(QLatin1Char('\n'))) {
        if (line.contains(QStringLiteral("./usr/bin/")) && !line.endsWith(QLatin1Char('/')))
            QVERIFY2(line.startsWith(QStringLiteral("-rwxr-xr-x")), qPrintable(line));
    }
}

void TestPackage::controlAndScripts()
{
    const QString depends
        = run(QStringLiteral("dpkg-deb"), {QStringLiteral("-f"), m_deb, QStringLiteral("Depends")});
    // Computed from what the executables link, plus what they load.
    for (const char *package : {"libqt6core6", "libqt6network6", "libqt6sql6 ", "libqt6widgets6",
             "libodbc", "libqt6sql6-sqlite", "libqt6sql6-odbc", "adduser"})
        QVERIFY2(depends.contains(QLatin1String(package)),
            qPrintable(QLatin1String(package) + QStringLiteral(": ") + depends));

    const QString control = m_out.filePath(QStringLiteral("control"));
    const QString extracted
        = run(QStringLiteral("dpkg-deb"), {QStringLiteral("-e"), m_deb, control});
    QVERIFY2(!extracted.startsWith(QStringLiteral("FAILED")), qPrintable(extracted));
    QFile postinst(QDir(control).filePath(QStringLiteral("postinst")));
    QVERIFY(postinst.open(QIODevice::ReadOnly));
    QVERIFY(postinst.permissions() & QFileDevice::ExeOwner);
    const QByteArray script = postinst.readAll();
    QVERIFY(script.contains("adduser --system"));
    QVERIFY(script.contains("chown volmara:volmara /var/lib/volmara"));
    // The script is a valid shell script.
    QCOMPARE(
        QProcess::execute(QStringLiteral("sh"), {QStringLiteral("-n"), postinst.fileName()}), 0);
}

void TestPackage::unitVerifies()
{
    const QString analyze = QStandardPaths::findExecutable(QStringLiteral("systemd-analyze"));
    if (analyze.isEmpty())
        QSKIP("systemd-analyze is not installed");
    // The unit as packaged, with ExecStart= pointing at the packaged program.
    const QString root = m_out.filePath(QStringLiteral("root"));
    const QString unpacked = run(QStringLiteral("dpkg-deb"), {QStringLiteral("-x"), m_deb, root});
    QVERIFY2(!unpacked.startsWith(QStringLiteral("FAILED")), qPrintable(unpacked));
    QFile unit(root + QStringLiteral("/usr/lib/systemd/system/volmarad.service"));
    QVERIFY(unit.open(QIODevice::ReadOnly));
    QByteArray text = unit.readAll();
    for (const char *line : {"Type=notify\n", "Environment=VOLMARA_HOME=/var/lib/volmara\n",
             "User=volmara\n", "Restart=on-failure\n", "WatchdogSec=60\n", "ProtectSystem=strict\n",
             "ReadWritePaths=/var/lib/volmara\n", "NoNewPrivileges=yes\n",
             "ExecStart=/usr/bin/volmarad\n"})
        QVERIFY2(text.contains(line), line);
    text.replace("ExecStart=/usr/bin/volmarad",
        "ExecStart=" + QFile::encodeName(root) + "/usr/bin/volmarad");
    const QString copy = m_out.filePath(QStringLiteral("volmarad.service"));
    QFile out(copy);
    QVERIFY(out.open(QIODevice::WriteOnly));
    out.write(text);
    out.close();
    QProcess verify;
    verify.setProcessChannelMode(QProcess::MergedChannels);
    verify.start(analyze, {QStringLiteral("verify"), QStringLiteral("--man=no"), copy});
    QVERIFY(verify.waitForFinished(60000));
    const QString said = QString::fromUtf8(verify.readAll());
    QVERIFY2(verify.exitCode() == 0, qPrintable(said));
    // Warnings that concern the unit itself (not the host's other units).
    for (const QString &line : said.split(QLatin1Char('\n'), Qt::SkipEmptyParts))
        QVERIFY2(!line.contains(QStringLiteral("volmarad.service")), qPrintable(said));
}

QTEST_GUILESS_MAIN(TestPackage)
#include "tst_package.moc"
