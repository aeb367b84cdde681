#include "voice/dmrd_to_hytera.h"

#include "core/log.h"

#include <algorithm>
#include <arpa/inet.h>
#include <netinet/in.h>

network_call_state mmdvm_rx_state{};

namespace {

namespace hf = hytera_frame;
namespace df = dmrd_frame;

void start_frame(std::span<std::uint8_t, hf::LENGTH> h, std::uint8_t kind, std::uint8_t type,
                 std::uint16_t first_mark) {
    hf::write_byte_word(h, hf::SLOT_TYPE, type);
    h[hf::FRAME_KIND] = kind;
    hf::write_word(h, hf::FIRST_MARK, first_mark);
}

void copy_burst(std::span<const std::uint8_t, df::LENGTH> d,
                std::span<std::uint8_t, hf::LENGTH> h) {
    // 34 bytes from the burst start: the BER byte becomes the pad byte.
    hf::swap_byte_pairs(d.subspan<df::BURST, hf::PAYLOAD_LENGTH>(),
                        h.subspan<hf::PAYLOAD, hf::PAYLOAD_LENGTH>());
}

// The fields every frame towards the repeater starts with.
hf::Frame &begin_frame(hytera_batch &batch, std::size_t ts, std::uint8_t sequence,
                       std::uint8_t wrap) {
    hf::Frame &out = batch.frames[batch.count++];
    out.fill(0);
    std::copy(hf::SIGNATURE_NORMAL.begin(), hf::SIGNATURE_NORMAL.end(), out.begin());
    out[hf::FRAME_KIND] = hf::KIND_VOICE;
    out[hf::FIXED_05] = hf::FIXED_05_VALUE;
    out[hf::FIXED_01] = hf::FIXED_01_VALUE;
    out[hf::SLOT_NUMBER] = ts == 1 ? hf::SLOT_NUMBER_TS2 : hf::SLOT_NUMBER_TS1;
    hf::write_word(out, hf::SLOT_WORD, ts == 1 ? hf::SLOT_WORD_TS2 : hf::SLOT_WORD_TS1);
    out[hf::SEQUENCE_LOW] = sequence;
    out[hf::SEQUENCE_HIGH] = wrap;
    return out;
}

void finish_frame(hf::Frame &out, bool is_private, std::uint32_t destination, std::uint32_t source,
                  std::string_view firmware) {
    out[hf::CALL_TYPE] = is_private ? hf::CALL_PRIVATE : hf::CALL_GROUP;
    hf::write_id(out, hf::DESTINATION, destination);
    hf::write_id(out, hf::SOURCE, source);
    out[hf::FRAME_KIND] = hf::adjust_frame_kind(out[hf::FRAME_KIND], firmware);
}

// The repeater wants a short setup frame, not the LC header itself.
void add_call_setup(hytera_batch &batch, std::size_t ts, std::uint8_t sequence, std::uint8_t wrap,
                    const slot_call &call, std::string_view firmware) {
    hf::Frame &out = begin_frame(batch, ts, sequence, wrap);
    start_frame(out, hf::KIND_CALL_SETUP, hf::TYPE_CALL_SETUP, hf::MARK_SET);
    hf::write_word(out, hf::SETUP_MARK, hf::MARK_SET);
    hf::write_setup_id(out, hf::SETUP_DESTINATION, call.destination);
    hf::write_setup_id(out, hf::SETUP_SOURCE, call.source);
    finish_frame(out, call.is_private, call.destination, call.source, firmware);
}

void add_terminator(hytera_batch &batch, std::size_t ts, std::uint8_t sequence, std::uint8_t wrap,
                    const slot_call &call, std::string_view firmware) {
    hf::Frame &out = begin_frame(batch, ts, sequence, wrap);
    start_frame(out, hf::KIND_TERMINATOR, hf::TYPE_TERMINATOR, 0);
    finish_frame(out, call.is_private, call.destination, call.source, firmware);
}

// Ends the call of slot `ts` when the watchdog is due, with the terminator
// the network never sent, numbered as the frame after its last.
template <class State>
void expire(State &state, std::size_t ts, const hytera_target &target, std::int64_t now_ms,
            hytera_batch &batch) {
    slot_call &call = state.calls[ts];
    if (!watchdog_due(call, now_ms)) {
        return;
    }
    add_terminator(batch, ts, static_cast<std::uint8_t>(call.last_sequence + 1),
                   state.wrap_count[call.source], call, target.firmware);
    call.active = false;
    state.refused[ts].active = false;
    call_ended(call_direction::to_repeater, ts, call, call_end::watchdog, now_ms, state.repeater);
}

// The fields of a network frame the conversion works with; `wrap` is its
// source's wrap count as the frame found it.
struct network_frame {
    std::uint8_t sequence;
    std::uint32_t source;
    std::uint32_t destination;
    std::uint32_t stream;
    std::uint8_t flags;
    std::size_t ts;
    bool is_private;
    std::uint8_t wrap;
};

template <class State>
void add_data(State &state, std::span<const std::uint8_t, df::LENGTH> d, const network_frame &f,
              std::uint8_t type, std::string_view firmware, hytera_batch &batch) {
    const std::uint8_t kind = f.flags & df::KIND_MASK;
    std::uint32_t &count = state.data_packet_count[f.ts];
    std::uint32_t &remembered = state.data_destination[f.ts];
    ++count;
    if (kind == df::KIND_CSBK || kind == df::KIND_DATA_HEADER) {
        if (remembered != f.destination) {
            remembered = f.destination;
            count = 0;
        }
    } else {
        remembered = 0;
    }
    std::uint8_t data_class = hf::DATA_CLASS_RATE_DATA;
    if (kind == df::KIND_CSBK) {
        data_class = count == 0 ? hf::DATA_CLASS_CSBK_FIRST : hf::DATA_CLASS_CSBK_NEXT;
    } else if (kind == df::KIND_DATA_HEADER) {
        data_class = hf::DATA_CLASS_DATA_HEADER;
    }
    hf::Frame &out = begin_frame(batch, f.ts, static_cast<std::uint8_t>(count), 0);
    start_frame(out, hf::KIND_DATA, type, hf::MARK_SET);
    out[hf::SLOT_NUMBER] = hf::SLOT_NUMBER_DATA;
    out[hf::BURST_CLASS] = hf::BURST_CLASS_DATA;
    out[hf::DATA_CLASS] = data_class;
    copy_burst(d, out);
    finish_frame(out, f.is_private, f.destination, f.source, firmware);
}

bool is_voice_burst(std::uint8_t kind) {
    return kind == df::KIND_VOICE_A || (kind >= df::KIND_VOICE_B && kind <= df::KIND_VOICE_F);
}

// Marks `sequence` handled in the running call; false when it was already.
// Numbers half the counter behind are forgotten as the call moves on, so
// they are free again when the counter comes round.
bool first_time(std::bitset<256> &handled, std::uint8_t previous, std::uint8_t sequence) {
    if (handled.test(sequence)) {
        return false;
    }
    const auto ahead = static_cast<std::uint8_t>(sequence - previous);
    for (unsigned k = 1; ahead < 128 && k <= ahead; ++k) {
        handled.reset(static_cast<std::uint8_t>(previous + k + 128));
    }
    handled.set(sequence);
    return true;
}

// A voice frame passes only as part of the call holding its slot.
template <class State>
void convert_voice(State &state, std::span<const std::uint8_t, df::LENGTH> d,
                   const network_frame &f, std::uint8_t type, const hytera_target &target,
                   std::int64_t now_ms, hytera_batch &batch) {
    const std::uint8_t kind = f.flags & df::KIND_MASK;
    expire(state, f.ts, target, now_ms, batch);
    slot_call &call = state.calls[f.ts];
    const bool ours = call.active && call.stream_id == f.stream && call.source == f.source;
    if (kind == df::KIND_TERMINATOR && !ours) {
        // A repeat, or the end of a call that was dropped or already ended.
        return;
    }
    // A repeated header gives the repeater nothing anyway.
    if (ours && kind != df::KIND_VOICE_LC_HEADER &&
        !first_time(state.handled[f.ts], call.last_sequence, f.sequence)) {
        // Sent twice on the way: once on the air is enough.
        if (is_voice_burst(kind)) {
            ++call.figures.duplicate_frames;
        }
        return;
    }
    const slot_call arriving{true,          f.is_private, f.sequence, f.stream, f.source,
                             f.destination, now_ms,       now_ms,     {}};
    if (call.active && !ours) {
        voice_frames.count_drop(drop_reason::busy_slot);
        slot_call &refused = state.refused[f.ts];
        if (!refused.active || refused.stream_id != f.stream || refused.source != f.source) {
            refused = arriving;
            call_refused(f.ts, arriving, call, now_ms, state.repeater);
        }
        return;
    }
    std::uint8_t wrap = f.wrap;
    if (!call.active) {
        call = arriving;
        state.handled[f.ts].reset();
        if (kind != df::KIND_VOICE_LC_HEADER) {
            state.handled[f.ts].set(f.sequence);
        }
        start_call_figures(state.decoders[f.ts], call);
        call_started(call_direction::to_repeater, f.ts, call, state.repeater,
                     kind != df::KIND_VOICE_LC_HEADER);
        add_call_setup(batch, f.ts, f.sequence, f.wrap, call, target.firmware);
        // The count restarts with every call setup frame.
        state.wrap_count[f.source] = 0;
        if (kind == df::KIND_VOICE_LC_HEADER) {
            return;
        }
        // A burst that started the call is the first frame after its setup.
        wrap = 0;
        if (f.sequence == 255) {
            state.wrap_count[f.source] = 1;
        }
    } else {
        count_sequence_gap(call.figures, call.last_sequence, f.sequence);
        call.last_ms = now_ms;
        call.last_sequence = f.sequence;
        if (kind == df::KIND_VOICE_LC_HEADER) {
            return; // a repeated header
        }
    }

    hf::Frame &out = begin_frame(batch, f.ts, f.sequence, wrap);
    if (kind == df::KIND_TERMINATOR) {
        start_frame(out, hf::KIND_TERMINATOR, hf::TYPE_TERMINATOR, 0);
        call.active = false;
        state.refused[f.ts].active = false;
        call_ended(call_direction::to_repeater, f.ts, call, call_end::terminator, now_ms,
                   state.repeater);
    } else {
        start_frame(out, hf::KIND_VOICE, type, hf::MARK_SET);
        out[hf::BURST_CLASS] = hf::BURST_CLASS_VOICE;
        // Voice A is kind 0x10, B-F are 0x01-0x05.
        const std::size_t burst = kind == df::KIND_VOICE_A ? 0 : kind;
        count_voice_burst(state.decoders[f.ts], call, call_direction::to_repeater,
                          d.subspan<df::BURST, df::BURST_LENGTH>(), burst, false, f.ts,
                          state.repeater);
        if (kind == df::KIND_VOICE_E) {
            std::copy(hf::SIGNATURE_BURST_E.begin(), hf::SIGNATURE_BURST_E.end(), out.begin());
        }
        copy_burst(d, out);
    }
    finish_frame(out, f.is_private, f.destination, f.source, target.firmware);
}

dmrd_outcome outcome_of(const hytera_batch &batch, const hytera_target &target) {
    if (batch.count == 0) {
        return dmrd_outcome::dropped;
    }
    return hytera_target_usable(target.address, target.voice_port) ? dmrd_outcome::send
                                                                   : dmrd_outcome::no_destination;
}

} // namespace

