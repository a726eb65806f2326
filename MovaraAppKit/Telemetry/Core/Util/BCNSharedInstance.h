#pragma once
// The process-wide instance of a telemetry class: made on first use, dropped by reset so the
// next use makes a fresh one. Any thread.

#include <memory>
#include <mutex>
#include <utility>

template <class T> class BCNSharedInstance {
public:
    template <class Make> std::shared_ptr<T> get(Make&& make)
    {
        std::lock_guard lock(m_mutex);
        if (!m_instance)
            m_instance = make();
        return m_instance;
    }
    std::shared_ptr<T> get()
    {
        return get([] { return std::make_shared<T>(); });
    }
    // The instance, handed to the caller so it can go outside the lock.
    std::shared_ptr<T> reset()
    {
        std::lock_guard lock(m_mutex);
        return std::exchange(m_instance, nullptr);
    }

private:
    std::mutex m_mutex;
    std::shared_ptr<T> m_instance;
};
