#include "voice/playout_buffer.h"

#include "dmr/lc.h"
#include "voice/call_log.h"

#include <algorithm>

namespace df = dmrd_frame;

namespace {

// A voice burst's place in the superframe, 0 (A) to 5 (F); -1 for anything else.
int position_of(std::uint8_t kind) {
    if (kind == df::KIND_VOICE_A) {
        return 0;
    }
    return kind >= df::KIND_VOICE_B && kind <= df::KIND_VOICE_F ? kind : -1;
}

std::uint8_t kind_at(int position) {
    return position == 0 ? df::KIND_VOICE_A : static_cast<std::uint8_t>(position);
}

std::span<std::uint8_t, df::BURST_LENGTH> burst_of(df::Frame &f) {
    return std::span<std::uint8_t, df::LENGTH>(f).subspan<df::BURST, df::BURST_LENGTH>();
}

std::span<const std::uint8_t, df::BURST_LENGTH> burst_of(const df::Frame &f) {
    return std::span<const std::uint8_t, df::LENGTH>(f).subspan<df::BURST, df::BURST_LENGTH>();
}

std::uint32_t stream_of(const df::Frame &f) {
    return df::read_be(f, df::STREAM_ID, sizeof(std::uint32_t));
}

} // namespace

std::int64_t playout_slot::unwrap(const held_call &c, std::uint8_t sequence) {
    const auto offset = static_cast<std::int8_t>(
        static_cast<std::uint8_t>(sequence - static_cast<std::uint8_t>(c.next)));
    return c.next + offset;
}

bool playout_slot::is_burst(const held_call &c, std::int64_t seq) {
    // Voice starts with burst A and ends before the terminator; what comes
    // before the first superframe is the call's header.
    return c.have_burst && seq >= c.first_burst - c.first_position && (!c.ended || seq < c.end);
}

playout_slot::held_call *playout_slot::call_of(std::uint32_t stream, std::uint32_t source,
                                               bool terminator, std::int64_t now_ms,
                                               std::int64_t hold_ms) {
    for (held_call &c : calls_) {
        if (c.active && c.stream == stream && c.source == source) {
            return &c;
        }
    }
    // A terminator alone starts nothing; a second call waits only behind one
    // that has ended, as it would on the air.
    held_call &playing = calls_.front();
    held_call &waiting = calls_.back();
    held_call *fresh = nullptr;
    if (!playing.active) {
        fresh = &playing;
    } else if (playing.ended && !waiting.active) {
        fresh = &waiting;
    }
    if (terminator || fresh == nullptr) {
        if (!terminator) {
            voice_frames.count_drop(drop_reason::busy_slot);
        }
        return nullptr;
    }
    *fresh = held_call{};
    fresh->active = true;
    fresh->stream = stream;
    fresh->source = source;
    fresh->next_turn_ms = now_ms + hold_ms;
    return fresh;
}

void playout_slot::hold(held_call &c, const df::Frame &frame, std::int64_t seq,
                        std::int64_t now_ms) {
    const int position = position_of(frame[df::FLAGS] & df::KIND_MASK);
    c.held.set(static_cast<std::size_t>(seq) % WINDOW);
    c.frames[static_cast<std::size_t>(seq) % WINDOW] = frame;
    c.highest = std::max(c.highest, seq);
    c.last_ms = now_ms;
    if (position < 0) {
        // Networks send the terminator more than once: the first ends the call.
        if ((frame[df::FLAGS] & df::KIND_MASK) == df::KIND_TERMINATOR &&
            (!c.ended || seq < c.end)) {
            c.ended = true;
            c.end = seq;
        }
        return;
    }
    ++c.figures.frames;
    if (!c.have_burst || seq < c.first_burst) {
        c.first_burst = seq;
        c.first_position = static_cast<std::uint8_t>(position);
        c.have_burst = true;
    }
    if (!c.have_pattern || seq >= c.pattern_seq) {
        c.pattern = frame;
        c.pattern_seq = seq;
        c.have_pattern = true;
    }
    c.middles[static_cast<std::size_t>(position)] = dmr_silence::middle_of(burst_of(frame));
    c.have_middle.set(static_cast<std::size_t>(position));
}

void playout_slot::push(const df::Frame &frame, std::int64_t now_ms, std::int64_t hold_ms) {
    const std::uint8_t kind = frame[df::FLAGS] & df::KIND_MASK;
    held_call *found = call_of(stream_of(frame), df::read_be(frame, df::SOURCE, df::ID_LENGTH),
                               kind == df::KIND_TERMINATOR, now_ms, hold_ms);
    if (found == nullptr) {
        return;
    }
    held_call &c = *found;
    const bool burst = position_of(kind) >= 0;
    if (c.next == 0) {
        // The call's first frame: numbers count on from its own.
        c.next = frame[df::SEQUENCE] + 256;
        c.highest = c.next;
    }
    const std::int64_t seq = unwrap(c, frame[df::SEQUENCE]);
    if (seq < c.next && !c.playing && c.highest - seq < static_cast<std::int64_t>(WINDOW)) {
        // Before the first turn an earlier frame moves the start back.
        c.next = seq;
    }
    if (seq < c.next) {
        const past was = c.passed[static_cast<std::size_t>(seq) % c.passed.size()];
        if (burst && was == past::played) {
            ++c.figures.duplicate_frames;
        } else if (burst && was == past::filled) {
            // Its silence went out in its place: late, no longer lost.
            c.passed[static_cast<std::size_t>(seq) % c.passed.size()] = past::played;
            ++c.figures.late_frames;
            --c.figures.lost_frames;
            ++c.figures.frames;
        }
        return;
    }
    if (c.ended && seq > c.end) {
        return; // a repeated terminator
    }
    if (seq - c.next >= static_cast<std::int64_t>(WINDOW)) {
        voice_frames.count_drop(drop_reason::invalid);
        return;
    }
    if (c.held.test(static_cast<std::size_t>(seq) % WINDOW)) {
        if (burst) {
            ++c.figures.duplicate_frames;
        }
        return;
    }
    hold(c, frame, seq, now_ms);
}

