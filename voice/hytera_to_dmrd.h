#pragma once
// Repeater voice frame -> network DMRD frame, for one peer slot at a time. The
// caller walks the peer table, calls this for each slot with a snapshot of it
// and sends the result to that slot's address; no socket is touched here.

#include "core/peer_id.h"
#include "dmr/lc.h"
#include "voice/dmrd_frame.h"
#include "voice/hytera_frame.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

// A voice LC header or terminator built from the call's IDs: call type 0 is a
// private call, anything else a group call. The result holds at least 33 bytes
// in air order and stays valid until the same builder is called again.
using lc_burst_builder = const std::uint8_t *(*)(std::uint8_t call_type, std::uint32_t destination,
                                                 std::uint32_t source);
struct lc_builders {
    lc_burst_builder voice_lc_header;
    lc_burst_builder terminator_with_lc;
};

// The gateway's own coder; the daemon converts with these.
inline constexpr lc_builders DMR_CODER_BUILDERS{ipscpacket_construct_payload_voice_lc_header,
                                                ipscpacket_construct_payload_terminator_with_lc};

// The fields of one peer table slot that the conversion reads. An empty key is
// a free slot.
struct peer_slot_view {
    std::string_view key;
    std::uint32_t id;
    std::string_view callsign;
    int slots;
    bool exact_id = false; // the ID goes out as it is, never as the substitute
};

// Sequence state of one peer slot; it outlives the peer (a slot that is freed
// and reused continues the count).
struct peer_sequence {
    std::array<std::uint8_t, 2> last_hytera_sequence{};
    std::array<std::uint8_t, 2> dmrd_sequence{};
};

// Converts one received frame for peer slot `slot_index`. Returns true and
// fills `out` when a DMRD frame is to be sent to that slot. `given_key` is the
// key the frame is meant for (the voice receiver passes slot 0's key).
bool hytera_to_dmrd(std::span<const std::uint8_t> frame, std::size_t slot_index,
                    const peer_slot_view &peer, std::string_view given_key, std::uint32_t stream_id,
                    peer_sequence &sequence, const lc_builders &builders,
                    std::span<std::uint8_t, dmrd_frame::LENGTH> out);

// The whole conversion for one received frame: walks peer slots 0 to 9 in
// order, reading each through `peer_at` (a snapshot taken under whatever
// protects the peer table) and handing every finished frame to `send` with
// its slot. `user` is passed through to both.
using peer_slot_reader = peer_slot_view (*)(std::size_t slot, void *user);
using dmrd_sender = void (*)(std::size_t slot, std::span<const std::uint8_t, dmrd_frame::LENGTH>,
                             void *user);
void hytera_to_dmrd_all_peers(std::span<const std::uint8_t> frame, std::string_view given_key,
                              std::uint32_t stream_id,
                              std::span<peer_sequence, PEER_SLOTS> sequences,
                              const lc_builders &builders, peer_slot_reader peer_at,
                              dmrd_sender send, void *user);

// The sequence state of every peer slot, kept by the voice thread that alone
// converts in this direction.
extern std::array<peer_sequence, PEER_SLOTS> MMDVM_SEQ;
