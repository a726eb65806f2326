#pragma once
// A dispatch group: counts work in flight and tells waiters or notify blocks when it drains.
// Thread-safe.

#include <functional>
#include <memory>

#include "Platform/Dispatch/Queue.h"

namespace dispatch {

class Group;
using GroupPtr = std::shared_ptr<Group>;

class Group : public std::enable_shared_from_this<Group> {
public:
    static GroupPtr make();

    void enter();
    // Leaving more often than entering is a programming error and stops the process.
    void leave();
    // Runs `block` on `queue` inside the group.
    void async(const QueuePtr& queue, Block block);
    // Runs `block` on `queue` once the group is empty (at once if it is empty now).
    void notify(const QueuePtr& queue, Block block);
    // Waits until the group is empty; returns false when `timeoutSeconds` of real time passed.
    bool wait(double timeoutSeconds);
    void wait();

    struct State;
    Group();
    ~Group();

private:
    std::unique_ptr<State> m_state;
};

} // namespace dispatch
