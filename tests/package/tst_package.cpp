// The Debian package as its users meet it: built by CPack from this build,
// checked with the tools Debian checks packages with, then installed, run and
// purged (as root only).
#include "support/testmain.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QImage>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSet>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <unistd.h>

namespace {

struct Result {
    bool finished = false; // false: it could not start, or ran out of time and was killed
    int code = -1;
    QString out, err;
};

Result run(const QString& program, const QStringList& args, int timeoutMs = 300000,
           const QProcessEnvironment& env = QProcessEnvironment::systemEnvironment()) {
    QProcess p;
    p.setProcessEnvironment(env);
    p.start(program, args);
    Result r;
    if (!p.waitForStarted(10000)) return r;
    r.finished = p.waitForFinished(timeoutMs);
    if (!r.finished) {
        p.kill();
        p.waitForFinished();
    }
    r.code = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.out = QString::fromUtf8(p.readAllStandardOutput());
    r.err = QString::fromUtf8(p.readAllStandardError());
    return r;
}

QString describe(const QString& what, const Result& r) {
    return QStringLiteral("%1: %2 (status %3)\n%4%5")
        .arg(what, r.finished ? "ended" : "did not end")
        .arg(r.code)
        .arg(r.out, r.err);
}

bool found(const QString& program) {
    return !QStandardPaths::findExecutable(program).isEmpty();
}

// The options a --help text names: every --long word, and -x where an
// option line starts.
QStringList optionsIn(const QString& help) {
    QSet<QString> options;
    static const QRegularExpression longOption("(?<![\\w-])--[A-Za-z][\\w-]*\\w");
    static const QRegularExpression shortOption("^\\s+(-[A-Za-z])\\b", QRegularExpression::MultilineOption);
    for (const auto& m : longOption.globalMatch(help))
        options.insert(m.captured(0));
    for (const auto& m : shortOption.globalMatch(help))
        options.insert(m.captured(1));
    QStringList sorted(options.begin(), options.end());
    sorted.sort();
    return sorted;
}

// A man page's text with roff's font changes and escapes taken out.
QString manText(const QString& roff) {
    QString text = roff;
    static const QRegularExpression fonts("\\\\f(\\(..|\\[[^]]*\\]|.)");
    text.remove(fonts);
    text.replace("\\-", "-");
    text.remove("\\%");
    text.remove("\\&");
    return text;
}

} // namespace

class TestPackage : public QObject {
    Q_OBJECT
    QTemporaryDir m_work;
    QString m_deb;  // the package built from this build
    QString m_tree; // its files, unpacked
    QString m_version = QStringLiteral(ZEL_VERSION);

    QString tree(const QString& path) const { return m_tree + path; }
    QStringList programs() const { return QDir(tree("/usr/bin")).entryList(QDir::Files, QDir::Name); }
    QString control(const QString& field) const {
        return run("dpkg-deb", {"-f", m_deb, field}).out.trimmed();
    }

private slots:
    void initTestCase() {
        if (!found("dpkg-deb") || !found("dpkg-shlibdeps"))
            QSKIP("needs dpkg-deb and dpkg-shlibdeps (dpkg-dev)");
        QVERIFY(m_work.isValid());
        const Result cpack =
            run(QStringLiteral(ZEL_CPACK),
                {"--config", ZEL_TEST_OUTPUT_DIR "/CPackConfig.cmake", "-B", m_work.filePath("out")});
        QVERIFY2(cpack.code == 0, qPrintable(describe("cpack", cpack)));
        const QStringList debs = QDir(m_work.filePath("out")).entryList({"zel_*.deb"}, QDir::Files);
        QCOMPARE(debs.size(), 1);
        m_deb = m_work.filePath("out/" + debs.front());
        m_tree = m_work.filePath("tree");
        const Result x = run("dpkg-deb", {"-x", m_deb, m_tree});
        QVERIFY2(x.code == 0, qPrintable(describe("dpkg-deb -x", x)));
    }

