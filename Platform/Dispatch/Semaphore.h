#pragma once
// A counting semaphore. Thread-safe.

#include <memory>

namespace dispatch {

class Semaphore;
using SemaphorePtr = std::shared_ptr<Semaphore>;

class Semaphore {
public:
    static SemaphorePtr make(long value = 0);
    explicit Semaphore(long value = 0);
    ~Semaphore();

    // Returns whether a waiter was woken.
    bool signal();
    // Takes one unit, waiting as long as needed.
    void wait();
    // Takes one unit; returns false when none came within `timeoutSeconds` of real time.
    bool wait(double timeoutSeconds);

    struct State;

private:
    std::unique_ptr<State> m_state;
};

} // namespace dispatch
