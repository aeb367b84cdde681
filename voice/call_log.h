#pragma once
// The start and end of every voice call, in both directions: one log line
// each, and the same transition in the call record. The conversions keep the
// call of each time slot in a slot_call and report its changes here.

#include "voice/call_record.h"

#include <cstddef>
#include <cstdint>

// A call that has sent no frame for this long is over: its terminator was
// lost. Repeaters and hotspots keep the same watchdog on the network.
inline constexpr std::int64_t CALL_WATCHDOG_MS = 1500;

// The call holding one time slot in one direction. Plain fields, all zero
// when idle, so a table holding it stays zero-initialised.
struct slot_call {
    bool active;
    bool is_private;
    std::uint8_t last_sequence; // of the call's last frame
    std::uint32_t stream_id;
    std::uint32_t source;
    std::uint32_t destination;
    std::int64_t started_ms; // monotonic
    std::int64_t last_ms;    // when its last frame came
    call_figures figures;    // counted as its frames pass; into the record at its end
};

inline bool watchdog_due(const slot_call &call, std::int64_t now_ms) {
    return call.active && now_ms - call.last_ms >= CALL_WATCHDOG_MS;
}

// `repeater` is the repeater index the call belongs to; the lines of index 0
// read as they do with a single repeater, the others name their index.
void call_started(call_direction direction, std::size_t slot, const slot_call &call,
                  std::size_t repeater = 0);
void call_ended(call_direction direction, std::size_t slot, const slot_call &call, call_end how,
                std::int64_t now_ms, std::size_t repeater = 0);
// The talker alias (once complete) and the position of a running call, one
// line each, the first time the call carries them.
void call_alias_heard(call_direction direction, std::size_t slot, const slot_call &call,
                      std::size_t repeater = 0);
void call_position_heard(call_direction direction, std::size_t slot, const slot_call &call,
                         std::size_t repeater = 0);
// A network call that found its time slot held by `holder`: logged and
// recorded once, when its first frame is dropped.
void call_refused(std::size_t slot, const slot_call &refused, const slot_call &holder,
                  std::int64_t now_ms, std::size_t repeater = 0);
