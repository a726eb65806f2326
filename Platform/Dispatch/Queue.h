#pragma once
// Dispatch queues: the main queue (drained by the main run loop), serial and concurrent queues
// with labels, and the global queues by quality of service. All share one worker pool sized to
// the machine. Every member may be called from any thread.

#include <functional>
#include <memory>
#include <string>

namespace dispatch {

class Queue;
using QueuePtr = std::shared_ptr<Queue>;
using Block = std::function<void()>;

// Quality of service: the pool runs work of a higher class first. Unspecified behaves as Default.
enum class QoS { Unspecified, Background, Utility, Default, UserInitiated, UserInteractive };

class Queue : public std::enable_shared_from_this<Queue> {
public:
    enum class Kind { Main, Global, Serial, Concurrent };

    static QueuePtr main();
    static QueuePtr global(QoS qos = QoS::Default);
    static QueuePtr serial(std::string label, QoS qos = QoS::Unspecified);
    static QueuePtr concurrent(std::string label, QoS qos = QoS::Unspecified);

    // Runs `block` later on the queue and returns at once.
    void async(Block block);
    // Runs `block` on the queue and waits for it. Waiting for a queue that the calling thread
    // is itself running exclusively (a serial queue, a barrier, the main thread for the main
    // queue) would never end: that is a programming error and stops the process.
    void sync(const Block& block);
    // Runs `block` after `delaySeconds` on the process clock (virtual in tests).
    void asyncAfter(double delaySeconds, Block block);
    // On a concurrent queue, a barrier block waits for everything submitted before it and runs
    // alone. On serial queues (and, as the platform does, on global queues) it is a plain block.
    void barrierAsync(Block block);
    void barrierSync(const Block& block);

    const std::string& label() const { return m_label; }
    QoS qos() const { return m_qos; }
    Kind kind() const { return m_kind; }
    bool isSerial() const { return m_kind == Kind::Main || m_kind == Kind::Serial; }

    // Whether the calling thread is running a block of this queue (also inside a nested sync
    // onto another queue). For the main queue: whether the caller is the main thread.
    bool isCurrent() const;
    // The label of the queue whose block the calling thread runs ("" on a plain thread).
    static std::string currentLabel();

    ~Queue();
    Queue(const Queue&) = delete;
    Queue& operator=(const Queue&) = delete;

    struct State;

protected:
    Queue(Kind kind, std::string label, QoS qos);

private:
    friend struct QueueAccess;
    Kind m_kind;
    std::string m_label;
    QoS m_qos = QoS::Unspecified;
    std::unique_ptr<State> m_state;
};

// Waits, a few seconds at most, until the worker pool has nothing queued and nothing running
// (blocks that wait are not waited for). main() calls it before returning, so that no block
// runs on while the process's static objects are destroyed; exit() waits too, but only after
// destroying the static objects made since the pool started.
void waitForWorkersBeforeExit();

} // namespace dispatch
