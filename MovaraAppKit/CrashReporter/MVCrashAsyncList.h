#pragma once
// A doubly linked list that ordinary threads change under a spin lock while a crashed thread
// walks it with no lock at all, announcing itself only through an atomic reader count.
//
// A node removed while someone reads is parked on a free list with its next pointer intact, so a
// reader standing on it still reaches the rest of the list. Parked nodes are reused or freed only
// once no reader is active: reusing one under a reader would send that reader into whatever list
// position the node takes next, skipping or repeating nodes.

#include <atomic>
#include <new>

namespace mvcrash::async {

template <typename T>
class async_list {
public:
    struct node {
        T value;
        node* prev = nullptr;
        std::atomic<node*> next { nullptr };
        node* free_next = nullptr; // the free list's own link, kept apart from next
    };

    async_list() = default;
    async_list(const async_list&) = delete;
    async_list& operator=(const async_list&) = delete;

    ~async_list()
    {
        for (node* n = m_head.load(); n;) {
            node* after = n->next.load();
            delete n;
            n = after;
        }
        drain_free_list();
    }

    // Writers: not for signal handlers (they allocate and spin).
    void nasync_append(const T& value)
    {
        lock();
        node* n = take_node(value);
        std::atomic_thread_fence(std::memory_order_seq_cst);
        if (m_tail) {
            n->prev = m_tail;
            m_tail->next.store(n);
            m_tail = n;
        } else {
            m_tail = n;
            m_head.store(n);
        }
        unlock();
    }

    void nasync_prepend(const T& value)
    {
        lock();
        node* n = take_node(value);
        std::atomic_thread_fence(std::memory_order_seq_cst);
        node* head = m_head.load();
        if (head) {
            n->next.store(head);
            head->prev = n;
            m_head.store(n);
        } else {
            m_tail = n;
            m_head.store(n);
        }
        unlock();
    }

    void nasync_remove_node(node* target)
    {
        lock();
        node* found = m_head.load();
        while (found && found != target)
            found = found->next.load();
        if (!found) {
            unlock();
            return;
        }
        node* after = target->next.load();
        if (m_head.load() == target)
            m_head.store(after);
        else
            target->prev->next.store(after);
        if (after)
            after->prev = target->prev;
        else
            m_tail = target->prev;
        std::atomic_thread_fence(std::memory_order_seq_cst);
        if (m_readers.load() > 0) {
            // Keeps its next pointer: a reader standing here moves on from it.
            target->prev = nullptr;
            target->free_next = m_free;
            m_free = target;
        } else {
            delete target;
            drain_free_list();
        }
        unlock();
    }

    // Readers: async-signal-safe.
    void set_reading(bool reading)
    {
        if (reading)
            m_readers.fetch_add(1);
        else
            m_readers.fetch_sub(1);
    }

    node* next(node* current) const { return current ? current->next.load() : m_head.load(); }

    int reader_count() const { return m_readers.load(); }
    bool has_parked_nodes() const { return m_free != nullptr; }

private:
    node* take_node(const T& value)
    {
        // Parked nodes are reused only while nobody reads (see the class comment).
        if (m_free && m_readers.load() == 0) {
            node* n = m_free;
            m_free = n->free_next;
            n->value = value;
            n->prev = nullptr;
            n->next.store(nullptr);
            n->free_next = nullptr;
            return n;
        }
        node* n = new node;
        n->value = value;
        return n;
    }

    void drain_free_list()
    {
        while (m_free) {
            node* n = m_free;
            m_free = n->free_next;
            delete n;
        }
    }

    void lock()
    {
        while (m_lock.test_and_set(std::memory_order_acquire)) { }
    }
    void unlock() { m_lock.clear(std::memory_order_release); }

    std::atomic_flag m_lock = ATOMIC_FLAG_INIT;
    std::atomic<node*> m_head { nullptr };
    node* m_tail = nullptr;
    std::atomic<int> m_readers { 0 };
    node* m_free = nullptr;
};

} // namespace mvcrash::async