bool hytera_target_usable(std::string_view address, std::uint16_t port) {
    sockaddr_in unused{};
    return hytera_target_address(address, port, unused);
}

bool hytera_target_address(std::string_view address, std::uint16_t port, sockaddr_in &out) {
    if (port == 0 || address.empty() || address.size() >= INET_ADDRSTRLEN) {
        return false;
    }
    char text[INET_ADDRSTRLEN] = {};
    std::copy(address.begin(), address.end(), text);
    in_addr a{};
    if (inet_pton(AF_INET, text, &a) != 1) {
        return false;
    }
    if (a.s_addr == htonl(INADDR_ANY) || a.s_addr == htonl(INADDR_BROADCAST)) {
        return false;
    }
    out = sockaddr_in{};
    out.sin_family = AF_INET;
    out.sin_addr = a;
    out.sin_port = htons(port);
    return true;
}

std::uint8_t &source_wrap_counts::operator[](std::uint32_t source) {
    entry *oldest = entries_.data();
    for (entry &e : entries_) {
        if (e.source == source) {
            e.used_at = ++uses_;
            return e.count;
        }
        if (e.used_at < oldest->used_at) {
            oldest = &e;
        }
    }
    *oldest = {source, 0, ++uses_};
    return oldest->count;
}

namespace {

// The conversion itself; the frame was counted as received when it came.
template <class Wraps>
dmrd_outcome convert_datagram(std::span<const std::uint8_t> datagram, const hytera_target &target,
                              basic_network_call_state<Wraps> &state, std::int64_t now_ms,
                              hytera_batch &batch) {
    batch.count = 0;
    // A short frame would be converted from bytes the peer never sent.
    if (datagram.size() < df::LENGTH) {
        ferrule_log("Short DMRD frame from MMDVM: %zu bytes (dropped)\n", datagram.size());
        voice_frames.count_drop(drop_reason::invalid);
        return dmrd_outcome::dropped;
    }
    const std::span<const std::uint8_t, df::LENGTH> d = datagram.first<df::LENGTH>();
    network_frame f{d[df::SEQUENCE],
                    df::read_be(d, df::SOURCE, df::ID_LENGTH),
                    df::read_be(d, df::DESTINATION, df::ID_LENGTH),
                    df::read_be(d, df::STREAM_ID, sizeof(std::uint32_t)),
                    d[df::FLAGS],
                    (d[df::FLAGS] & df::FLAG_TS2) != 0 ? std::size_t{1} : 0,
                    (d[df::FLAGS] & df::FLAG_PRIVATE) != 0,
                    0};

    if (f.source < NETWORK_SOURCE_MIN || f.source > NETWORK_ID_MAX) {
        ferrule_log("Invalid SrcID from MMDVM: %u\n", f.source);
        voice_frames.count_drop(drop_reason::invalid);
        return dmrd_outcome::dropped;
    }
    if (f.destination == 0 || f.destination > NETWORK_ID_MAX) {
        ferrule_log("Invalid DestID from MMDVM: %u - SourceID: %u\n", f.destination, f.source);
        voice_frames.count_drop(drop_reason::invalid);
        return dmrd_outcome::dropped;
    }

    f.wrap = state.wrap_count[f.source];
    if (f.sequence == 255) {
        ++state.wrap_count[f.source];
    }

    const std::uint8_t kind = f.flags & df::KIND_MASK;
    const std::optional<std::uint8_t> type = df::hytera_type_of_kind(kind);
    if (!type) {
        const std::uint32_t repeater_id = df::read_be(d, df::REPEATER_ID, sizeof(std::uint32_t));
        ferrule_log("Unknown DataType: %2.2x from %u at %u\n", f.flags, f.source, repeater_id);
        voice_frames.count_drop(drop_reason::invalid);
        return dmrd_outcome::dropped;
    }
    if ((kind & df::FLAG_DATA_SYNC) != 0 && kind != df::KIND_VOICE_LC_HEADER &&
        kind != df::KIND_TERMINATOR) {
        add_data(state, d, f, *type, target.firmware, batch);
    } else {
        convert_voice(state, d, f, *type, target, now_ms, batch);
    }
    return outcome_of(batch, target);
}

} // namespace

