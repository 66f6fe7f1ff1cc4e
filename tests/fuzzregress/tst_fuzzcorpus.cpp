// Replays the fuzzers' seed corpus and every input a fuzzer has found
// (fuzz/regressions/) through the fuzz targets' own checks, so the normal
// build keeps them without clang or libFuzzer.
#include "support/testmain.h"

#include "../../fuzz/checks.h"

#include <QDir>

class FuzzCorpusTest : public QObject {
    Q_OBJECT
    using Check = std::string (*)(const std::uint8_t*, std::size_t);

    static void addInputs(const char* target) {
        QTest::addColumn<QString>("path");
        const QDir fuzz(
            QStringLiteral(QT_TESTCASE_SOURCEDIR "/../fuzz"));
        int count = 0;
        for (const QString& folder : {QStringLiteral("corpus/"), QStringLiteral("regressions/")})
            for (const QFileInfo& f :
                 QDir(fuzz.filePath(folder + QLatin1String(target))).entryInfoList(QDir::Files)) {
                QTest::newRow(qPrintable(folder + f.fileName())) << f.absoluteFilePath();
                ++count;
            }
        if (count == 0) qFatal("no inputs for %s under %s", target, qPrintable(fuzz.path()));
    }
    static void replay(Check check) {
        QFETCH(QString, path);
        QFile f(path);
        QVERIFY2(f.open(QIODevice::ReadOnly), qPrintable(path));
        const QByteArray bytes = f.readAll();
        const std::string problem =
            check(reinterpret_cast<const std::uint8_t*>(bytes.constData()), std::size_t(bytes.size()));
        QVERIFY2(problem.empty(), problem.c_str());
    }

private slots:
    void framing_data() { addInputs("framing"); }
    void framing() { replay(&zelfuzz::checkFraming); }
    void settings_data() { addInputs("settings"); }
    void settings() { replay(&zelfuzz::checkSettings); }
    void modem_data() { addInputs("modem"); }
    void modem() { replay(&zelfuzz::checkModem); }
};

ZEL_TEST(FuzzCorpusTest)
#include "tst_fuzzcorpus.moc"
