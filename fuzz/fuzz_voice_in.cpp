// Voice-port datagrams from a repeater through the receiver state, and every
// forwarded frame converted for a peer list, as the voice thread does it: call
// setup draws the stream ID, the repeater's end of call closes it, and each
// peer slot keeps its own sequence count across calls and peer changes.
//
// Input: ten header bytes, one peer slot each (see peer_descriptor), then
// records (fuzz_support.h) whose op selects
//   even  a datagram, the payload; port seeds the random source for the
//         stream ID it may draw
//   odd   peer slot (port >> 8) % 10 gets descriptor port & 0xFF.
#include "testing/fuzz_support.h"
#include "voice/dmrd_frame.h"
#include "voice/hytera_frame.h"
#include "voice/hytera_to_dmrd.h"
#include "voice/voice_receiver.h"

#include <algorithm>
#include <array>
#include <string_view>

namespace {

namespace hf = hytera_frame;
namespace df = dmrd_frame;

constexpr std::string_view KEYS[] = {":10.0.0.1-:62031", ":10.0.0.2-:62031", ":10.0.0.3-:62031",
                                     ":10.0.0.4-:62031", ":10.0.0.1-:62032", ":10.0.0.2-:62032",
                                     ":10.0.0.3-:62032", ":10.0.0.4-:62032"};
constexpr std::uint32_t IDS[] = {311234, PEER_ID_LIMIT, PEER_ID_LIMIT + 1, 0xFFFFFFFF};
// The callsign view is not terminated where it ends.
constexpr char CALLSIGN_BYTES[] = {'N', '0', 'C', 'A', 'L', 'L', 'X', 'X'};

// Descriptor 0 is a free slot; otherwise bits 0-2 pick the key, 3-4 the ID
// and 5-6 the slot count the peer offered.
peer_slot_view peer_descriptor(std::uint8_t d) {
    if (d == 0) {
        return {};
    }
    return {KEYS[d & 7], IDS[(d >> 3) & 3], std::string_view(CALLSIGN_BYTES, 6), (d >> 5) & 3};
}

// Non-negative like std::rand, and seeded by the input so the fuzzer picks
// the draws.
std::uint32_t random_state = 0;
int fake_random() {
    random_state = random_state * 1103515245u + 12345u;
    return static_cast<int>((random_state >> 1) & 0x7FFFFFFF);
}

struct voice_under_test {
    voice_receiver_state receiver;
    std::array<peer_slot_view, PEER_SLOTS> peers{};
    std::array<peer_sequence, PEER_SLOTS> sequences{};
    // Per conversion.
    hf::Frame frame{};
    std::uint32_t stream_id = 0;
    std::array<bool, PEER_SLOTS> sent{};

    static peer_slot_view peer_at(std::size_t slot, void *user) {
        FUZZ_CHECK(slot < PEER_SLOTS);
        return static_cast<voice_under_test *>(user)->peers[slot];
    }

    static void send(std::size_t slot, std::span<const std::uint8_t, df::LENGTH> out, void *user) {
        static_cast<voice_under_test *>(user)->check_sent(slot, out);
    }

    void check_sent(std::size_t slot, std::span<const std::uint8_t, df::LENGTH> out) {
        FUZZ_CHECK(slot < PEER_SLOTS && !sent[slot]);
        sent[slot] = true;
        const peer_slot_view &peer = peers[slot];
        // Only the peers the frame is meant for get it.
        FUZZ_CHECK(!peer.key.empty() && peer.key == peers[0].key);
        FUZZ_CHECK(df::read_be(out, df::REPEATER_ID, 4) == presented_peer_id(peer.id));
        FUZZ_CHECK(df::read_be(out, df::STREAM_ID, 4) == stream_id);
    }

    void receive(const std::vector<std::uint8_t> &d) {
        const voice_reaction r = voice_receive(d, receiver, fake_random, 0);
        FUZZ_CHECK(receiver.time_slot <= 1);
        if (d.size() == hf::REGISTRATION_LENGTH) {
            FUZZ_CHECK(r.action == voice_action::answer_registration);
            return;
        }
        if (d.size() != hf::LENGTH) {
            FUZZ_CHECK(r.action == voice_action::ignore);
            return;
        }
        if (r.action != voice_action::forward) {
            FUZZ_CHECK(r.action == voice_action::ignore);
            return;
        }
        std::copy(d.begin(), d.end(), frame.begin());
        FUZZ_CHECK(hf::read_id(frame, hf::DESTINATION) <= VOICE_DESTINATION_MAX);
        const std::uint16_t type_word = hf::read_word(frame, hf::SLOT_TYPE);
        FUZZ_CHECK(type_word != hf::TYPE_WORD_IDLE && type_word != hf::TYPE_WORD_CALL_SETUP);
        // A drawn stream ID never holds a 0xFF byte.
        for (int shift = 0; shift < 32; shift += 8) {
            FUZZ_CHECK(((r.stream_id >> shift) & 0xFF) != 0xFF);
        }

        stream_id = r.stream_id;
        sent = {};
        hytera_to_dmrd_all_peers(d, peers[0].key, r.stream_id, sequences, DMR_CODER_BUILDERS,
                                 peer_at, send, this);
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    fuzz_input::quiet_log();
    voice_under_test voice;
    fuzz_input::reader in({data, size});
    for (peer_slot_view &p : voice.peers) {
        p = peer_descriptor(in.byte());
    }
    fuzz_input::record r;
    while (fuzz_input::next_record(in, hf::RECEIVE_CAPACITY, r)) {
        if ((r.op & 1) == 0) {
            random_state = r.port;
            voice.receive(r.payload);
        } else {
            voice.peers[(r.port >> 8) % PEER_SLOTS] = peer_descriptor(r.port & 0xFF);
        }
    }
    return 0;
}