    // What every installation needs, and what follows the programs that exist.
    void contents() {
        QCOMPARE(control("Version"), m_version);
        const QString depends = control("Depends");
        QVERIFY2(depends.contains("libqt6core6") && depends.contains("libc6"),
                 qPrintable("Depends not computed from the programs: " + depends));
        for (const char* path :
             {"/usr/bin/zel", "/usr/bin/zel-logger", "/usr/bin/zel-monitor-sim", "/etc/zel/example.conf",
              "/lib/systemd/system/zel-logger@.service", "/usr/share/applications/zel.desktop",
              "/usr/share/metainfo/org.zel_panel.zel.metainfo.xml",
              "/usr/share/icons/hicolor/scalable/apps/zel.svg", "/usr/share/doc/zel/copyright",
              "/usr/share/doc/zel/changelog.gz"})
            QVERIFY2(QFile::exists(tree(QString::fromLatin1(path))), path);
        const Result conffiles = run("dpkg-deb", {"-I", m_deb, "conffiles"});
        QCOMPARE(conffiles.out.trimmed(), "/etc/zel/example.conf");
        for (int size : {48, 256}) {
            const QImage icon(tree(QStringLiteral("/usr/share/icons/hicolor/%1x%1/apps/zel.png").arg(size)));
            QCOMPARE(icon.size(), QSize(size, size));
        }
        // Each program has its page; the central view brings its service.
        for (const QString& program : programs())
            QVERIFY2(QFile::exists(tree(QStringLiteral("/usr/share/man/man1/%1.1.gz").arg(program))),
                     qPrintable(program + " has no man page"));
        QCOMPARE(QFile::exists(tree("/lib/systemd/system/zel-central.service")),
                 QFile::exists(tree("/usr/bin/zel-central")));
        const QString source = QStringLiteral(ZEL_SOURCE_DIR);
        for (const QString& mib : QDir(source + "/mibs").entryList({"*.txt"}))
            QVERIFY2(QFile::exists(tree("/usr/share/snmp/mibs/" + mib)), qPrintable(mib));
        // The changelog and the software centre tell of this version.
        const Result changelog =
            run("dpkg-parsechangelog", {"-l", source + "/packaging/changelog", "-S", "Version"});
        QCOMPARE(changelog.out.trimmed(), m_version);
        QFile metainfo(tree("/usr/share/metainfo/org.zel_panel.zel.metainfo.xml"));
        QVERIFY(metainfo.open(QIODevice::ReadOnly));
        const QString releases = QString::fromUtf8(metainfo.readAll()).section("<release ", 1, 1);
        QVERIFY2(releases.startsWith(QStringLiteral("version=\"%1\"").arg(m_version)), qPrintable(releases));
    }

    // No error; each warning left is explained in the README.
    void lintian() {
        if (!found("lintian")) QSKIP("lintian is not installed (scripts/install-deps)");
        const Result r = run("lintian", {"--tag-display-limit", "0", m_deb});
        QVERIFY2(r.finished && (r.code == 0 || r.code == 1), qPrintable(describe("lintian", r)));
        QFile readme(QStringLiteral(ZEL_SOURCE_DIR "/README.md"));
        QVERIFY(readme.open(QIODevice::ReadOnly));
        const QString explained = QString::fromUtf8(readme.readAll());
        QStringList problems;
        static const QRegularExpression tag("^([EW]): zel[^:]*: ([\\w-]+)",
                                            QRegularExpression::MultilineOption);
        for (const auto& m : tag.globalMatch(r.out)) {
            if (m.captured(1) == u"E" || !explained.contains(u'`' + m.captured(2) + u'`'))
                problems << m.captured(0);
        }
        QVERIFY2(problems.isEmpty(), qPrintable("lintian errors, or warnings the README does not explain:\n" +
                                                problems.join(u'\n') + u'\n' + r.out));
    }

