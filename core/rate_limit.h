#pragma once
// Token buckets per (source, kind) in a fixed table: `burst` events pass at
// once, then one every `period_ms`. What a bucket refuses is counted and
// handed to the caller with the next event that passes, so a limited log can
// say how much it left out. No heap and no clock of its own: the caller passes
// the time, from any clock in milliseconds; a clock set back costs at most one
// period.

#include <array>
#include <cstddef>
#include <cstdint>

struct rate_decision {
    bool pass = false;
    // On a pass: how many events of this bucket were refused since its last
    // pass. `shared` says they were counted in the overflow bucket, which
    // stands for every source the table had no room for.
    std::uint64_t held = 0;
    bool shared = false;
};

template <std::size_t Capacity> class rate_limiter {
  public:
    constexpr rate_limiter(std::uint32_t burst, std::int64_t period_ms)
        : period_(period_ms > 0 ? period_ms : 1),
          ceiling_((burst > 0 ? burst : 1) * (period_ms > 0 ? period_ms : 1)) {}

    rate_decision admit(std::uint32_t source, std::uintptr_t kind, std::int64_t now_ms) {
        bucket *b = find_or_take(source, kind, now_ms);
        const bool shared = b == &overflow_;
        if (shared && !overflow_.used) {
            overflow_ = fresh(0, 0, now_ms);
        }
        refill(*b, now_ms);
        if (b->credit < period_) {
            ++b->held;
            return {};
        }
        b->credit -= period_;
        const std::uint64_t held = b->held;
        b->held = 0;
        return {true, held, shared};
    }

  private:
    // Long enough that a source's held count normally waits for its next
    // event; past it a silent bucket may be given to another source.
    static constexpr std::int64_t IDLE_RECLAIM_MS = 60000;

    struct bucket {
        std::uint32_t source;
        std::uintptr_t kind;
        std::int64_t credit; // milliseconds of credit, at most ceiling_
        std::int64_t last;
        std::uint64_t held;
        bool used;
    };

    bucket fresh(std::uint32_t source, std::uintptr_t kind, std::int64_t now) const {
        return {source, kind, ceiling_, now, 0, true};
    }

    void refill(bucket &b, std::int64_t now) const {
        if (now < b.last) {
            b.last = now; // the clock went back: count from here
            return;
        }
        const std::int64_t elapsed = now - b.last;
        b.credit = elapsed >= ceiling_ - b.credit ? ceiling_ : b.credit + elapsed;
        b.last = now;
    }

    // A bucket that has refilled completely and holds no count is the same
    // as a new one, so it may be handed to another key.
    bool reclaimable(const bucket &b, std::int64_t now) const {
        if (!b.used) {
            return true;
        }
        const std::int64_t idle = now >= b.last ? now - b.last : 0;
        return (b.held == 0 && idle >= ceiling_ - b.credit) || idle >= IDLE_RECLAIM_MS;
    }

    bucket *find_or_take(std::uint32_t source, std::uintptr_t kind, std::int64_t now) {
        bucket *spare = nullptr;
        for (bucket &b : buckets_) {
            if (b.used && b.source == source && b.kind == kind) {
                return &b;
            }
            if (spare == nullptr && reclaimable(b, now)) {
                spare = &b;
            }
        }
        if (spare == nullptr) {
            return &overflow_;
        }
        *spare = fresh(source, kind, now);
        return spare;
    }

    std::int64_t period_;
    std::int64_t ceiling_;
    std::array<bucket, Capacity> buckets_{};
    bucket overflow_{};
};
