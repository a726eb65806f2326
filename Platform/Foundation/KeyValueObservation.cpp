#include "Platform/Foundation/KeyValueObservation.h"

#include <set>

namespace foundation {

// ---- observation machinery ------------------------------------------------------------------
//
// An observation of a key path is a small tree: a node per (object, key path) listens to the
// first key on its object, to the key paths that affect that key (dependent keys), and owns a
// child node for the rest of the path on the current intermediate object. When the first key
// changes, the node re-attaches its child to the new intermediate. Every event ends at the
// observation's sink, which reads old/new values through the full path from the root.
// All links between these pieces are weak so that removing an observation from inside its own
// handler (or destroying an intermediate) never leaves a dangling call.

namespace observation {

void deliver(const ListenerList& listeners, bool isWill)
{
    for (const auto& listener : listeners) {
        if (!listener->active.load())
            continue;
        if (auto target = listener->target.lock()) {
            if (isWill)
                target->will();
            else
                target->did();
        }
    }
}

std::pair<std::string, std::string> splitFirst(const std::string& keyPath)
{
    const auto dot = keyPath.find('.');
    if (dot == std::string::npos)
        return { keyPath, {} };
    return { keyPath.substr(0, dot), keyPath.substr(dot + 1) };
}

std::shared_ptr<Observable> objectForKey(const Observable& object, const std::string& key)
{
    const KeyTable::Entry* entry = object.observableKeys().find(key);
    if (!entry)
        return nullptr;
    if (entry->object)
        return entry->object(object);
    if (!entry->getter)
        return nullptr;
    std::any value = entry->getter(object);
    if (auto* p = std::any_cast<std::shared_ptr<Observable>>(&value))
        return *p;
    return nullptr;
}

} // namespace observation

struct ObservationAccess {
    static std::shared_ptr<Observable::State> state(const Observable& o) { return o.m_state; }
};

namespace {

using namespace observation;
using State = Observable::State;

// One listener registered on one object's key; unregisters when destroyed.
class Subscription {
public:
    Subscription(const std::shared_ptr<State>& state, std::string key, std::weak_ptr<Receiver> target)
        : m_state(state)
        , m_key(std::move(key))
        , m_listener(std::make_shared<Listener>())
    {
        m_listener->target = std::move(target);
        std::lock_guard lock(state->mutex);
        state->listeners[m_key].push_back(m_listener);
    }
    ~Subscription()
    {
        m_listener->active.store(false);
        auto state = m_state.lock();
        if (!state)
            return;
        std::lock_guard lock(state->mutex);
        auto it = state->listeners.find(m_key);
        if (it == state->listeners.end())
            return;
        std::erase(it->second, m_listener);
        if (it->second.empty())
            state->listeners.erase(it);
    }
    Subscription(const Subscription&) = delete;
    Subscription& operator=(const Subscription&) = delete;

private:
    std::weak_ptr<State> m_state;
    std::string m_key;
    std::shared_ptr<Listener> m_listener;
};

Observable* ownerOf(const std::shared_ptr<State>& state)
{
    if (!state)
        return nullptr;
    std::lock_guard lock(state->mutex);
    return state->owner;
}

// Reads a key path without throwing: an unknown key or a missing intermediate gives no value.
std::any quietValue(const Observable& root, const std::string& keyPath)
{
    const Observable* object = &root;
    std::shared_ptr<Observable> hold;
    std::string rest = keyPath;
    for (;;) {
        auto [first, tail] = splitFirst(rest);
        if (tail.empty()) {
            const KeyTable::Entry* entry = object->observableKeys().find(first);
            return entry && entry->getter ? entry->getter(*object) : std::any();
        }
        hold = objectForKey(*object, first);
        if (!hold)
            return {};
        object = hold.get();
        rest = tail;
    }
}

class Node : public Receiver, public std::enable_shared_from_this<Node> {
public:
    // `visited` holds the keys of this object already being listened to by the chain of
    // dependent keys that led here, so that a cycle in the declarations can't recurse forever.
    static std::shared_ptr<Node> make(const Observable& object, const std::string& keyPath,
                                      std::weak_ptr<Receiver> upstream, std::set<std::string> visited)
    {
        auto node = std::make_shared<Node>();
        node->m_upstream = std::move(upstream);
        node->m_state = ObservationAccess::state(object);
        auto [first, rest] = splitFirst(keyPath);
        node->m_first = first;
        node->m_rest = rest;
        if (!visited.insert(first).second)
            return node;
        node->m_subscription = std::make_unique<Subscription>(node->m_state, first, node->weak_from_this());
        for (const auto& path : object.observableKeys().keyPathsAffecting(first))
            node->m_dependents.push_back(make(object, path, node->weak_from_this(), visited));
        if (!rest.empty())
            node->m_child = node->makeChild(object);
        return node;
    }

