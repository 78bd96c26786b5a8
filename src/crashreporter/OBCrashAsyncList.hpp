#pragma once
// A doubly linked list written by ordinary threads under a lock and walked by crash-time readers
// without one. Readers announce themselves with a counter (the reading mark); while any reader
// is marked, no node is released: a removed node goes to a free list and keeps its memory, so a
// reader standing on it never reads freed memory. Nodes are released only by the destructor.
#include <sched.h>

#include <atomic>
#include <vector>

namespace obcrash::OB::async {

/* The writers' lock: writers are rare and brief, and the lock must not be one a crash handler
 * could find held by a stopped thread (readers never take it). */
class WriterLock {
public:
    void lock() {
        while (flag_.test_and_set(std::memory_order_seq_cst)) sched_yield();
    }
    void unlock() { flag_.clear(std::memory_order_seq_cst); }

private:
    std::atomic_flag flag_ = ATOMIC_FLAG_INIT;
};

template <typename V>
class async_list {
public:
    struct node {
        V value{};
        node* prev = nullptr;
        std::atomic<node*> next{nullptr};
    };

    async_list() = default;
    async_list(const async_list&) = delete;
    async_list& operator=(const async_list&) = delete;

    ~async_list() {
        release_chain(head.load());
        release_chain(free);
    }

    /* Appends `value`. A node taken from the free list still held the value of the entry removed
     * from it; that value is handed to `displaced` (or left alone when it is null). */
    void nasync_append(V value, std::vector<V>* displaced = nullptr) {
        write_lock.lock();
        node* n;
        if (free != nullptr) {
            n = free;
            free = n->next.load();
            if (free != nullptr) free->prev = nullptr;
            if (displaced != nullptr) displaced->push_back(n->value);
        } else {
            n = new node;
        }
        n->value = value;
        n->prev = nullptr;
        n->next.store(nullptr);
        std::atomic_thread_fence(std::memory_order_seq_cst);
        if (tail != nullptr) {
            node* expected = nullptr;
            tail->next.compare_exchange_strong(expected, n);
            n->prev = tail;
            tail = n;
        } else {
            tail = n;
            node* expected = nullptr;
            head.compare_exchange_strong(expected, n);
        }
        write_lock.unlock();
    }

    /* Puts `value` at the front. The node is complete before the head is swapped to it, so a
     * reader sees either the old head or the whole new node. */
    void nasync_prepend(V value) {
        write_lock.lock();
        node* n = take_node();
        n->value = value;
        n->prev = nullptr;
        node* old_head = head.load();
        n->next.store(old_head);
        if (old_head != nullptr) {
            old_head->prev = n;
        } else {
            tail = n;
        }
        std::atomic_thread_fence(std::memory_order_seq_cst);
        head.compare_exchange_strong(old_head, n);
        write_lock.unlock();
    }

    void nasync_remove_node(node* n) {
        write_lock.lock();
        node* found = head.load();
        while (found != nullptr && found != n) found = found->next.load();
        if (found == nullptr) {
            write_lock.unlock();
            return;
        }
        node* next = n->next.load();
        if (head.load() == n) {
            node* expected = n;
            head.compare_exchange_strong(expected, next);
        } else {
            node* expected = n;
            n->prev->next.compare_exchange_strong(expected, next);
        }
        if (next != nullptr) {
            next->prev = n->prev;
        } else {
            tail = n->prev;
        }
        if (refcount.load() < 1) {
            delete n;
        } else {
            n->prev = nullptr;
            n->next.store(free);
            if (free != nullptr) free->prev = n;
            free = n;
        }
        write_lock.unlock();
    }

    void set_reading(bool enable) { refcount.fetch_add(enable ? 1 : -1); }

    WriterLock write_lock;
    std::atomic<node*> head{nullptr};
    node* tail = nullptr;
    std::atomic<int32_t> refcount{0};
    node* free = nullptr;

private:
    /* Writers only, under the lock. */
    node* take_node() {
        node* n = free;
        if (n == nullptr) return new node;
        free = n->next.load();
        if (free != nullptr) free->prev = nullptr;
        return n;
    }

    static void release_chain(node* n) {
        while (n != nullptr) {
            node* next = n->next.load();
            delete n;
            n = next;
        }
    }
};

}  // namespace obcrash::OB::async
