#include "voice/hytera_to_dmrd.h"

#include "core/log.h"
#include "voice/call_record.h"

#include <algorithm>

std::array<peer_sequence, PEER_SLOTS> MMDVM_SEQ{};

namespace {

namespace hf = hytera_frame;
namespace df = dmrd_frame;

bool is_on_ts2(std::span<const std::uint8_t, hf::LENGTH> f) {
    return f[hf::SLOT_WORD] == hf::SLOT_BYTE_TS2 &&
           df::kind_of_hytera_type(f[hf::SLOT_TYPE]).has_value();
}

} // namespace

bool hytera_to_dmrd(std::span<const std::uint8_t> frame, std::size_t slot_index,
                    const peer_slot_view &peer, std::string_view given_key, std::uint32_t stream_id,
                    peer_sequence &sequence, const lc_builders &builders,
                    std::span<std::uint8_t, df::LENGTH> out) {
    if (frame.size() < hf::LENGTH) {
        return false;
    }
    const std::span<const std::uint8_t, hf::LENGTH> f = frame.first<hf::LENGTH>();

    if (peer.key.empty()) {
        if (slot_index == 0) {
            ferrule_log("kein Repeater unter Index %i angemeldet -> abbrechen\n", 0);
        }
        return false;
    }
    if (given_key != peer.key) {
        ferrule_log("falsche nummer\n");
        return false;
    }

    const std::size_t ts = is_on_ts2(f) ? 1 : 0;
    const unsigned ts_number = static_cast<unsigned>(ts + 1);
    const int slot_log = static_cast<int>(slot_index);
    if (f[hf::SEQUENCE_LOW] == sequence.last_hytera_sequence[ts]) {
        ferrule_log("(%i) loop HytBuffer_in[4,5]:%i %i\n", slot_log, f[hf::SEQUENCE_LOW],
                    f[hf::SEQUENCE_HIGH]);
    } else {
        sequence.last_hytera_sequence[ts] = f[hf::SEQUENCE_LOW];
    }

    const std::uint32_t source = hf::read_id(f, hf::SOURCE);
    const std::uint32_t destination = hf::read_id(f, hf::DESTINATION);

    const std::uint8_t type = f[hf::SLOT_TYPE];
    const std::optional<std::uint8_t> kind = df::kind_of_hytera_type(type);
    if (!kind) {
        return false;
    }

    const std::uint8_t *computed = nullptr;
    if (type == hf::TYPE_VOICE_LC_HEADER || type == hf::TYPE_TERMINATOR) {
        const bool header = type == hf::TYPE_VOICE_LC_HEADER;
        const lc_burst_builder build =
            header ? builders.voice_lc_header : builders.terminator_with_lc;
        if (build == nullptr) {
            return false;
        }
        const int group = (f[hf::CALL_TYPE] & hf::CALL_TYPE_MASK) != hf::CALL_PRIVATE ? 1 : 0;
        computed = build(group, destination, source);
        // Without a computed burst the frame would go out with garbage in it.
        if (computed == nullptr) {
            return false;
        }
        // The callsign view need not be NUL-terminated.
        const int callsign_length = static_cast<int>(peer.callsign.size());
        if (header) {
            // The next frame, the header itself, then goes out with 0.
            sequence.dmrd_sequence[ts] = 255;
            ferrule_log_unlimited("MMDVM %.*s (RPT%i) START of Voice TS%u (%04X) s:%u d:%u\n",
                                  callsign_length, peer.callsign.data(), peer.slots, ts_number,
                                  stream_id, source, destination);
        } else {
            ferrule_log_unlimited("MMDVM %.*s (RPT) End of Voice TS%u (%04X) s:%u d:%u\n",
                                  callsign_length, peer.callsign.data(), ts_number, stream_id,
                                  source, destination);
        }
    }

    std::fill(out.begin(), out.end(), std::uint8_t{0});
    std::copy(df::SIGNATURE_BYTES.begin(), df::SIGNATURE_BYTES.end(), out.begin() + df::SIGNATURE);
    out[df::SEQUENCE] = ++sequence.dmrd_sequence[ts];
    df::write_be(out, df::SOURCE, df::ID_LENGTH, source);
    df::write_be(out, df::DESTINATION, df::ID_LENGTH, destination);
    const std::uint32_t repeater_id = presented_peer_id(peer.id, peer.exact_id);
    df::write_be(out, df::REPEATER_ID, sizeof repeater_id, repeater_id);
    std::uint8_t flags = *kind;
    if (ts == 1) {
        flags |= df::FLAG_TS2;
    }
    df::write_be(out, df::STREAM_ID, sizeof stream_id, stream_id);

    const std::uint8_t call_type = f[hf::CALL_TYPE] & hf::CALL_TYPE_MASK;
    if (call_type == hf::CALL_PRIVATE) {
        flags |= df::FLAG_PRIVATE;
    } else if (call_type == hf::CALL_ALL) {
        ferrule_log("ALLCALL from %u at %u (dropped)\n", source, repeater_id);
        voice_frames.count_drop(drop_reason::call_type);
        return false;
    } else if (call_type != hf::CALL_GROUP) {
        ferrule_log("Undefined Call Type %2.2x from %u at %u (dropped)\n", call_type, source,
                    repeater_id);
        voice_frames.count_drop(drop_reason::call_type);
        return false;
    }
    out[df::FLAGS] = flags;

    if (computed != nullptr) {
        std::copy(computed, computed + df::BURST_LENGTH, out.begin() + df::BURST);
    } else {
        // The swap covers the pad byte too; it lands on the BER byte, which is
        // cleared right after.
        hf::swap_byte_pairs(f.subspan<hf::PAYLOAD, hf::PAYLOAD_LENGTH>(),
                            out.subspan<df::BURST, hf::PAYLOAD_LENGTH>());
    }
    out[df::BER] = 0;
    out[df::RSSI] = 0;
    return true;
}

void hytera_to_dmrd_all_peers(std::span<const std::uint8_t> frame, std::string_view given_key,
                              std::uint32_t stream_id,
                              std::span<peer_sequence, PEER_SLOTS> sequences,
                              const lc_builders &builders, peer_slot_reader peer_at,
                              dmrd_sender send, void *user) {
    df::Frame out{};
    for (std::size_t slot = 0; slot < PEER_SLOTS; ++slot) {
        const peer_slot_view peer = peer_at(slot, user);
        if (hytera_to_dmrd(frame, slot, peer, given_key, stream_id, sequences[slot], builders,
                           out)) {
            send(slot, out, user);
        }
    }
}
