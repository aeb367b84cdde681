#pragma once
// The playout buffer towards the repeater. Frames from the internet come
// late, twice, out of order or not at all, and bunch up after a stall; the
// air carries one burst every 60 ms per time slot. The buffer holds each
// network call's frames for a set time after its first frame, then gives
// them out one per 60 ms in the order of their sequence numbers, a silence
// burst in place of every voice burst that never came, so the repeater always
// gets whole superframes. A call that arrives while the one before is still
// playing out waits and plays whole after it.
//
// Plain state in fixed storage: the link thread pushes each DMRD frame with
// the time it came and polls with the time now; nothing here reads a clock.

#include "dmr/silence.h"
#include "voice/call_record.h"
#include "voice/dmrd_frame.h"

#include <array>
#include <bitset>
#include <cstddef>
#include <cstdint>
#include <span>

inline constexpr std::int64_t JITTER_MS_MIN = 60;
inline constexpr std::int64_t JITTER_MS_MAX = 1000;

// One time slot.
class playout_slot {
  public:
    static constexpr std::int64_t BURST_MS = 60;
    // Sequence numbers held ahead of the next turn: more than a second of
    // frames beyond the longest hold.
    static constexpr std::size_t WINDOW = 32;

    // A frame of a voice call (header, burst or terminator), received at `now_ms`.
    void push(const dmrd_frame::Frame &frame, std::int64_t now_ms, std::int64_t hold_ms);
    // The frame whose turn has come by `now_ms`, if any, with its call's
    // frame counts so far. Call until it gives nothing.
    bool pop(std::int64_t now_ms, dmrd_frame::Frame &out, call_figures &figures);

  private:
    enum class past : std::uint8_t { none, played, filled };
    struct held_call {
        bool active;
        bool ended;   // its terminator is held
        bool playing; // its first turn has gone
        bool have_pattern;
        std::uint32_t stream;
        std::uint32_t source;
        std::int64_t next_turn_ms;
        std::int64_t last_ms; // its last arrival or playout, for the watchdog
        // Sequence numbers unwrapped: the first frame's own number, then
        // counted on from it.
        std::int64_t next;
        std::int64_t highest;
        std::int64_t end;            // the terminator's
        std::int64_t first_burst;    // the earliest burst heard
        std::uint8_t first_position; // its place in the superframe, 0 (A) to 5 (F)
        bool have_burst;
        std::array<dmr_silence::middle, 6> middles; // the last heard at each position
        std::bitset<6> have_middle;
        dmrd_frame::Frame pattern; // the latest burst: a silence burst takes its header
        std::int64_t pattern_seq;
        std::bitset<WINDOW> held;
        std::array<dmrd_frame::Frame, WINDOW> frames;
        std::array<past, 128> passed;
        call_figures figures;
    };
    static std::int64_t unwrap(const held_call &c, std::uint8_t sequence);
    static bool is_burst(const held_call &c, std::int64_t seq);
    static void hold(held_call &c, const dmrd_frame::Frame &frame, std::int64_t seq,
                     std::int64_t now_ms);
    static void fill_silence(const held_call &c, std::int64_t seq, dmrd_frame::Frame &out);
    held_call *call_of(std::uint32_t stream, std::uint32_t source, bool terminator,
                       std::int64_t now_ms, std::int64_t hold_ms);

    // [0] plays (or is due first), [1] waits for it to end.
    std::array<held_call, 2> calls_{};
    std::int64_t free_ms_ = 0; // the slot's next turn after the last frame given out
};

// Both time slots of one repeater.
class playout_buffer {
  public:
    // True when the frame is the buffer's: a voice call's header, burst or
    // terminator of at least a whole frame's length. Anything else is the
    // caller's to convert at once.
    bool push(std::span<const std::uint8_t> datagram, std::int64_t now_ms, std::int64_t hold_ms);
    bool pop(std::int64_t now_ms, dmrd_frame::Frame &out, call_figures &figures);

  private:
    std::array<playout_slot, 2> slots_{};
};
