#include "devicelink.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <unistd.h>

bool DeviceLink::point(const std::string& device, std::string* error) {
    if (!enabled()) return true;
    // A fresh link beside the final one, renamed over it: whoever opens the
    // path finds a whole link or none, and a stale one is replaced in one go.
    const std::string temp = m_path + ".new." + std::to_string(::getpid());
    ::unlink(temp.c_str());
    if (::symlink(device.c_str(), temp.c_str()) != 0 || ::rename(temp.c_str(), m_path.c_str()) != 0) {
        *error = m_path + ": " + std::strerror(errno);
        ::unlink(temp.c_str());
        return false;
    }
    m_target = device;
    return true;
}

void DeviceLink::remove() {
    if (!enabled() || m_target.empty()) return;
    char buf[PATH_MAX];
    const ssize_t n = ::readlink(m_path.c_str(), buf, sizeof buf - 1);
    if (n >= 0 && std::string(buf, std::size_t(n)) == m_target) ::unlink(m_path.c_str());
    m_target.clear();
}
