#pragma once
// A thread's run loop. The main one runs on the process's main thread (or on the thread that
// calls bindToCurrentThread()) and drains the main queue; each turn runs what was performed
// before the turn began, then calls the turn observers once. perform/performAfter/stop may be
// called from any thread; run/runUntil only on the loop's own thread.

#include <cstdint>
#include <functional>
#include <memory>
#include <thread>

namespace dispatch {

class RunLoop {
public:
    using Block = std::function<void()>;

    // A delayed perform; cancel() keeps it from running if it has not run yet. Copies share
    // the same perform; dropping the token does not cancel it.
    class PerformToken {
    public:
        PerformToken() = default;
        void cancel();
        bool isCancelled() const;

        struct Impl;
        explicit PerformToken(std::shared_ptr<Impl> impl) : m_impl(std::move(impl)) { }

    private:
        std::shared_ptr<Impl> m_impl;
    };

    using ObserverId = std::uint64_t;

    static RunLoop& main();
    // The calling thread's run loop (made on first use; the main loop on the main thread).
    static RunLoop& current();
    static bool isMainThread();

    // Makes the calling thread the main thread from now on.
    void bindToCurrentThread();

    // Runs `block` on a later turn of this loop.
    void perform(Block block);
    // Runs `block` on this loop after `delaySeconds` on the process clock.
    PerformToken performAfter(double delaySeconds, Block block);

    // Runs turns until stop() is called.
    void run();
    void stop();
    // Runs turns until `predicate` holds or `timeoutSeconds` of real time have passed; returns
    // the predicate's last value. Never waits longer than the timeout.
    bool runUntil(const std::function<bool()>& predicate, double timeoutSeconds);
    // Runs one turn, waiting at most `timeoutSeconds` for work; returns whether anything ran.
    bool runOnce(double timeoutSeconds = 0);

    // Hooks called once at the end of every turn, on the loop's thread.
    ObserverId addTurnObserver(Block observer);
    void removeTurnObserver(ObserverId id);

    bool isCurrent() const;

    // Another event loop that shares this thread (a windowing system's). While one is set,
    // every turn also dispatches its ready events, and waiting for work waits on it, woken by
    // perform() from any thread. Set and cleared on the loop's own thread.
    class EventSource {
    public:
        virtual ~EventSource() = default;
        // Dispatches what is ready; with `waitSeconds` above 0, first waits that long at most
        // for something (an event or a wakeUp). Returns whether anything was dispatched.
        virtual bool dispatchEvents(double waitSeconds) = 0;
        // Ends a wait of dispatchEvents early; called from any thread.
        virtual void wakeUp() = 0;
    };
    void setEventSource(EventSource* source);
    EventSource* eventSource() const;

    RunLoop(const RunLoop&) = delete;
    RunLoop& operator=(const RunLoop&) = delete;
    ~RunLoop();

    struct State;
    RunLoop();

private:
    std::unique_ptr<State> m_state;
};

} // namespace dispatch
