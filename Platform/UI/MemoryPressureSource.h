#pragma once
// Low-memory notices of the desktop session, from GLib's memory monitor (the low-memory-monitor
// service, or the desktop portal inside a sandbox). Where neither runs no notice ever comes. A
// source calls its handler on the main queue for each notice until it is cancelled; notices
// arrive while the main thread turns GLib's default main context (the desktop's run loop does).

#include <functional>
#include <memory>

namespace ui {

class MemoryPressureSource {
public:
    // How pressing a notice is: the session's warning levels folded into two.
    enum class Level { Warning = 2, Critical = 4 };
    using Handler = std::function<void(Level level)>;

    // Starts listening at once.
    static std::shared_ptr<MemoryPressureSource> make(Handler handler);
    ~MemoryPressureSource();
    MemoryPressureSource(const MemoryPressureSource&) = delete;
    MemoryPressureSource& operator=(const MemoryPressureSource&) = delete;

    // No handler call starts after this returns (one already queued is dropped).
    void cancel();
    bool isCancelled() const;

    // What the session's monitor does on a notice, with its level (GLib's 50 low, 100 medium,
    // 255 critical): every live source hears it. Tests stand in for the session with it.
    static void deliverSessionNotice(int glibLevel);

    struct State;

private:
    MemoryPressureSource() = default;
    std::shared_ptr<State> m_state;
};

} // namespace ui