    void desktopEntryAndMetainfo() {
        if (!found("desktop-file-validate") || !found("appstreamcli"))
            QSKIP("needs desktop-file-utils and appstream (scripts/install-deps)");
        const Result desktop = run("desktop-file-validate", {tree("/usr/share/applications/zel.desktop")});
        QVERIFY2(desktop.code == 0 && desktop.out.isEmpty() && desktop.err.isEmpty(),
                 qPrintable(describe("desktop-file-validate", desktop)));
        const Result appstream =
            run("appstreamcli", {"validate", "--no-net", "--no-color",
                                 tree("/usr/share/metainfo/org.zel_panel.zel.metainfo.xml")});
        static const QRegularExpression issue("^[EWI]: ", QRegularExpression::MultilineOption);
        QVERIFY2(appstream.code == 0 && !appstream.out.contains(issue),
                 qPrintable(describe("appstreamcli validate", appstream)));
    }

    void manPagesFormatCleanly() {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("LC_ALL", "C.UTF-8");
        env.insert("MANROFFSEQ", QString());
        env.insert("MANWIDTH", "80");
        QDirIterator pages(tree("/usr/share/man"), {"*.gz"}, QDir::Files, QDirIterator::Subdirectories);
        int count = 0;
        while (pages.hasNext()) {
            const QString page = pages.next();
            ++count;
            const Result r =
                run("man", {"--warnings", "-E", "UTF-8", "-l", "-Tutf8", "-Z", page}, 60000, env);
            QVERIFY2(r.code == 0 && r.err.isEmpty(), qPrintable(describe(page, r)));
        }
        QCOMPARE(count, programs().size());
    }

    // Each page names every option its program's --help names.
    void manPagesNameEveryOption_data() {
        QTest::addColumn<QString>("program");
        for (const QString& program : programs())
            QTest::newRow(qPrintable(program)) << program;
    }
    void manPagesNameEveryOption() {
        QFETCH(QString, program);
        const Result help = run(tree("/usr/bin/" + program), {"--help"}, 15000);
        const QStringList options = optionsIn(help.out + help.err);
        if (!help.finished && options.isEmpty())
            QSKIP(qPrintable(program + " --help starts the program instead of listing its options"));
        QVERIFY2(help.code == 0 && !options.isEmpty(), qPrintable(describe(program + " --help", help)));
        const Result page =
            run("gzip", {"-dc", tree(QStringLiteral("/usr/share/man/man1/%1.1.gz").arg(program))});
        QVERIFY2(page.code == 0, qPrintable(describe("gzip", page)));
        const QString text = manText(page.out);
        QStringList missing;
        for (const QString& option : options) {
            const QRegularExpression named(
                QStringLiteral("(?<![\\w-])%1(?![\\w-])").arg(QRegularExpression::escape(option)));
            if (!text.contains(named)) missing << option;
        }
        QVERIFY2(
            missing.isEmpty(),
            qPrintable(QStringLiteral("packaging/man/%1.1 does not name these options of `%1 --help`: %2")
                           .arg(program, missing.join(", "))));
    }

    // systemd accepts the units as shipped, and rates the logger's sandbox.
    void units() {
        if (!found("systemd-analyze")) QSKIP("systemd-analyze is not installed");
        // A root of the package's files and the system's targets and slices,
        // so that the units load as on a machine that has the package.
        const QString root = m_work.filePath("root");
        const Result copy =
            run("sh",
                {"-c",
                 QStringLiteral(
                     "cp -al \"$1\" \"$2\" && cp -L /lib/systemd/system/*.target /lib/systemd/system/*.slice "
                     "\"$2/lib/systemd/system/\""),
                 "sh", m_tree, root});
        QVERIFY2(copy.code == 0, qPrintable(describe("copy", copy)));
        QStringList units{"zel-logger@site.service"};
        if (QFile::exists(tree("/lib/systemd/system/zel-central.service"))) units << "zel-central.service";
        const Result verify =
            run("systemd-analyze", QStringList{"verify", "--man=no", "--root=" + root} + units);
        QVERIFY2(verify.code == 0 && verify.out.isEmpty() && verify.err.isEmpty(),
                 qPrintable(describe("systemd-analyze verify", verify)));
        for (const QString& unit : units) {
            const Result security =
                run("systemd-analyze", {"security", "--offline=yes", "--no-pager", "--root=" + root, unit});
            static const QRegularExpression overall("Overall exposure level for \\S+: ([\\d.]+)");
            const QRegularExpressionMatch m = overall.match(security.out + security.err);
            if (!m.hasMatch() && security.err.contains("offline"))
                QSKIP("this systemd-analyze cannot rate a unit offline");
            QVERIFY2(m.hasMatch() && m.captured(1).toDouble() <= 2.5,
                     qPrintable(describe("systemd-analyze security " + unit, security)));
        }
    }

