#include "monitor.h"

#include <climits>

namespace {

std::string hex(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (const unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

} // namespace

Monitor::Monitor(const SimOptions& options, std::int64_t startNs)
    : m_options(options)
    , m_start(startNs)
    , m_model(options.seed)
    , m_day(options.seed)
    , m_faults(options.faults, options.seed) {}

bool Monitor::init(std::string* error) {
    if (m_options.scriptPath.empty()) return true;
    m_script = zel::sim::ReadingScript::load(m_options.scriptPath, error);
    if (!m_script) return false;
    m_script->setLoop(m_options.loop);
    return true;
}

std::string Monitor::nextPacket(std::int64_t now) {
    if (m_script) return m_script->next();
    const double seconds = double(now - m_start) / 1e9;
    if (m_options.programme == "day") return zel::sim::formatPacket(m_day.at(seconds));
    return zel::sim::formatPacket(m_model.at(seconds));
}

void Monitor::request(std::int64_t now, Line& line, std::FILE* log) {
    while (!m_backlog.empty() && m_backlog.front() <= now)
        m_backlog.pop_front();
    if (m_vanishing || (m_silentUntil >= 0 && now < m_silentUntil) || m_backlog.size() >= MaxBacklog) return;
    const auto& faults = m_options.faults;
    const std::uint64_t index = ++m_count;
    const zel::sim::ReplyPlan reply = m_faults.plan(index, nextPacket(now));
    const std::int64_t earliest = now + std::int64_t(m_options.delayMs) * 1'000'000;
    if (reply.dropped) {
        if (log)
            std::fprintf(log, "%lld %s dropped\n", static_cast<long long>(monotonicNs()), reply.text.c_str());
    } else {
        std::string logLine = reply.text + " " + reply.status();
        if (!reply.noise.empty()) logLine += " noise=" + hex(reply.noise);
        if (reply.splitAt > 0) {
            line.send(earliest, reply.noise + reply.text.substr(0, reply.splitAt));
            line.send(line.freeAt() + std::int64_t(faults.splitPauseMs) * 1'000'000,
                      reply.text.substr(reply.splitAt), std::move(logLine));
        } else {
            line.send(earliest, reply.noise + reply.text, std::move(logLine));
        }
        m_backlog.push_back(line.freeAt());
    }
    const std::int64_t done = reply.dropped ? now : line.freeAt();
    if (faults.silentAfter != 0 && index == faults.silentAfter)
        m_silentUntil =
            faults.silentForSeconds > 0 ? done + std::int64_t(faults.silentForSeconds * 1e9) : INT64_MAX;
    if (faults.vanishAfter != 0 && index == faults.vanishAfter) {
        // Give the panel time to read the last reply: a hung-up line
        // throws away what was not read yet.
        m_vanishing = true;
        m_vanishAt = done + VanishGraceNs;
    }
}
