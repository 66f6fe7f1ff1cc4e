#pragma once
// --link PATH: a symbolic link that names the current device, as a by-id path
// names a USB adapter. It is replaced in one rename when a new device comes
// up, is absent while the device is gone, and is removed on exit if it still
// names our device.
#include <string>

class DeviceLink {
public:
    explicit DeviceLink(std::string path)
        : m_path(std::move(path)) {}
    DeviceLink(const DeviceLink&) = delete;
    DeviceLink& operator=(const DeviceLink&) = delete;
    ~DeviceLink() { remove(); }

    bool enabled() const { return !m_path.empty(); }
    // Points the link at `device`; false with the reason in `*error`.
    bool point(const std::string& device, std::string* error);
    // Removes the link if it still points at the device we gave it.
    void remove();

private:
    std::string m_path;
    std::string m_target;
};
