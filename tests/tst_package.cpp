#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

// The Debian packages "volmara-daemon" and "volmara", built by CPack from this
// build tree: their files, dependencies, maintainer scripts and units, what
// lintian says of them, and an install and purge into a throwaway root.
class TestPackage : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void files_data();
    void files();
    void dependencies_data();
    void dependencies();
    void daemonLinksNoGui();
    void lintian();
    void maintainerScripts();
    void unitsVerify_data();
    void unitsVerify();
    void installAndPurge();
    void serviceActions_data();
    void serviceActions();

private:
    struct Result
    {
        int code = -1;
        QString out;
        bool ok() const { return code == 0; }
    };
    static Result run(const QString &program, const QStringList &args, int timeoutMs = 60000,
        const QProcessEnvironment &env = QProcessEnvironment::systemEnvironment());
    QString deb(const QString &package) const { return m_debs.value(package); }
    QString unpacked(const QString &package);
    QString control(const QString &package);
    static bool isRoot() { return ::geteuid() == 0; }

    QTemporaryDir m_out;
    QHash<QString, QString> m_debs;
};

TestPackage::Result TestPackage::run(
    const QString &program, const QStringList &args, int timeoutMs, const QProcessEnvironment &env)
{
    QProcess p;
    p.setProcessEnvironment(env);
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(program, args);
    Result r;
    if (!p.waitForFinished(timeoutMs)) {
        p.kill();
        p.waitForFinished();
        r.out = program + QStringLiteral(" did not finish");
        return r;
    }
    r.code = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.out = QString::fromUtf8(p.readAll());
    return r;
}

QString TestPackage::unpacked(const QString &package)
{
    const QString dir = m_out.filePath(QStringLiteral("x-") + package);
    if (!QFileInfo::exists(dir))
        run(QStringLiteral("dpkg-deb"), {QStringLiteral("-x"), deb(package), dir});
    return dir;
}

QString TestPackage::control(const QString &package)
{
    const QString dir = m_out.filePath(QStringLiteral("c-") + package);
    if (!QFileInfo::exists(dir))
        run(QStringLiteral("dpkg-deb"), {QStringLiteral("-e"), deb(package), dir});
    return dir;
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
    const Result made = run(QStringLiteral("cpack"),
        {QStringLiteral("-G"), QStringLiteral("DEB"), QStringLiteral("--config"), config,
            QStringLiteral("-B"), m_out.path()},
        240000);
    QVERIFY2(made.ok(), qPrintable(made.out));
    const QStringList debs = QDir(m_out.path()).entryList({QStringLiteral("*.deb")}, QDir::Files);
    QCOMPARE(debs.size(), 2);
    for (const QString &name : {QStringLiteral("volmara-daemon"), QStringLiteral("volmara")}) {
        const QString file = name + QStringLiteral("_3.0.50_");
        for (const QString &d : debs) {
            if (d.startsWith(file))
                m_debs.insert(name, m_out.filePath(d));
        }
        QVERIFY2(m_debs.contains(name), qPrintable(debs.join(QLatin1Char(' '))));
    }
}

void TestPackage::files_data()
{
    QTest::addColumn<QString>("package");
    QTest::addColumn<QStringList>("present");
    QTest::addColumn<QStringList>("absent");
    QTest::newRow("volmara-daemon")
        << "volmara-daemon"
        << QStringList{"./usr/bin/volmarad", "./usr/bin/volmara-dbinit", "./usr/bin/volmara-mapsim",
               "./usr/lib/systemd/system/volmarad.service",
               "./usr/lib/systemd/system/volmarad@.service",
               "./usr/share/volmara/Volmara.INI.example", "./usr/share/volmara/volmara-alerts.yml",
               "./usr/share/man/man8/volmarad.8.gz", "./usr/share/man/man1/volmara-dbinit.1.gz",
               "./usr/share/man/man1/volmara-mapsim.1.gz",
               "./usr/share/doc/volmara-daemon/copyright",
               "./usr/share/doc/volmara-daemon/changelog.gz",
               "./usr/share/doc/volmara-daemon/README.md"}
        << QStringList{"./usr/bin/volmara", "./usr/share/man/man1/volmara.1.gz"};
    QTest::newRow("volmara") << "volmara"
                             << QStringList{"./usr/bin/volmara",
                                    "./usr/share/man/man1/volmara.1.gz",
                                    "./usr/share/doc/volmara/copyright",
                                    "./usr/share/doc/volmara/changelog.gz"}
                             << QStringList{"./usr/bin/volmarad", "./usr/bin/volmara-dbinit",
                                    "./usr/bin/volmara-mapsim",
                                    "./usr/lib/systemd/system/volmarad.service",
                                    "./usr/share/volmara/Volmara.INI.example"};
}

