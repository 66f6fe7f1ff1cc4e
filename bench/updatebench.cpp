// Cost of one packet's panel update: the readings of nine data characters
// shown by the monitor model (flashers, alarms, bar graph) and drawn by
// the real main window, shown offscreen, with a port that reports itself open
// and swallows what is written. The readings follow a programme that moves
// the bar, the peak hold, every flasher and the carrier alarm. Between two
// updates the event loop runs once, as it does between two packets, so the
// panel repaints; that is timed separately (update_paint_us).
//
// Heap allocations made inside the update are counted with a replaced global
// operator new (and malloc, which Qt's containers use): update_allocs is the
// count per update in the steady state; update_allocs_after_read the same
// where the program makes the update, after the raw read has been shown;
// update_allocs_qt_widgets the share of update_allocs made inside Qt's own
// show/hide and repaint code (QWidget::setVisible, QWidget::update),
// update_allocs_other the rest.
// The path a packet takes from the port (RecData: read, show the raw text,
// frame) is measured the same way as packet_*.
#include "core/link/linkcontroller.h"
#include "core/monitor/monitormodel.h"
#include "core/protocol/packetdecoder.h"
#include "core/session/eventloop.h"
#include "core/session/monitorsession.h"
#include "core/transport/transport.h"
#include "gui/frmzelmain.h"

#include "benchsupport.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QTimer>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <execinfo.h>
#include <new>
#include <random>
#include <string_view>

extern "C" void* __libc_malloc(std::size_t);
extern "C" void* __libc_calloc(std::size_t, std::size_t);
extern "C" void* __libc_realloc(void*, std::size_t);

namespace {
std::atomic<bool> g_counting{false};
std::atomic<long> g_allocs{0};
// Classifying pass: an allocation made under Qt's widget show/hide or
// repaint machinery is counted apart from the rest.
bool g_classify = false;
long g_qtWidgetAllocs = 0;
// ZEL_BENCH_ALLOC_TRACE=1: print the stack of every allocation of a few
// updates to stderr.
bool g_trace = false;
// ZEL_BENCH_ALLOC_TRACE=other: print the stack of every allocation of the
// classifying pass that is not Qt's widget machinery.
bool g_traceOther = false;

bool underQtWidgets() {
    void* frames[32];
    const int depth = backtrace(frames, 32);
    for (int i = 2; i < depth; ++i) {
        Dl_info info{};
        if (!dladdr(frames[i], &info) || !info.dli_sname) continue;
        const std::string_view name(info.dli_sname);
        if (name.find("QWidgetPrivate10setVisible") != name.npos ||
            name.find("QWidgetRepaintManager") != name.npos || name.find("_ZN7QWidget6update") != name.npos)
            return true;
    }
    return false;
}

void count(std::size_t n) {
    if (!g_counting.load(std::memory_order_relaxed)) return;
    g_allocs.fetch_add(1, std::memory_order_relaxed);
    if (!g_classify && !g_trace) return;
    g_counting = false;
    if (g_classify) {
        if (underQtWidgets())
            ++g_qtWidgetAllocs;
        else if (g_traceOther) {
            void* frames[16];
            std::fprintf(stderr, "-- other allocation of %zu bytes\n", n);
            backtrace_symbols_fd(frames, backtrace(frames, 16), 2);
        }
    }
    if (g_trace) {
        void* frames[16];
        const int depth = backtrace(frames, 16);
        std::fprintf(stderr, "-- allocation of %zu bytes\n", n);
        backtrace_symbols_fd(frames, depth, 2);
    }
    g_counting = true;
}

void* countedAlloc(std::size_t n) {
    count(n);
    if (void* p = __libc_malloc(n ? n : 1)) return p;
    throw std::bad_alloc();
}
} // namespace

