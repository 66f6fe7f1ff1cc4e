// zel-netrelay: a delaying TCP relay on loopback, for tests and benchmarks.
// Usage: zel-netrelay --to PORT [--listen PORT] [--delay MS] [--jitter MS]
// Each direction is held --delay ms, give or take --jitter ms. Prints the port it listens on as its first
// line. Commands on standard input, one a line: "stall", "resume", "delay MS [JITTER]". Ends when standard
// input closes.
#include "netrelay.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QStringList>
#include <cstdio>
#include <unistd.h>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    int to = 0, listen = 0, delay = 0;
    double jitter = 0;
    for (int i = 1; i + 1 < args.size(); i += 2) {
        bool ok = false;
        const double v = args[i + 1].toDouble(&ok);
        if (!ok || v < 0 || v > 65535) break;
        if (args[i] == QLatin1String("--to"))
            to = int(v);
        else if (args[i] == QLatin1String("--listen"))
            listen = int(v);
        else if (args[i] == QLatin1String("--delay"))
            delay = int(v);
        else if (args[i] == QLatin1String("--jitter"))
            jitter = v;
    }
    if (to <= 0 || to > 65535 || listen > 65535 || args.size() % 2 == 0) {
        std::fprintf(stderr, "usage: zel-netrelay --to PORT [--listen PORT] [--delay MS] [--jitter MS]\n");
        return 2;
    }
    zelrelay::NetRelay relay;
    relay.setDelay(delay, jitter);
    if (!relay.listen(quint16(to), quint16(listen))) {
        std::fprintf(stderr, "zel-netrelay: cannot listen on 127.0.0.1:%d\n", listen);
        return 1;
    }
    std::printf("%d\n", relay.port());
    std::fflush(stdout);

    QByteArray line;
    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, &app, [&] {
        char buf[256];
        const ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf);
        if (n <= 0) {
            input.setEnabled(false);
            QCoreApplication::quit();
            return;
        }
        line.append(buf, n);
        for (qsizetype eol; (eol = line.indexOf('\n')) >= 0; line.remove(0, eol + 1)) {
            const QList<QByteArray> words = line.left(eol).simplified().split(' ');
            if (words[0] == "stall")
                relay.setStalled(true);
            else if (words[0] == "resume")
                relay.setStalled(false);
            else if (words[0] == "delay" && words.size() >= 2)
                relay.setDelay(words[1].toInt(), words.value(2).toDouble());
        }
    });
    return app.exec();
}