void TestPackage::files()
{
    QFETCH(QString, package);
    QFETCH(QStringList, present);
    QFETCH(QStringList, absent);
    const Result list = run(QStringLiteral("dpkg-deb"), {QStringLiteral("-c"), deb(package)});
    QVERIFY2(list.ok(), qPrintable(list.out));
    // "-rwxr-xr-x root/root 123 2026-12-08 10:00 ./usr/bin/volmarad"
    QHash<QString, QString> modes;
    for (const QString &line : list.out.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        const QStringList f = line.split(QLatin1Char(' '), Qt::SkipEmptyParts);
        QVERIFY2(f.size() >= 6, qPrintable(line));
        QCOMPARE(f.at(1), QStringLiteral("root/root"));
        modes.insert(f.last(), f.first());
    }
    for (const QString &path : present)
        QVERIFY2(modes.contains(path), qPrintable(path + QLatin1Char('\n') + list.out));
    for (const QString &path : absent)
        QVERIFY2(!modes.contains(path), qPrintable(path));
    for (auto it = modes.cbegin(); it != modes.cend(); ++it) {
        if (it.value().startsWith(QLatin1Char('d')))
            continue;
        const bool program = it.key().startsWith(QStringLiteral("./usr/bin/"));
        QCOMPARE(it.value(), program ? QStringLiteral("-rwxr-xr-x") : QStringLiteral("-rw-r--r--"));
    }
}

void TestPackage::dependencies_data()
{
    QTest::addColumn<QString>("package");
    QTest::addColumn<QStringList>("wanted");
    QTest::addColumn<QStringList>("unwanted");
    // Computed from what the executables link, plus what they load.
    QTest::newRow("volmara-daemon")
        << "volmara-daemon"
        << QStringList{"libqt6core6", "libqt6network6", "libqt6sql6", "libodbc2",
               "libqt6sql6-sqlite", "libqt6sql6-odbc", "unixodbc", "passwd"}
        << QStringList{"libqt6gui6", "libqt6widgets6", "libqt6opengl6", "volmara"};
    QTest::newRow("volmara") << "volmara"
                             << QStringList{"volmara-daemon (= 3.0.50)", "libqt6widgets6",
                                    "libqt6gui6"}
                             << QStringList{};
}

void TestPackage::dependencies()
{
    QFETCH(QString, package);
    QFETCH(QStringList, wanted);
    QFETCH(QStringList, unwanted);
    const Result field = run(QStringLiteral("dpkg-deb"),
        {QStringLiteral("-f"), deb(package), QStringLiteral("Depends")});
    QVERIFY2(field.ok(), qPrintable(field.out));
    // "a (>= 1), b" -> "a (>= 1)", "b"; a name is matched whole.
    QStringList entries;
    QStringList names;
    for (const QString &e : field.out.trimmed().split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        entries << e.trimmed();
        names << e.trimmed().section(QLatin1Char(' '), 0, 0);
    }
    for (const QString &w : wanted)
        QVERIFY2(entries.contains(w) || names.contains(w),
            qPrintable(w + QStringLiteral(": ") + field.out));
    for (const QString &u : unwanted)
        QVERIFY2(!names.contains(u), qPrintable(u + QStringLiteral(": ") + field.out));
}

