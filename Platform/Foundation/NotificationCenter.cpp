#include "Platform/Foundation/NotificationCenter.h"

#include <algorithm>

namespace foundation {

struct NotificationCenter::Token::Registration {
    std::string name;             // empty: every name
    const void* object = nullptr; // null: every poster
    dispatch::QueuePtr queue;
    Block block;
    // Target-style registrations: the target's identity and a call that reports whether the
    // target still lived.
    const void* target = nullptr;
    std::function<bool(const Notification&)> targetCall;
    std::atomic<bool> removed { false };

    bool matches(const Notification& n) const
    {
        return (name.empty() || name == n.name) && (!object || object == n.object);
    }
};

using Registration = NotificationCenter::Token::Registration;

NotificationCenter::Token& NotificationCenter::Token::operator=(Token&& other) noexcept
{
    if (this != &other) {
        remove();
        m_center = std::move(other.m_center);
        m_registration = std::move(other.m_registration);
    }
    return *this;
}

NotificationCenter::Token::~Token() { remove(); }

void NotificationCenter::Token::remove()
{
    if (!m_registration)
        return;
    m_registration->removed.store(true);
    if (auto center = m_center.lock())
        (*center)->removeRegistration(m_registration);
    m_registration.reset();
    m_center.reset();
}

NotificationCenter::NotificationCenter()
    : m_self(std::make_shared<NotificationCenter*>(this))
{
}

NotificationCenter::~NotificationCenter()
{
    m_self.reset();
    std::lock_guard lock(m_mutex);
    for (auto& r : m_registrations)
        r->removed.store(true);
}

NotificationCenter& NotificationCenter::defaultCenter()
{
    static NotificationCenter center;
    return center;
}

NotificationCenter::Token NotificationCenter::addObserver(const std::string& name, const void* object,
                                                          dispatch::QueuePtr queue, Block block)
{
    auto registration = std::make_shared<Registration>();
    registration->name = name;
    registration->object = object;
    registration->queue = std::move(queue);
    registration->block = std::move(block);
    {
        std::lock_guard lock(m_mutex);
        m_registrations.push_back(registration);
    }
    return Token(m_self, std::move(registration));
}

void NotificationCenter::addTargetObserver(const void* target, std::function<bool(const Notification&)> call,
                                           const std::string& name, const void* object)
{
    auto registration = std::make_shared<Registration>();
    registration->name = name;
    registration->object = object;
    registration->target = target;
    registration->targetCall = std::move(call);
    std::lock_guard lock(m_mutex);
    m_registrations.push_back(std::move(registration));
}

void NotificationCenter::removeTarget(const void* target, const std::string* name, const void* object)
{
    if (!target)
        return;
    std::lock_guard lock(m_mutex);
    std::erase_if(m_registrations, [&](const std::shared_ptr<Registration>& r) {
        if (r->target != target)
            return false;
        if (name && !name->empty() && r->name != *name)
            return false;
        if (object && r->object != object)
            return false;
        r->removed.store(true);
        return true;
    });
}

void NotificationCenter::removeRegistration(const std::shared_ptr<Registration>& registration)
{
    std::lock_guard lock(m_mutex);
    std::erase(m_registrations, registration);
}

void NotificationCenter::post(const std::string& name, const void* object, NotificationUserInfo userInfo)
{
    post(Notification { name, object, nullptr, std::move(userInfo) });
}

void NotificationCenter::post(const Notification& notification)
{
    // Work on a snapshot so observers may add or remove observers (themselves included) while
    // being called; the `removed` flag keeps a removed one from being called later in this post.
    std::vector<std::shared_ptr<Registration>> snapshot;
    {
        std::lock_guard lock(m_mutex);
        for (const auto& r : m_registrations) {
            if (r->matches(notification))
                snapshot.push_back(r);
        }
    }
    std::vector<std::shared_ptr<Registration>> dead;
    for (const auto& r : snapshot) {
        if (r->removed.load())
            continue;
        if (r->targetCall) {
            if (!r->targetCall(notification))
                dead.push_back(r);
            continue;
        }
        if (!r->queue || r->queue->isCurrent()) {
            r->block(notification);
            continue;
        }
        r->queue->sync([&] {
            if (!r->removed.load())
                r->block(notification);
        });
    }
    if (!dead.empty()) {
        std::lock_guard lock(m_mutex);
        std::erase_if(m_registrations, [&](const std::shared_ptr<Registration>& r) {
            return std::find(dead.begin(), dead.end(), r) != dead.end();
        });
    }
}

} // namespace foundation
