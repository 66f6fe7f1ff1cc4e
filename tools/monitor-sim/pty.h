#pragma once
// One pseudo-terminal: the master side that the simulator talks through, a
// slave descriptor held open so the line survives the panel closing and
// reopening it, and an inotify watch that tells when the panel closes it
// (the hang-up of a real line).
#include <string>

class Pty {
public:
    Pty() = default;
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;
    ~Pty() { close(); }

    bool open(std::string* error);
    void close();
    bool isOpen() const { return m_master >= 0; }

    int master() const { return m_master; }
    int watch() const { return m_watch; }
    const std::string& path() const { return m_path; }

    // Reads the watch's events; true when the last opener other than the
    // simulator has closed the device since the last call.
    bool readHangUp();
    // After a hang-up: forget what the panel never read, lift an exclusive
    // lock a vanished opener may have left.
    void resetLine();

private:
    int m_master = -1;
    int m_slave = -1;
    int m_watch = -1;
    int m_openers = 0;
    std::string m_path;
};