void TestPackage::daemonLinksNoGui()
{
    const QString readelf = QStandardPaths::findExecutable(QStringLiteral("readelf"));
    if (readelf.isEmpty())
        QSKIP("readelf is not installed (binutils)");
    const QString root = unpacked(QStringLiteral("volmara-daemon"));
    const QRegularExpression gui(QStringLiteral("libQt6(Gui|Widgets|OpenGL)|libX|libxcb|libGL"));
    const QStringList programs
        = QDir(root + QStringLiteral("/usr/bin")).entryList(QDir::Files, QDir::Name);
    QCOMPARE(programs, (QStringList{"volmara-dbinit", "volmara-mapsim", "volmarad"}));
    for (const QString &program : programs) {
        const Result dyn
            = run(readelf, {QStringLiteral("-d"), root + QStringLiteral("/usr/bin/") + program});
        QVERIFY2(dyn.ok(), qPrintable(dyn.out));
        QVERIFY2(dyn.out.contains(QStringLiteral("libQt6Core.so.6")), qPrintable(dyn.out));
        for (const QString &line : dyn.out.split(QLatin1Char('\n'))) {
            if (line.contains(QStringLiteral("(NEEDED)")))
                QVERIFY2(!line.contains(gui), qPrintable(program + QStringLiteral(": ") + line));
        }
    }
}

void TestPackage::lintian()
{
    const QString lintian = QStandardPaths::findExecutable(QStringLiteral("lintian"));
    if (lintian.isEmpty())
        QSKIP("lintian is not installed (scripts/deps installs it): packages not linted");
    const Result said = run(lintian,
        {QStringLiteral("--fail-on"), QStringLiteral("error,warning"),
            deb(QStringLiteral("volmara-daemon")), deb(QStringLiteral("volmara"))},
        300000);
    QVERIFY2(said.ok(), qPrintable(said.out));
}

void TestPackage::maintainerScripts()
{
    const QDir daemon(control(QStringLiteral("volmara-daemon")));
    for (const QString &name :
        {QStringLiteral("postinst"), QStringLiteral("prerm"), QStringLiteral("postrm")}) {
        QFile script(daemon.filePath(name));
        QVERIFY2(script.open(QIODevice::ReadOnly), qPrintable(script.fileName()));
        QVERIFY(script.permissions() & QFileDevice::ExeOwner);
        // An install that leaves /usr/share/doc out must still configure.
        QVERIFY2(!script.readAll().contains("/usr/share/doc"), qPrintable(name));
        QCOMPARE(
            QProcess::execute(QStringLiteral("sh"), {QStringLiteral("-n"), script.fileName()}), 0);
    }
    // The window program's package has nothing to set up.
    const QDir gui(control(QStringLiteral("volmara")));
    for (const char *name : {"preinst", "postinst", "prerm", "postrm"})
        QVERIFY2(!gui.exists(QLatin1String(name)), name);
}

void TestPackage::unitsVerify_data()
{
    QTest::addColumn<QString>("unit");
    QTest::addColumn<QString>("verifyAs");
    QTest::addColumn<QString>("home");
    QTest::newRow("one site") << "volmarad.service"
                              << "volmarad.service"
                              << "/var/lib/volmara";
    QTest::newRow("template") << "volmarad@.service"
                              << "volmarad@siteA.service"
                              << "/var/lib/volmara/%i";
}