template <class Wraps>
dmrd_outcome dmrd_to_hytera(std::span<const std::uint8_t> datagram, const hytera_target &target,
                            basic_network_call_state<Wraps> &state, std::int64_t now_ms,
                            hytera_batch &batch) {
    voice_frames.count_in(call_direction::to_repeater);
    return convert_datagram(datagram, target, state, now_ms, batch);
}

template <class Wraps>
dmrd_outcome dmrd_playout_to_hytera(const df::Frame &frame, const call_figures &counts,
                                    const hytera_target &target,
                                    basic_network_call_state<Wraps> &state, std::int64_t now_ms,
                                    hytera_batch &batch) {
    const std::size_t ts = (frame[df::FLAGS] & df::FLAG_TS2) != 0 ? 1 : 0;
    const std::uint32_t stream = df::read_be(frame, df::STREAM_ID, sizeof(std::uint32_t));
    // Before the conversion, for a terminator that ends the call, and after
    // it, for a burst that starts one.
    const auto carry = [&] {
        slot_call &call = state.calls[ts];
        if (call.active && call.stream_id == stream) {
            call.figures.frames = counts.frames;
            call.figures.lost_frames = counts.lost_frames;
            call.figures.late_frames = counts.late_frames;
            call.figures.duplicate_frames = counts.duplicate_frames;
            call.figures.silence_frames = counts.silence_frames;
        }
    };
    carry();
    const dmrd_outcome outcome = convert_datagram(frame, target, state, now_ms, batch);
    carry();
    return outcome;
}

