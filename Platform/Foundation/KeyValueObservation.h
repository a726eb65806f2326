#pragma once
// The pieces an Observable shares with the machinery that delivers its changes to observers;
// only the two sides of key-value observation include this.

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "Platform/Foundation/Observable.h"

namespace foundation {

namespace observation {

struct Receiver {
    virtual ~Receiver() = default;
    virtual void will() = 0;
    virtual void did() = 0;
};

struct Listener {
    std::weak_ptr<Receiver> target;
    std::atomic<bool> active { true };
};

using ListenerList = std::vector<std::shared_ptr<Listener>>;

// Tells the listeners still active that a change begins (`isWill`) or has ended.
void deliver(const ListenerList& listeners, bool isWill);

// "a.b.c" as ("a", "b.c"); a single key as (key, "").
std::pair<std::string, std::string> splitFirst(const std::string& keyPath);
// The object-valued key `key` of `object`, or null when it has none or isn't observable.
std::shared_ptr<Observable> objectForKey(const Observable& object, const std::string& key);

} // namespace observation

struct Observable::State {
    std::mutex mutex;
    Observable* owner = nullptr;
    std::map<std::string, observation::ListenerList> listeners;
    struct Pending {
        std::string key;
        std::thread::id thread;
        observation::ListenerList listeners;
    };
    std::vector<Pending> pending;
};

namespace observation {

// An observation of `keyPath` from `root`, delivering to `handler` until its token goes.
std::shared_ptr<Observable::Token::Impl> observe(Observable& root, const std::string& keyPath, unsigned options,
                                                 void* context, KeyValueObserver handler);

} // namespace observation

} // namespace foundation