void TestPackage::unitsVerify()
{
    QFETCH(QString, unit);
    QFETCH(QString, verifyAs);
    QFETCH(QString, home);
    QFile file(unpacked(QStringLiteral("volmara-daemon"))
        + QStringLiteral("/usr/lib/systemd/system/") + unit);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QByteArray text = file.readAll();
    const QByteArray h = home.toUtf8();
    for (const QByteArray &line : {QByteArray("Type=notify"), "Environment=VOLMARA_HOME=" + h,
             "WorkingDirectory=" + h, "ReadWritePaths=" + h, QByteArray("User=volmara"),
             QByteArray("ExecStart=/usr/bin/volmarad"),
             QByteArray("ExecReload=/bin/kill -HUP $MAINPID"), QByteArray("Restart=on-failure"),
             QByteArray("RestartPreventExitStatus=78"), QByteArray("WatchdogSec=60"),
             QByteArray("ProtectSystem=strict"), QByteArray("NoNewPrivileges=yes")})
        QVERIFY2(text.contains("\n" + line + "\n"), line.constData());

    const QString analyze = QStandardPaths::findExecutable(QStringLiteral("systemd-analyze"));
    if (analyze.isEmpty())
        QSKIP("systemd-analyze is not installed: units not verified");
    // The unit as packaged, its ExecStart= pointing at the packaged program.
    text.replace("ExecStart=/usr/bin/volmarad",
        "ExecStart=" + QFile::encodeName(unpacked(QStringLiteral("volmara-daemon")))
            + "/usr/bin/volmarad");
    const QString dir = m_out.filePath(QStringLiteral("units"));
    QVERIFY(QDir().mkpath(dir));
    QFile copy(QDir(dir).filePath(unit));
    QVERIFY(copy.open(QIODevice::WriteOnly));
    copy.write(text);
    copy.close();
    // A template is verified through an instance, which loads it from the
    // same folder and fills in %i.
    const Result said = run(analyze,
        {QStringLiteral("verify"), QStringLiteral("--man=no"), QDir(dir).filePath(verifyAs)});
    QVERIFY2(said.ok(), qPrintable(said.out));
    // Warnings about the unit itself (not the host's other units) fail too.
    const QString stem = unit.section(QLatin1Char('.'), 0, 0);
    for (const QString &line : said.out.split(QLatin1Char('\n'), Qt::SkipEmptyParts))
        QVERIFY2(!line.contains(stem), qPrintable(said.out));
}