void playout_slot::fill_silence(const held_call &c, std::int64_t seq, df::Frame &out) {
    const auto position = static_cast<std::size_t>((seq - (c.first_burst - c.first_position)) % 6);
    out = c.pattern;
    out[df::SEQUENCE] = static_cast<std::uint8_t>(seq);
    out[df::FLAGS] = static_cast<std::uint8_t>((c.pattern[df::FLAGS] & ~df::KIND_MASK) |
                                               kind_at(static_cast<int>(position)));
    out[df::BER] = 0;
    out[df::RSSI] = 0;
    dmr_silence::middle middle{};
    if (c.have_middle.test(position)) {
        middle = c.middles[position];
    } else if (position == 0) {
        std::copy(std::begin(dmrpacket_sync_pattern_bs_sourced_voice),
                  std::end(dmrpacket_sync_pattern_bs_sourced_voice), middle.begin());
    } else {
        // Not yet heard at this place: the embedded signalling of another
        // place is still a valid EMB, better than none.
        for (std::size_t p = 1; p < 6; ++p) {
            if (c.have_middle.test(p)) {
                middle = c.middles[p];
            }
        }
    }
    dmr_silence::build_silence(middle, burst_of(out));
}

bool playout_slot::pop(std::int64_t now_ms, df::Frame &out, call_figures &figures) {
    for (;;) {
        held_call &c = calls_[0];
        if (!c.active) {
            if (!calls_[1].active) {
                return false;
            }
            c = calls_[1];
            calls_[1].active = false;
            // It waited for the call before: it starts a turn after that
            // one's last frame, whole.
            c.next_turn_ms = std::max(c.next_turn_ms, free_ms_);
        }
        if (now_ms < c.next_turn_ms) {
            return false;
        }
        // A whole turn behind (a stall, or the thread held up): the pace
        // starts again from now, so bursts never leave back to back.
        if (now_ms - c.next_turn_ms >= BURST_MS) {
            c.next_turn_ms = now_ms;
        }
        c.playing = true;
        const std::int64_t seq = c.next;
        const std::size_t at = static_cast<std::size_t>(seq) % WINDOW;
        past &passed = c.passed[static_cast<std::size_t>(seq) % c.passed.size()];
        if (c.held.test(at)) {
            out = c.frames[at];
            c.held.reset(at);
            passed = past::played;
        } else if (c.highest > seq) {
            // A later frame is here, so this one is missing.
            if (!is_burst(c, seq)) {
                passed = past::none;
                ++c.next;
                c.next_turn_ms += BURST_MS;
                continue;
            }
            fill_silence(c, seq, out);
            passed = past::filled;
            ++c.figures.lost_frames;
            ++c.figures.silence_frames;
        } else {
            // Nothing more has come: wait for it, until the watchdog's time
            // has passed (its terminator was lost); the conversion ends the
            // call at the same time.
            if (now_ms - c.last_ms >= CALL_WATCHDOG_MS) {
                c.active = false;
                continue;
            }
            return false;
        }
        ++c.next;
        c.next_turn_ms += BURST_MS;
        c.last_ms = now_ms;
        free_ms_ = c.next_turn_ms;
        if (c.ended && seq == c.end) {
            c.active = false;
        }
        figures = c.figures;
        return true;
    }
}

bool playout_buffer::push(std::span<const std::uint8_t> datagram, std::int64_t now_ms,
                          std::int64_t hold_ms) {
    if (datagram.size() < df::LENGTH) {
        return false;
    }
    const std::uint8_t flags = datagram[df::FLAGS];
    const std::uint8_t kind = flags & df::KIND_MASK;
    if (position_of(kind) < 0 && kind != df::KIND_VOICE_LC_HEADER && kind != df::KIND_TERMINATOR) {
        return false;
    }
    df::Frame frame{};
    std::copy_n(datagram.begin(), df::LENGTH, frame.begin());
    slots_[(flags & df::FLAG_TS2) != 0 ? 1 : 0].push(frame, now_ms, hold_ms);
    return true;
}

bool playout_buffer::pop(std::int64_t now_ms, df::Frame &out, call_figures &figures) {
    for (playout_slot &slot : slots_) {
        if (slot.pop(now_ms, out, figures)) {
            return true;
        }
    }
    return false;
}
