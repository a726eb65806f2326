#pragma once
// Tests that use a display's pointer, keyboard or clipboard take turns through a lock file.

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

namespace testsupport {

// The display's lock: the tests that use its pointer, keyboard or clipboard take turns. The
// descriptor is closed on exec, so that no program a test starts (xclip serving a copy, say)
// holds the lock after the test. A test waits its turn as long as the test runner lets it.
class DisplayLock {
public:
    explicit DisplayLock(const std::string& display, double timeoutSeconds = 1200)
    {
        const std::string name = "/tmp/quintor-display-" + display + ".lock";
        m_fd = ::open(name.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeoutSeconds);
        while (m_fd >= 0 && !m_held) {
            m_held = ::flock(m_fd, LOCK_EX | LOCK_NB) == 0;
            if (!m_held && std::chrono::steady_clock::now() > deadline)
                break;
            if (!m_held)
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }
    ~DisplayLock()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    DisplayLock(const DisplayLock&) = delete;
    DisplayLock& operator=(const DisplayLock&) = delete;

    bool held() const { return m_held; }

private:
    int m_fd = -1;
    bool m_held = false;
};

} // namespace testsupport
