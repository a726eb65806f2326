#pragma once
// Takes SIGINT and SIGTERM with sigwait on a thread of its own, outside any handler, so that
// what a termination request does can use the ordinary run-loop machinery. Make it on the main
// thread before any other thread starts: the signals are blocked in the maker's mask, which
// every thread started later inherits, so only the waiting thread ever receives them. The
// mask is restored when the object goes.

#include <atomic>
#include <functional>
#include <signal.h>
#include <thread>

namespace dispatch {

class TerminationSignals {
public:
    // `onSignal` is performed on the main run loop for each signal. When `onRepeat` is given,
    // it runs instead for the second and later signals, at once on the waiting thread (the main
    // loop may be the one that is stuck), so it must be safe on any thread.
    explicit TerminationSignals(std::function<void()> onSignal, std::function<void()> onRepeat = {});
    ~TerminationSignals();
    TerminationSignals(const TerminationSignals&) = delete;
    TerminationSignals& operator=(const TerminationSignals&) = delete;

private:
    std::function<void()> m_onSignal;
    std::function<void()> m_onRepeat;
    sigset_t m_set;
    std::atomic<bool> m_done {false};
    std::atomic<int> m_count {0};
    std::thread m_thread;
};

} // namespace dispatch
