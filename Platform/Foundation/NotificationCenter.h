#pragma once
// Process-wide broadcast of named notifications. Posting is synchronous and thread-safe:
// observers without a queue run on the poster's thread before post() returns; an observer
// with a queue runs there (inline when the poster is already on it), and the poster waits.
// An observer removed during a post is not called afterwards; one added during a post is
// not called for that post.

#include <any>
#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <type_traits>
#include <vector>

#include "Platform/Dispatch/Queue.h"

namespace foundation {

using NotificationUserInfo = std::map<std::string, std::any>;

// The address that identifies an object: the most-derived object's, so that a Base* and a
// Derived* to the same object match.
template <class T> const void* identityOf(const T* object)
{
    if constexpr (std::is_polymorphic_v<T>)
        return object ? dynamic_cast<const void*>(object) : nullptr;
    else
        return object;
}

struct Notification {
    std::string name;
    const void* object = nullptr;       // identity of the posting object (may be null)
    std::shared_ptr<void> objectRef;    // the object itself, when the poster handed a shared_ptr
    NotificationUserInfo userInfo;

    template <class T> std::shared_ptr<T> objectAs() const { return std::static_pointer_cast<T>(objectRef); }
    template <class T> const T* userInfoValue(const std::string& key) const
    {
        auto it = userInfo.find(key);
        return it == userInfo.end() ? nullptr : std::any_cast<T>(&it->second);
    }
};

class NotificationCenter {
public:
    using Block = std::function<void(const Notification&)>;

    // A block observation; removes itself when destroyed. Move-only.
    class Token {
    public:
        Token() = default;
        Token(Token&&) noexcept = default;
        Token& operator=(Token&&) noexcept;
        Token(const Token&) = delete;
        Token& operator=(const Token&) = delete;
        ~Token();
        void remove();
        bool isValid() const { return m_registration != nullptr; }

        struct Registration;
        Token(std::weak_ptr<NotificationCenter*> center, std::shared_ptr<Registration> registration)
            : m_center(std::move(center)), m_registration(std::move(registration)) { }

    private:
        std::weak_ptr<NotificationCenter*> m_center;
        std::shared_ptr<Registration> m_registration;
    };

    NotificationCenter();
    ~NotificationCenter();
    NotificationCenter(const NotificationCenter&) = delete;
    NotificationCenter& operator=(const NotificationCenter&) = delete;

    static NotificationCenter& defaultCenter();

    // An empty name observes every name; a null object observes every poster.
    [[nodiscard]] Token addObserver(const std::string& name, const void* object,
                                    dispatch::QueuePtr queue, Block block);

    // Target-style observation: `method` is called on the target while it lives; it is held
    // weakly and its registrations go away with it.
    template <class T>
    void addObserver(const std::shared_ptr<T>& target, void (T::*method)(const Notification&),
                     const std::string& name, const void* object = nullptr);
    // Removes the target's registrations, all or those for one name (and object).
    template <class T> void removeObserver(const std::shared_ptr<T>& target) { removeTarget(identityOf(target.get()), nullptr, nullptr); }
    template <class T>
    void removeObserver(const std::shared_ptr<T>& target, const std::string& name, const void* object = nullptr)
    {
        removeTarget(identityOf(target.get()), &name, object);
    }
    void removeObserver(Token& token) { token.remove(); }

    void post(const Notification& notification);
    void post(const std::string& name, const void* object = nullptr, NotificationUserInfo userInfo = {});
    template <class T>
    void post(const std::string& name, const T* object, NotificationUserInfo userInfo = {})
    {
        post(name, identityOf(object), std::move(userInfo));
    }
    template <class T>
    void post(const std::string& name, const std::shared_ptr<T>& object, NotificationUserInfo userInfo = {})
    {
        post(Notification { name, identityOf(object.get()), std::const_pointer_cast<std::remove_const_t<T>>(object), std::move(userInfo) });
    }

private:
    void addTargetObserver(const void* target, std::function<bool(const Notification&)> call,
                           const std::string& name, const void* object);
    void removeTarget(const void* target, const std::string* name, const void* object);
    void removeRegistration(const std::shared_ptr<Token::Registration>& registration);

    std::mutex m_mutex;
    std::vector<std::shared_ptr<Token::Registration>> m_registrations;
    // Tokens reach the center through this: it expires when the center goes, so a token that
    // outlives its center is harmless.
    std::shared_ptr<NotificationCenter*> m_self;
};

template <class T>
void NotificationCenter::addObserver(const std::shared_ptr<T>& target, void (T::*method)(const Notification&),
                                     const std::string& name, const void* object)
{
    std::weak_ptr<T> weak = target;
    addTargetObserver(identityOf(target.get()), [weak, method](const Notification& n) {
        auto strong = weak.lock();
        if (!strong)
            return false;
        ((*strong).*method)(n);
        return true;
    }, name, object);
}

} // namespace foundation