void TestPackage::installAndPurge()
{
    if (!isRoot())
        QSKIP("dpkg --root needs root: install and purge not tried (README tells how)");
    // A root with an empty package database and its own user database. The
    // maintainer scripts run outside a chroot with DPKG_ROOT set; the
    // libraries the packages need are not in this root, so dependencies are
    // not enforced here (the dependencies test checks them).
    const QString root = m_out.filePath(QStringLiteral("root"));
    QDir r;
    for (const char *dir : {"/var/lib/dpkg/updates", "/var/lib/dpkg/info", "/etc", "/var/log"})
        QVERIFY(r.mkpath(root + QLatin1String(dir)));
    const QList<QPair<const char *, const char *>> seed{{"/var/lib/dpkg/status", ""},
        {"/etc/passwd", "root:x:0:0:root:/root:/bin/sh\n"}, {"/etc/group", "root:x:0:\n"},
        {"/etc/shadow", "root:*:19000:0:99999:7:::\n"}, {"/etc/gshadow", "root:*::\n"}};
    for (const auto &[name, content] : seed) {
        QFile f(root + QLatin1String(name));
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(content);
    }
    const QStringList dpkg{QStringLiteral("--root=") + root,
        QStringLiteral("--log=") + root + QStringLiteral("/var/log/dpkg.log"),
        QStringLiteral("--force-script-chrootless"), QStringLiteral("--force-depends")};
    const QStringList install = dpkg
        + QStringList{QStringLiteral("--path-exclude=/usr/share/doc/*"), QStringLiteral("-i"),
            deb(QStringLiteral("volmara-daemon")), deb(QStringLiteral("volmara"))};
    Result done = run(QStringLiteral("dpkg"), install, 120000);
    QVERIFY2(done.ok(), qPrintable(done.out));

    auto read = [&](const QString &path) {
        QFile f(root + path);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    };
    const QRegularExpression user(QStringLiteral("^volmara:x:(\\d+):(\\d+):[^:]*:/var/lib/volmara:"
                                                 "/usr/sbin/nologin$"),
        QRegularExpression::MultilineOption);
    const auto account = user.match(QString::fromLatin1(read(QStringLiteral("/etc/passwd"))));
    QVERIFY2(account.hasMatch(), read(QStringLiteral("/etc/passwd")).constData());
    QVERIFY(read(QStringLiteral("/etc/group"))
                .contains("\nvolmara:x:" + account.captured(2).toLatin1()));
    QVERIFY(!QFileInfo::exists(root + QStringLiteral("/usr/share/doc/volmara-daemon/copyright")));
    // Owner, group and mode as the service's user needs them.
    auto owned = [&](const QString &path) {
        struct stat st;
        if (::stat(QFile::encodeName(root + path).constData(), &st) != 0)
            return QString();
        return QStringLiteral("%1:%2 %3")
            .arg(st.st_uid)
            .arg(st.st_gid)
            .arg(st.st_mode & 07777, 0, 8);
    };
    const QString ids = account.captured(1) + QLatin1Char(':') + account.captured(2);
    QCOMPARE(owned(QStringLiteral("/var/lib/volmara")), ids + QStringLiteral(" 750"));
    const QString settings = QStringLiteral("/var/lib/volmara/Volmara.INI");
    QCOMPARE(owned(settings), ids + QStringLiteral(" 640"));
    QCOMPARE(read(settings), read(QStringLiteral("/usr/share/volmara/Volmara.INI.example")));
    QVERIFY(read(settings).contains("\r\nStatusListen=127.0.0.1:9531\r\n"));

    // Installed again (as an upgrade does), an edited settings file stays.
    {
        QFile f(root + settings);
        QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Append));
        f.write("; edited\r\n");
    }
    done = run(QStringLiteral("dpkg"), install, 120000);
    QVERIFY2(done.ok(), qPrintable(done.out));
    QVERIFY(read(settings).endsWith("; edited\r\n"));
    QCOMPARE(read(QStringLiteral("/etc/passwd")).count("\nvolmara:"), 1);

    // A site of the template, enabled; and another package's enabled unit.
    QVERIFY(r.mkpath(root + QStringLiteral("/var/lib/volmara/siteA")));
    const QString wants = root + QStringLiteral("/etc/systemd/system/multi-user.target.wants/");
    QVERIFY(r.mkpath(wants));
    QVERIFY(QFile::link(QStringLiteral("/usr/lib/systemd/system/volmarad@.service"),
        wants + QStringLiteral("volmarad@siteA.service")));
    QVERIFY(QFile::link(QStringLiteral("/usr/lib/systemd/system/other.service"),
        wants + QStringLiteral("other.service")));

    done = run(QStringLiteral("dpkg"),
        dpkg
            + QStringList{QStringLiteral("--purge"), QStringLiteral("volmara"),
                QStringLiteral("volmara-daemon")},
        120000);
    QVERIFY2(done.ok(), qPrintable(done.out));
    QVERIFY(!QFileInfo::exists(root + QStringLiteral("/var/lib/volmara")));
    QVERIFY(!QFileInfo::exists(root + QStringLiteral("/usr/bin/volmarad")));
    QVERIFY(!read(QStringLiteral("/etc/passwd")).contains("volmara"));
    QVERIFY(!read(QStringLiteral("/etc/group")).contains("volmara"));
    QVERIFY(!read(QStringLiteral("/etc/shadow")).contains("volmara"));
    QVERIFY(!QFileInfo(wants + QStringLiteral("volmarad@siteA.service")).isSymLink());
    QVERIFY(QFileInfo(wants + QStringLiteral("other.service")).isSymLink());
}