    void will() override
    {
        if (auto up = m_upstream.lock())
            up->will();
    }

    void did() override
    {
        if (!m_rest.empty()) {
            std::shared_ptr<Node> fresh;
            if (Observable* object = ownerOf(m_state))
                fresh = makeChild(*object);
            std::shared_ptr<Node> old;
            {
                std::lock_guard lock(m_mutex);
                old = std::move(m_child);
                m_child = std::move(fresh);
            }
        }
        if (auto up = m_upstream.lock())
            up->did();
    }

private:
    std::shared_ptr<Node> makeChild(const Observable& object)
    {
        auto intermediate = objectForKey(object, m_first);
        if (!intermediate)
            return nullptr;
        // The rest of the path reports straight to our upstream: a change deeper down doesn't
        // replace the intermediate, so there is nothing to re-attach here.
        return make(*intermediate, m_rest, m_upstream, {});
    }

    std::mutex m_mutex;
    std::weak_ptr<Receiver> m_upstream;
    std::shared_ptr<State> m_state;
    std::string m_first;
    std::string m_rest;
    std::unique_ptr<Subscription> m_subscription;
    std::vector<std::shared_ptr<Node>> m_dependents;
    std::shared_ptr<Node> m_child;
};

class Sink : public Receiver {
public:
    Sink(std::shared_ptr<State> root, std::string keyPath, unsigned options, void* context,
         KeyValueObserver handler)
        : m_root(std::move(root))
        , m_keyPath(std::move(keyPath))
        , m_options(options)
        , m_context(context)
        , m_handler(std::move(handler))
    {
    }

    void will() override
    {
        if (!m_active.load())
            return;
        Observable* root = ownerOf(m_root);
        if (!root)
            return;
        std::any old;
        if (m_options & KeyValueObservingOptionOld)
            old = quietValue(*root, m_keyPath);
        {
            std::lock_guard lock(m_mutex);
            m_olds.push_back(old);
        }
        if (m_options & KeyValueObservingOptionPrior) {
            KeyValueChange change = base(root);
            change.isPrior = true;
            change.oldValue = std::move(old);
            call(change);
        }
    }

    void did() override
    {
        if (!m_active.load())
            return;
        Observable* root = ownerOf(m_root);
        if (!root)
            return;
        KeyValueChange change = base(root);
        {
            std::lock_guard lock(m_mutex);
            if (!m_olds.empty()) {
                change.oldValue = std::move(m_olds.back());
                m_olds.pop_back();
            }
        }
        if (m_options & KeyValueObservingOptionNew)
            change.newValue = quietValue(*root, m_keyPath);
        call(change);
    }

    void initial(Observable& root)
    {
        KeyValueChange change = base(&root);
        if (m_options & KeyValueObservingOptionNew)
            change.newValue = quietValue(root, m_keyPath);
        call(change);
    }

    void deactivate() { m_active.store(false); }

private:
    KeyValueChange base(Observable* root) const
    {
        KeyValueChange change;
        change.keyPath = m_keyPath;
        change.object = root;
        change.context = m_context;
        return change;
    }

    void call(const KeyValueChange& change)
    {
        if (m_active.load() && m_handler)
            m_handler(change);
    }

    std::shared_ptr<State> m_root;
    std::string m_keyPath;
    unsigned m_options = 0;
    void* m_context = nullptr;
    KeyValueObserver m_handler;
    std::atomic<bool> m_active { true };
    std::mutex m_mutex;
    std::vector<std::any> m_olds;
};

} // namespace

struct Observable::Token::Impl {
    std::shared_ptr<Sink> sink;
    std::shared_ptr<Node> root;
};

Observable::Token& Observable::Token::operator=(Token&& other) noexcept
{
    if (this != &other) {
        remove();
        m_impl = std::move(other.m_impl);
    }
    return *this;
}

Observable::Token::~Token() { remove(); }

void Observable::Token::remove()
{
    if (!m_impl)
        return;
    m_impl->sink->deactivate();
    m_impl.reset();
}

namespace observation {

std::shared_ptr<Observable::Token::Impl> observe(Observable& root, const std::string& keyPath, unsigned options,
                                                 void* context, KeyValueObserver handler)
{
    auto impl = std::make_shared<Observable::Token::Impl>();
    impl->sink = std::make_shared<Sink>(ObservationAccess::state(root), keyPath, options, context, std::move(handler));
    impl->root = Node::make(root, keyPath, impl->sink, {});
    if (options & KeyValueObservingOptionInitial)
        impl->sink->initial(root);
    return impl;
}

} // namespace observation

} // namespace foundation
