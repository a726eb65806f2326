#pragma once
// A value guarded by a private concurrent queue: reads run synchronously and may overlap;
// swap and modify run as barrier blocks, alone and in submission order, and return at once.
// A read after a swap from the same thread sees the swapped value. `value() = ...`-style
// read-change-write from two threads can lose an update; modify changes it in one step.
// The transform given to modify must not use the same Atomic (it would wait for itself).

#include <functional>
#include <memory>
#include <optional>

#include "Platform/Dispatch/Queue.h"

template <typename T>
class Atomic : public std::enable_shared_from_this<Atomic<T>> {
public:
    static std::shared_ptr<Atomic> init(T value) { return std::shared_ptr<Atomic>(new Atomic(std::move(value))); }

    T value() const
    {
        std::optional<T> copy;
        m_queue->sync([&] { copy.emplace(m_value); });
        return std::move(*copy);
    }
    void setValue(T newValue) { swap(std::move(newValue)); }

    // The pending block keeps the Atomic alive until it has run.
    void swap(T newValue)
    {
        auto self = this->shared_from_this();
        m_queue->barrierAsync([self, v = std::move(newValue)]() mutable { self->m_value = std::move(v); });
    }
    void modify(std::function<T(T)> transform)
    {
        auto self = this->shared_from_this();
        m_queue->barrierAsync([self, transform = std::move(transform)] { self->m_value = transform(std::move(self->m_value)); });
    }

    const dispatch::QueuePtr& queue() const { return m_queue; }

private:
    explicit Atomic(T value)
        : m_queue(dispatch::Queue::concurrent("Atomic"))
        , m_value(std::move(value))
    {
    }

    dispatch::QueuePtr m_queue;
    T m_value;
};