    // apt installs it, the logger runs, and purge takes everything away
    // (but the system user, which Debian keeps).
    void installRunPurge() {
        if (::geteuid() != 0) QSKIP("installs the package: runs only as root");
        if (!found("apt-get")) QSKIP("needs apt-get");
        if (run("dpkg-query", {"-W", "zel"}).code == 0 || QFile::exists("/etc/zel") ||
            QFile::exists("/var/lib/zel"))
            QSKIP("this machine has a zel package or its files already: left alone");

        const QString enabled = "/etc/systemd/system/multi-user.target.wants/zel-logger@test.service";
        QProcessEnvironment apt = QProcessEnvironment::systemEnvironment();
        apt.insert("DEBIAN_FRONTEND", "noninteractive");
        const QStringList aptOptions{"-y", "-q", "-o", "DPkg::Lock::Timeout=300"};
        const auto purge = [&] {
            return run("apt-get", QStringList{"purge"} + aptOptions + QStringList{"zel"}, 300000, apt);
        };
        // Whatever happens below, the machine is left as it was.
        const auto leaveAsItWas = qScopeGuard([&] {
            if (run("dpkg-query", {"-W", "zel"}).code == 0 && purge().code != 0)
                run("dpkg", {"--purge", "--force-all", "zel"});
            QFile::remove(enabled);
        });
        const Result install = run(
            "apt-get", QStringList{"install", "--no-install-recommends"} + aptOptions + QStringList{m_deb},
            600000, apt);
        QVERIFY2(install.code == 0, qPrintable(describe("apt-get install", install)));
        const QStringList listed = run("dpkg-query", {"-L", "zel"}).out.split(u'\n', Qt::SkipEmptyParts);
        QVERIFY(listed.contains("/usr/bin/zel-logger"));
        const QStringList groups = run("id", {"-nG", "zel"}).out.simplified().split(u' ');
        QVERIFY2(groups.contains("dialout"), "the user zel is not in dialout");

        // The unit as installed, its program and man page in place.
        if (found("systemd-analyze")) {
            const Result verify = run("systemd-analyze", {"verify", "zel-logger@test.service"});
            QVERIFY2(verify.code == 0 && verify.err.isEmpty(),
                     qPrintable(describe("systemd-analyze verify", verify)));
        }
        // The logger runs where the service keeps its history.
        QProcessEnvironment service = QProcessEnvironment::systemEnvironment();
        service.insert("XDG_DATA_HOME", "/var/lib/zel/test");
        const Result logger = run("/usr/bin/zel-logger", {"--port", "SIM", "--for", "2"}, 60000, service);
        QVERIFY2(logger.code == 0 && logger.out.contains("SIM link connected"),
                 qPrintable(describe("zel-logger --port SIM --for 2", logger)));
        QVERIFY(QFile::exists("/var/lib/zel/test/zel/history.sqlite"));
        // As `systemctl enable zel-logger@test` would.
        QDir().mkpath(QFileInfo(enabled).path());
        QVERIFY(QFile::link("/lib/systemd/system/zel-logger@.service", enabled));

        const Result removed = purge();
        QVERIFY2(removed.code == 0, qPrintable(describe("apt-get purge", removed)));
        QStringList left;
        for (const QString& path : listed + QStringList{"/etc/zel", "/var/lib/zel", enabled}) {
            // Shared folders such as /usr/bin stay, of course.
            if (QFileInfo(path).isDir() && !path.contains("zel")) continue;
            if (QFileInfo::exists(path) || QFileInfo(path).isSymLink()) left << path;
        }
        QVERIFY2(left.isEmpty(), qPrintable("left behind: " + left.join(", ")));
    }
};

ZEL_TEST(TestPackage)
#include "tst_package.moc"
