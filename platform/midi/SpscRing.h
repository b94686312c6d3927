// A lock-free ring with one writer and one reader, for handing items to or
// from a thread that must neither lock nor allocate (JACK's process thread):
// single items (words) or runs of them (a packet's bytes behind its size).
// The storage is made once, by the constructor. The indices only grow; their
// difference is the fill.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstring>
#include <type_traits>
#include <vector>

namespace pallorwind::midi {

template <typename T> class SpscRing {
    static_assert(std::is_trivially_copyable_v<T>);

public:
    // `capacity` is a power of two.
    explicit SpscRing(std::size_t capacity) : m_items(capacity), m_mask(capacity - 1) {}
    SpscRing(const SpscRing&) = delete;
    SpscRing& operator=(const SpscRing&) = delete;

    std::size_t Capacity() const { return m_items.size(); }

    // --- Writer side.
    bool Full() const { return Space() == 0; }
    std::size_t Space() const {
        return m_items.size() -
               (m_head.load(std::memory_order_relaxed) - m_tail.load(std::memory_order_acquire));
    }
    bool Push(const T& item) {
        const std::size_t head = m_head.load(std::memory_order_relaxed);
        if (head - m_tail.load(std::memory_order_acquire) == m_items.size())
            return false;
        m_items[head & m_mask] = item;
        m_head.store(head + 1, std::memory_order_release);
        return true;
    }
    // Writes `a` then `b` as one piece, visible to the reader at once; false
    // (nothing written) when it does not fit.
    bool PushWhole(const T* a, std::size_t aCount, const T* b, std::size_t bCount) {
        const std::size_t head = m_head.load(std::memory_order_relaxed);
        if (m_items.size() - (head - m_tail.load(std::memory_order_acquire)) < aCount + bCount)
            return false;
        CopyIn(head, a, aCount);
        CopyIn(head + aCount, b, bCount);
        m_head.store(head + aCount + bCount, std::memory_order_release);
        return true;
    }

    // --- Reader side.
    bool Peek(T& item) const {
        const std::size_t tail = m_tail.load(std::memory_order_relaxed);
        if (m_head.load(std::memory_order_acquire) == tail)
            return false;
        item = m_items[tail & m_mask];
        return true;
    }
    // Copies `count` items from the front (they are there: see Size) without
    // taking them.
    void PeekMany(T* to, std::size_t count) const {
        const std::size_t tail = m_tail.load(std::memory_order_relaxed);
        const std::size_t at = tail & m_mask;
        const std::size_t first = std::min(count, m_items.size() - at);
        Copy(to, &m_items[at], first);
        Copy(to + first, &m_items[0], count - first); // the rest at the start
    }
    // Takes `count` items (they are there).
    void Pop(std::size_t count = 1) {
        m_tail.store(m_tail.load(std::memory_order_relaxed) + count, std::memory_order_release);
    }
    // Drops everything written so far (the reader's side, or the writer's
    // while no reader runs).
    void Clear() {
        m_tail.store(m_head.load(std::memory_order_acquire), std::memory_order_release);
    }

    // --- Either side.
    std::size_t Size() const {
        return m_head.load(std::memory_order_acquire) - m_tail.load(std::memory_order_acquire);
    }

private:
    void CopyIn(std::size_t from, const T* items, std::size_t count) {
        const std::size_t at = from & m_mask;
        const std::size_t first = std::min(count, m_items.size() - at);
        Copy(&m_items[at], items, first);
        Copy(&m_items[0], items + first, count - first);
    }

    // Under ThreadSanitizer one side of the ring may run out of its sight
    // (JACK's process thread), while memcpy's interceptor would see the other
    // side of a hand-over only: there the items are copied one by one.
    static void Copy(T* to, const T* from, std::size_t count) {
        if (count == 0)
            return;
#if defined(__SANITIZE_THREAD__)
        volatile unsigned char* out = reinterpret_cast<unsigned char*>(to);
        const auto* in = reinterpret_cast<const unsigned char*>(from);
        for (std::size_t i = 0; i < count * sizeof(T); ++i)
            out[i] = in[i];
#else
        std::memcpy(to, from, count * sizeof(T));
#endif
    }

    std::vector<T> m_items;
    const std::size_t m_mask;
    alignas(64) std::atomic<std::size_t> m_head{0};
    alignas(64) std::atomic<std::size_t> m_tail{0};
};

} // namespace pallorwind::midi