template <class Wraps>
std::size_t dmrd_tick(basic_network_call_state<Wraps> &state, const hytera_target &target,
                      std::int64_t now_ms, hytera_batch &batch) {
    batch.count = 0;
    for (std::size_t ts = 0; ts < state.calls.size(); ++ts) {
        expire(state, ts, target, now_ms, batch);
    }
    return batch.count;
}

template <class Wraps> bool network_call_running(const basic_network_call_state<Wraps> &state) {
    return state.calls[0].active || state.calls[1].active;
}

// The two kinds of state the daemon converts with.
template dmrd_outcome dmrd_to_hytera(std::span<const std::uint8_t>, const hytera_target &,
                                     network_call_state &, std::int64_t, hytera_batch &);
template dmrd_outcome dmrd_to_hytera(std::span<const std::uint8_t>, const hytera_target &,
                                     repeater_call_state &, std::int64_t, hytera_batch &);
template dmrd_outcome dmrd_playout_to_hytera(const df::Frame &, const call_figures &,
                                             const hytera_target &, network_call_state &,
                                             std::int64_t, hytera_batch &);
template dmrd_outcome dmrd_playout_to_hytera(const df::Frame &, const call_figures &,
                                             const hytera_target &, repeater_call_state &,
                                             std::int64_t, hytera_batch &);
template std::size_t dmrd_tick(network_call_state &, const hytera_target &, std::int64_t,
                               hytera_batch &);
template std::size_t dmrd_tick(repeater_call_state &, const hytera_target &, std::int64_t,
                               hytera_batch &);
template bool network_call_running(const network_call_state &);
template bool network_call_running(const repeater_call_state &);