// Qt's strings and containers allocate with malloc, the rest with new: both
// are counted.
extern "C" void* malloc(std::size_t n) {
    count(n);
    return __libc_malloc(n);
}
extern "C" void* calloc(std::size_t n, std::size_t size) {
    count(n * size);
    return __libc_calloc(n, size);
}
extern "C" void* realloc(void* p, std::size_t n) {
    count(n);
    return __libc_realloc(p, n);
}

void* operator new(std::size_t n) {
    return countedAlloc(n);
}
void* operator new[](std::size_t n) {
    return countedAlloc(n);
}
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
    try {
        return countedAlloc(n);
    } catch (...) {
        return nullptr;
    }
}
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept {
    try {
        return countedAlloc(n);
    } catch (...) {
        return nullptr;
    }
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete[](void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    std::free(p);
}

namespace {

// Open from the start, never answers, forgets what is written: the alarms
// take their connected paths.
class OpenTransport : public zel::Transport {
public:
    QString portText() const override { return QStringLiteral("bench"); }
    bool openLink() override { return open(QIODevice::ReadWrite | QIODevice::Unbuffered); }
    void discardInput() override { m_input.clear(); }
    qint64 bytesAvailable() const override { return m_input.size(); }
    void receive(const QByteArray& data) {
        m_input = data;
        emit readyRead();
    }

protected:
    qint64 readData(char* data, qint64 maxSize) override {
        const qint64 n = std::min<qint64>(maxSize, m_input.size());
        std::memcpy(data, m_input.constData(), size_t(n));
        m_input.remove(0, n);
        return n;
    }
    qint64 writeData(const char*, qint64 maxSize) override { return maxSize; }

private:
    QByteArray m_input;
};

// Raw 000..255 readings of a lively programme: speech and music peaks that
// reach every flasher now and then, a carrier that mostly sits in its window
// and sometimes leaves it, and short silences.
std::vector<QByteArray> programme(int count) {
    std::mt19937 rng(12345);
    std::vector<QByteArray> packets;
    packets.reserve(size_t(count));
    double level = 150;
    for (int i = 0; i < count; ++i) {
        level += std::normal_distribution<double>(0, 25)(rng);
        level = std::clamp(level, 60.0, 255.0);
        const bool silent = (i / 200) % 10 == 9;
        const int pos =
            silent ? 0 : std::clamp(int(level + std::normal_distribution<double>(0, 10)(rng)), 0, 255);
        const int neg =
            silent ? 0 : std::clamp(int(level - 8 + std::normal_distribution<double>(0, 10)(rng)), 0, 255);
        const int carrier = (i / 500) % 7 == 6 ? 170 + int(rng() % 60) : 185 + int(rng() % 25);
        char data[10];
        std::snprintf(data, sizeof data, "%03d%03d%03d", pos, neg, carrier);
        packets.emplace_back(data, 9);
    }
    return packets;
}

} // namespace

int main(int argc, char** argv) {
    bench::defaultToOffscreen();
    const auto settings = bench::useTemporarySettings();
    zel::preferLeanEventLoop();
    QApplication app(argc, argv);
    auto* session = new zel::MonitorSession;
    OpenTransport* port = nullptr;
    session->link()->setTransportFactory([&port](const QString&, QString*) {
        auto t = std::make_unique<OpenTransport>();
        port = t.get();
        return std::unique_ptr<zel::Transport>(std::move(t));
    });
    FrmZelMain w(session);
    w.show();
    zel::MonitorModel* model = session->model();
    auto convert = [model](const QByteArray& data) {
        model->showReadings(zel::decodePacket(std::string_view(data.constData(), size_t(data.size()))));
    };
    QCoreApplication::processEvents();

    const int distinct = 4000;
    const std::vector<QByteArray> packets = programme(distinct);
    const int warmup = 4000;
    const int rounds = 20000;

    if (qEnvironmentVariableIsSet("ZEL_BENCH_ALLOC_TRACE")) {
        void* frames[2];
        backtrace(frames, 2); // loads the unwinder before counting starts
    }
    // Warm-up: every state, timer and cache seen once.
    for (int i = 0; i < warmup; ++i) {
        convert(packets[size_t(i % distinct)]);
        QCoreApplication::processEvents();
    }

    if (qEnvironmentVariableIsSet("ZEL_BENCH_ALLOC_TRACE") && qgetenv("ZEL_BENCH_ALLOC_TRACE") != "other") {
        g_trace = true;
        for (int i = 0; i < 3; ++i) {
            std::fprintf(stderr, "== update %d\n", i);
            g_counting = true;
            convert(packets[size_t(i)]);
            g_counting = false;
            QCoreApplication::processEvents();
        }
        g_trace = false;
    }
    long allocs = 0;
    double updateNs = 0, paintNs = 0, worstNs = 0;
    QElapsedTimer t;
    for (int i = 0; i < rounds; ++i) {
        const QByteArray& data = packets[size_t(i % distinct)];
        g_allocs = 0;
        g_counting = true;
        t.start();
        convert(data);
        const double ns = double(t.nsecsElapsed());
        g_counting = false;
        allocs += g_allocs;
        updateNs += ns;
        worstNs = std::max(worstNs, ns);
        t.start();
        QCoreApplication::processEvents();
        paintNs += double(t.nsecsElapsed());
    }

    // The same updates where the program makes them, after RecData has shown
    // the raw read: that already asked Qt for a repaint of the frame, so the
    // update adds only what is its own.
    long afterReadAllocs = 0;
    for (int i = 0; i < rounds; ++i) {
        const QByteArray& data = packets[size_t(i % distinct)];
        w.lblRcvdat->setText(QString::fromLatin1('x' + data));
        g_allocs = 0;
        g_counting = true;
        convert(data);
        g_counting = false;
        afterReadAllocs += g_allocs;
        QCoreApplication::processEvents();
    }

    // Where the allocations come from (not timed: walking the stack is slow).
    const int classified = distinct; // one whole programme
    long classifiedAllocs = 0;
    g_classify = true;
    g_traceOther = qgetenv("ZEL_BENCH_ALLOC_TRACE") == "other";
    for (int i = 0; i < classified; ++i) {
        g_allocs = 0;
        g_counting = true;
        convert(packets[size_t(i % distinct)]);
        g_counting = false;
        classifiedAllocs += g_allocs;
        QCoreApplication::processEvents();
    }
    g_classify = false;

    // The whole way of a packet from the port: RecData reads, shows the raw
    // text, frames and decodes.
    long packetAllocs = 0;
    double packetNs = 0;
    std::vector<QByteArray> replies;
    replies.reserve(packets.size());
    for (const QByteArray& d : packets)
        replies.push_back('x' + d);
    // The link reads only while it polls.
    session->connectLink();
    for (int i = 0; i < rounds; ++i) {
        const QByteArray& reply = replies[size_t(i % distinct)];
        g_allocs = 0;
        g_counting = true;
        t.start();
        port->receive(reply);
        const double ns = double(t.nsecsElapsed());
        g_counting = false;
        packetAllocs += g_allocs;
        packetNs += ns;
        QCoreApplication::processEvents();
    }

    bench::figure("update_us", updateNs / rounds / 1000.0, 2);
    bench::figure("update_worst_us", worstNs / 1000.0, 1);
    bench::figure("update_allocs", double(allocs) / rounds, 2);
    bench::figure("update_allocs_after_read", double(afterReadAllocs) / rounds, 2);
    bench::figure("update_allocs_qt_widgets", double(g_qtWidgetAllocs) / classified, 2);
    bench::figure("update_allocs_other", double(classifiedAllocs - g_qtWidgetAllocs) / classified, 2);
    bench::figure("update_paint_us", paintNs / rounds / 1000.0, 1);
    bench::figure("packet_us", packetNs / rounds / 1000.0, 2);
    bench::figure("packet_allocs", double(packetAllocs) / rounds, 2);
    return 0;
}
