#pragma once
// A fixed ring of N items that any thread may push to and pop from without a
// lock, an allocation or a wait: a push onto a full ring fails at once, so a
// caller on the voice path never waits for whoever drains it. Each cell
// carries a sequence number that says whose turn it is (the bounded queue of
// D. Vyukov), so a pop never sees an item half written.

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>

template <class T, std::size_t N> class bounded_queue {
    static_assert(N >= 2 && (N & (N - 1)) == 0, "N must be a power of two");

  public:
    bounded_queue() {
        for (std::size_t i = 0; i < N; ++i) {
            cells_[i].turn.store(i, std::memory_order_relaxed);
        }
    }
    bounded_queue(const bounded_queue &) = delete;
    bounded_queue &operator=(const bounded_queue &) = delete;

    // Fills the next free cell through `write(T &)`; false when the ring is full.
    template <class Write> bool push(Write &&write) {
        std::size_t at = tail_.load(std::memory_order_relaxed);
        for (;;) {
            cell &c = cells_[at & (N - 1)];
            const std::size_t turn = c.turn.load(std::memory_order_acquire);
            const auto lag = static_cast<std::ptrdiff_t>(turn - at);
            if (lag == 0) {
                if (tail_.compare_exchange_weak(at, at + 1, std::memory_order_relaxed)) {
                    write(c.item);
                    c.turn.store(at + 1, std::memory_order_release);
                    return true;
                }
            } else if (lag < 0) {
                return false;
            } else {
                at = tail_.load(std::memory_order_relaxed);
            }
        }
    }

    // Hands the oldest item to `read(const T &)`; false when the ring is empty.
    template <class Read> bool pop(Read &&read) {
        std::size_t at = head_.load(std::memory_order_relaxed);
        for (;;) {
            cell &c = cells_[at & (N - 1)];
            const std::size_t turn = c.turn.load(std::memory_order_acquire);
            const auto lag = static_cast<std::ptrdiff_t>(turn - (at + 1));
            if (lag == 0) {
                if (head_.compare_exchange_weak(at, at + 1, std::memory_order_relaxed)) {
                    read(static_cast<const T &>(c.item));
                    c.turn.store(at + N, std::memory_order_release);
                    return true;
                }
            } else if (lag < 0) {
                return false;
            } else {
                at = head_.load(std::memory_order_relaxed);
            }
        }
    }

  private:
    struct cell {
        std::atomic<std::size_t> turn{0};
        T item{};
    };
    std::array<cell, N> cells_{};
    alignas(64) std::atomic<std::size_t> tail_{0};
    alignas(64) std::atomic<std::size_t> head_{0};
};
