// The /metrics text as promtool reads it, and the README's Prometheus
// examples.
#include "support/testmain.h"

#include "core/outputs/metrics/metrics.h"

#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>

using namespace zel;

namespace {

QString promtool() {
    return QStandardPaths::findExecutable("promtool");
}

// promtool's exit code and everything it said.
int runPromtool(const QStringList& args, const QByteArray& input, QString* said) {
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(promtool(), args);
    p.write(input);
    p.closeWriteChannel();
    if (!p.waitForFinished(60000)) return -1;
    *said = QString::fromUtf8(p.readAll()).trimmed();
    return p.exitCode();
}

MetricsSnapshot snapshot(quint64 packets) {
    MetricsSnapshot s;
    s.siteId = "north";
    s.version = "1.1.0";
    MetricsMonitor a;
    a.id = "wzel-1";
    a.name = "WZEL 1230 AM";
    a.linkState = LinkState::Connected;
    a.lastPacketMs = 1'796'000'000'123;
    a.readings = {52.5f, 40, 40};
    a.alarms[size_t(AlarmKind::Carrier)] = true;
    a.packets = packets;
    a.pos125Episodes = packets / 100;
    MetricsMonitor b;
    b.id = "wzel-2";
    b.name = "A \"quoted\" back\\slash\nname";
    s.monitors = {a, b};
    return s;
}

double value(const QByteArray& text, const QString& series) {
    for (const QByteArray& line : text.split('\n'))
        if (line.startsWith(series.toUtf8() + ' ')) return line.mid(series.size() + 1).toDouble();
    return -1;
}

} // namespace

class MetricsTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() {
        QVERIFY2(!promtool().isEmpty(), "promtool is not installed (scripts/install-deps)");
    }

    void promtoolFindsNothingAndCountersGrow() {
        const QByteArray first = metricsText(snapshot(1000));
        QString said;
        QCOMPARE(runPromtool({"check", "metrics"}, first, &said), 0);
        QVERIFY2(said.isEmpty(), qPrintable(said + "\n" + first));

        const QString a = "{site=\"north\",monitor=\"wzel-1\",name=\"WZEL 1230 AM\"";
        QCOMPARE(value(first, "zel_positive_peak_ratio" + a + "}"), 1.25);
        QCOMPARE(value(first, "zel_alarm" + a + ",alarm=\"carrier-alarm\"}"), 1.0);
        QCOMPARE(value(first, "zel_link_state" + a + ",state=\"connected\"}"), 1.0);
        QCOMPARE(value(first, "zel_last_packet_timestamp_seconds" + a + "}"), 1796000000.123);
        QVERIFY(first.contains("name=\"A \\\"quoted\\\" back\\\\slash\\nname\""));

        const QByteArray later = metricsText(snapshot(250'000));
        QVERIFY(value(later, "zel_packets_total" + a + "}") > value(first, "zel_packets_total" + a + "}"));
        QVERIFY(value(later, "zel_episodes_total" + a + ",kind=\"pos125\"}") >
                value(first, "zel_episodes_total" + a + ",kind=\"pos125\"}"));
    }

    void readmeExamplesPass() {
        QFile readme(QStringLiteral(QT_TESTCASE_SOURCEDIR "/../README.md"));
        QVERIFY(readme.open(QIODevice::ReadOnly));
        const QString text = QString::fromUtf8(readme.readAll());
        const QString section = text.section("## Seen from the NOC", 1).section("\n## ", 0, 0);
        QStringList blocks;
        const QRegularExpression yaml("```yaml\\n(.*?)```", QRegularExpression::DotMatchesEverythingOption);
        for (auto it = yaml.globalMatch(section); it.hasNext();)
            blocks << it.next().captured(1);
        QCOMPARE(blocks.size(), 2);

        QTemporaryDir dir;
        const auto file = [&](const char* name, const QString& text) {
            QFile f(dir.filePath(name));
            return f.open(QIODevice::WriteOnly) && f.write(text.toUtf8()) > 0 ? f.fileName() : QString();
        };
        const QString config = file("prometheus.yml", blocks[0]), rules = file("zel-rules.yml", blocks[1]);
        QVERIFY(!config.isEmpty() && !rules.isEmpty());
        QString said;
        QVERIFY2(runPromtool({"check", "config", "--syntax-only", config}, {}, &said) == 0, qPrintable(said));
        QVERIFY2(runPromtool({"check", "rules", rules}, {}, &said) == 0, qPrintable(said));
        QVERIFY2(said.contains("SUCCESS: 4 rules found"), qPrintable(said));
    }
};

ZEL_TEST(MetricsTest)
#include "tst_metrics.moc"
