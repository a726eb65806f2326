#include "Platform/Foundation/Observable.h"

#include "Platform/Foundation/Error.h"
#include "Platform/Foundation/KeyValueObservation.h"

namespace foundation {

const std::string NSUndefinedKeyException = "NSUndefinedKeyException";

using observation::ListenerList;
using observation::deliver;
using observation::objectForKey;
using observation::splitFirst;

// ---- Observable -----------------------------------------------------------------------------

Observable::Observable()
    : m_state(std::make_shared<State>())
{
    m_state->owner = this;
}

Observable::~Observable()
{
    std::lock_guard lock(m_state->mutex);
    m_state->owner = nullptr;
    m_state->listeners.clear();
    m_state->pending.clear();
}

const KeyTable& Observable::observableKeys() const
{
    static const KeyTable none;
    return none;
}

Observable::Token Observable::addObserver(const std::string& keyPath, unsigned options, void* context,
                                          KeyValueObserver handler)
{
    return Token(observation::observe(*this, keyPath, options, context, std::move(handler)));
}

namespace {
[[noreturn]] void throwUndefinedKey(const std::string& key)
{
    throw Exception(NSUndefinedKeyException,
                    "this class is not key value coding-compliant for the key " + key + ".");
}
} // namespace

std::any Observable::valueForKey(const std::string& key) const
{
    const KeyTable::Entry* entry = observableKeys().find(key);
    if (!entry || !entry->getter)
        throwUndefinedKey(key);
    return entry->getter(*this);
}

std::any Observable::valueForKeyPath(const std::string& keyPath) const
{
    auto [first, rest] = splitFirst(keyPath);
    if (rest.empty())
        return valueForKey(first);
    if (!observableKeys().find(first))
        throwUndefinedKey(first);
    auto next = objectForKey(*this, first);
    return next ? next->valueForKeyPath(rest) : std::any();
}

void Observable::setValueForKey(const std::string& key, const std::any& value)
{
    const KeyTable::Entry* entry = observableKeys().find(key);
    if (!entry || !entry->setter)
        throwUndefinedKey(key);
    entry->setter(*this, value);
}

void Observable::setValueForKeyPath(const std::string& keyPath, const std::any& value)
{
    auto [first, rest] = splitFirst(keyPath);
    if (rest.empty())
        return setValueForKey(first, value);
    if (!observableKeys().find(first))
        throwUndefinedKey(first);
    // A path through a missing intermediate sets nothing, as messaging nil would.
    if (auto next = objectForKey(*this, first))
        next->setValueForKeyPath(rest, value);
}

void Observable::willChange(const std::string& key)
{
    ListenerList listeners;
    {
        std::lock_guard lock(m_state->mutex);
        auto it = m_state->listeners.find(key);
        if (it != m_state->listeners.end())
            listeners = it->second;
        m_state->pending.push_back({ key, std::this_thread::get_id(), listeners });
    }
    deliver(listeners, true);
}

void Observable::didChange(const std::string& key)
{
    ListenerList listeners;
    {
        std::lock_guard lock(m_state->mutex);
        auto& pending = m_state->pending;
        auto match = pending.end();
        for (auto it = pending.rbegin(); it != pending.rend(); ++it) {
            if (it->key != key)
                continue;
            if (it->thread == std::this_thread::get_id()) {
                match = std::prev(it.base());
                break;
            }
            if (match == pending.end())
                match = std::prev(it.base());
        }
        if (match != pending.end()) {
            // Only those who saw the change begin are told it ended.
            listeners = std::move(match->listeners);
            pending.erase(match);
        } else {
            auto it = m_state->listeners.find(key);
            if (it != m_state->listeners.end())
                listeners = it->second;
        }
    }
    deliver(listeners, false);
}

} // namespace foundation
