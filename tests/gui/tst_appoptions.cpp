// zel's own options, run as the program itself with no display at all.
#include "support/testmain.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

namespace {

struct Run {
    int status = -1;
    QString out, err;
};

Run runZel(const QStringList& args) {
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"})
        env.remove(QString::fromLatin1(name));
    p.setProcessEnvironment(env);
    p.start(QStringLiteral(ZEL_APP), args);
    if (!p.waitForFinished(60000)) p.kill();
    return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1,
            QString::fromLocal8Bit(p.readAllStandardOutput()),
            QString::fromLocal8Bit(p.readAllStandardError())};
}

} // namespace

class AppOptionsTest : public QObject {
    Q_OBJECT
private slots:
    void helpVersionAndMistakes_data() {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("says"); // in standard output for 0, else standard error
        QTest::newRow("help") << QStringList{"--help"} << 0 << "--report <DAY>";
        QTest::newRow("version") << QStringList{"--version"} << 0 << "zel " ZEL_VERSION;
        QTest::newRow("unknown") << QStringList{"--reprot", "2026-12-06"} << 2 << "reprot";
        QTest::newRow("bad day") << QStringList{"--report", "6.12.2026", "--output", "x.pdf"} << 2
                                 << "YYYY-MM-DD";
        QTest::newRow("no output") << QStringList{"--report", "2026-12-06"} << 2 << "--output";
        QTest::newRow("output alone")
            << QStringList{"--output", "x.pdf"} << 2 << "--output goes with --report";
        QTest::newRow("stray word") << QStringList{"-platform", "offscreen", "report"} << 2 << "\"report\"";
    }
    void helpVersionAndMistakes() {
        QFETCH(QStringList, args);
        QFETCH(int, status);
        QFETCH(QString, says);
        const Run r = runZel(args);
        QCOMPARE(r.status, status);
        QVERIFY2((status == 0 ? r.out : r.err).contains(says), qPrintable(r.out + r.err));
    }

    // The report of a day from a named history file; a history that cannot be opened fails with 1.
    void reportWithoutADisplay() {
        QTemporaryDir dir;
        const QString pdf = dir.filePath("day.pdf");
        Run r = runZel({"--report", "2026-12-06", "--output", pdf, "--history", dir.filePath("h.sqlite")});
        QVERIFY2(r.status == 0, qPrintable(r.err));
        QFile f(pdf);
        QVERIFY(f.open(QIODevice::ReadOnly) && f.read(5) == "%PDF-");
        r = runZel({"--report", "2026-12-06", "--output", pdf, "--history", pdf + "/h.sqlite"});
        QCOMPARE(r.status, 1);
        QVERIFY2(r.err.contains("zel: History file"), qPrintable(r.err));
    }
};

ZEL_TEST(AppOptionsTest)
#include "tst_appoptions.moc"