void TestPackage::serviceActions_data()
{
    QTest::addColumn<QString>("script");
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QStringList>("calls");
    const QString reload = QStringLiteral("systemctl --system daemon-reload");
    QTest::newRow("first install")
        << "postinst" << QStringList{"configure", ""} << QStringList{reload};
    QTest::newRow("upgrade") << "postinst" << QStringList{"configure", "3.0.49"}
                             << QStringList{reload,
                                    "deb-systemd-invoke try-restart volmarad.service "
                                    "volmarad@*.service"};
    QTest::newRow("prerm before upgrade")
        << "prerm" << QStringList{"upgrade", "3.0.51"} << QStringList{};
    QTest::newRow("remove") << "prerm" << QStringList{"remove"}
                            << QStringList{"deb-systemd-invoke stop volmarad.service "
                                           "volmarad@*.service"};
    QTest::newRow("postrm remove") << "postrm" << QStringList{"remove"} << QStringList{reload};
}

// What the scripts ask of the service manager, on a host that runs systemd.
// They run in a mount namespace of their own: /run says systemd is there,
// /etc is a copy and /var/lib an empty tmpfs, and systemctl and
// deb-systemd-invoke are stand-ins that write down how they were called.
// That try-restart restarts only running units is systemctl's part.
void TestPackage::serviceActions()
{
    QFETCH(QString, script);
    QFETCH(QStringList, args);
    QFETCH(QStringList, calls);
    if (!isRoot() || QStandardPaths::findExecutable(QStringLiteral("unshare")).isEmpty())
        QSKIP("needs root and unshare for a mount namespace: service actions not tried");
    QTemporaryDir work;
    QVERIFY(work.isValid());
    const QString fake = work.filePath(QStringLiteral("bin"));
    QVERIFY(QDir().mkpath(fake));
    for (const char *tool : {"systemctl", "deb-systemd-invoke"}) {
        QFile f(QDir(fake).filePath(QLatin1String(tool)));
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(QByteArray("#!/bin/sh\necho \"") + tool + " $*\" >> \"$CALLS\"\n");
        f.close();
        f.setPermissions(f.permissions() | QFileDevice::ExeOwner);
    }
    auto hostUsers = [] {
        QFile f(QStringLiteral("/etc/passwd"));
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    };
    const QByteArray usersBefore = hostUsers();
    // The settings file is there, so postinst needs nothing from /usr/share.
    const QString body
        = QStringLiteral("set -e\n"
                         "mount -t tmpfs tmpfs /run && mkdir -p /run/systemd/system\n"
                         "cp -a /etc \"$WORK/etc\" && mount --bind \"$WORK/etc\" /etc\n"
                         "mount -t tmpfs tmpfs /var/lib\n"
                         "mkdir -p /var/lib/volmara && : > /var/lib/volmara/Volmara.INI\n"
                         "PATH=\"$WORK/bin:$PATH\" sh \"$SCRIPT\" \"$@\"\n");
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("DPKG_ROOT"));
    env.insert(QStringLiteral("WORK"), work.path());
    env.insert(QStringLiteral("CALLS"), work.filePath(QStringLiteral("calls")));
    env.insert(
        QStringLiteral("SCRIPT"), QDir(control(QStringLiteral("volmara-daemon"))).filePath(script));
    const Result done = run(QStringLiteral("unshare"),
        QStringList{QStringLiteral("--mount"), QStringLiteral("--propagation"),
            QStringLiteral("private"), QStringLiteral("sh"), QStringLiteral("-c"), body,
            QStringLiteral("sh")}
            + args,
        60000, env);
    if (done.code != 0 && done.out.contains(QStringLiteral("unshare failed")))
        QSKIP(qPrintable(QStringLiteral("no mount namespace here: ") + done.out));
    QVERIFY2(done.ok(), qPrintable(done.out));
    QFile log(work.filePath(QStringLiteral("calls")));
    const QString said
        = log.open(QIODevice::ReadOnly) ? QString::fromUtf8(log.readAll()) : QString();
    QCOMPARE(said.split(QLatin1Char('\n'), Qt::SkipEmptyParts), calls);
    // Nothing reached the host's own user database.
    QCOMPARE(hostUsers(), usersBefore);
}

QTEST_GUILESS_MAIN(TestPackage)
#include "tst_package.moc"
