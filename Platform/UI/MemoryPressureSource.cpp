#include "Platform/UI/MemoryPressureSource.h"

#include <gio/gio.h>

#include <atomic>
#include <mutex>

#include "Platform/Dispatch/Queue.h"

namespace ui {

struct MemoryPressureSource::State {
    Handler handler;
    std::atomic<bool> cancelled { false };
    GMemoryMonitor* monitor = nullptr;
    gulong signalId = 0;
};

namespace {

// The session's monitor, made once and kept for the process (GLib shares it anyway).
GMemoryMonitor* sessionMonitor()
{
    static GMemoryMonitor* monitor = g_memory_monitor_dup_default();
    return monitor;
}

MemoryPressureSource::Level levelFor(int glibLevel)
{
    return glibLevel >= G_MEMORY_MONITOR_WARNING_LEVEL_CRITICAL ? MemoryPressureSource::Level::Critical
                                                                 : MemoryPressureSource::Level::Warning;
}

void onLowMemoryWarning(GMemoryMonitor*, GMemoryMonitorWarningLevel level, gpointer data)
{
    // The signal holds a strong reference of its own to the state until it is disconnected.
    auto* held = static_cast<std::shared_ptr<MemoryPressureSource::State>*>(data);
    std::weak_ptr<MemoryPressureSource::State> weak = *held;
    const auto converted = levelFor(static_cast<int>(level));
    dispatch::Queue::main()->async([weak, converted] {
        auto state = weak.lock();
        if (state && !state->cancelled.load())
            state->handler(converted);
    });
}

void releaseHeldState(gpointer data, GClosure*)
{
    delete static_cast<std::shared_ptr<MemoryPressureSource::State>*>(data);
}

} // namespace

std::shared_ptr<MemoryPressureSource> MemoryPressureSource::make(Handler handler)
{
    auto source = std::shared_ptr<MemoryPressureSource>(new MemoryPressureSource());
    source->m_state = std::make_shared<State>();
    source->m_state->handler = std::move(handler);
    if (GMemoryMonitor* monitor = sessionMonitor()) {
        source->m_state->monitor = monitor;
        source->m_state->signalId = g_signal_connect_data(monitor, "low-memory-warning", G_CALLBACK(onLowMemoryWarning),
            new std::shared_ptr<State>(source->m_state), releaseHeldState, GConnectFlags(0));
    }
    return source;
}

MemoryPressureSource::~MemoryPressureSource()
{
    cancel();
}

void MemoryPressureSource::cancel()
{
    if (!m_state || m_state->cancelled.exchange(true))
        return;
    if (m_state->monitor && m_state->signalId)
        g_signal_handler_disconnect(m_state->monitor, m_state->signalId);
    m_state->signalId = 0;
}

bool MemoryPressureSource::isCancelled() const
{
    return !m_state || m_state->cancelled.load();
}

void MemoryPressureSource::deliverSessionNotice(int glibLevel)
{
    if (GMemoryMonitor* monitor = sessionMonitor())
        g_signal_emit_by_name(monitor, "low-memory-warning", static_cast<GMemoryMonitorWarningLevel>(glibLevel));
}

} // namespace ui
