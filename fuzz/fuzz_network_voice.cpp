// DMRD datagrams from the peer converted for repeater index 0 through the link
// thread's call state, as the link thread hands them on: each time slot
// carries one call, which starts with a call setup frame, ends at its
// terminator or by the watchdog, and keeps every other stream off the slot;
// sequence numbers wrap per source.
//
// Input: a header of a firmware byte, an address byte and a voice port (see
// target_for), then records (fuzz_support.h) whose op selects
//   even  a datagram, the payload; op >> 1 is the time since the last record
//         in 50 ms steps
//   odd   the target changes: firmware port >> 8, address port & 0xFF.
#include "network/link.h"
#include "testing/fuzz_support.h"
#include "voice/dmrd_frame.h"
#include "voice/dmrd_to_hytera.h"
#include "voice/hytera_frame.h"

#include <algorithm>
#include <array>
#include <bitset>
#include <string_view>
#include <vector>

namespace {

namespace hf = hytera_frame;
namespace df = dmrd_frame;

constexpr std::string_view FIRMWARES[] = {"", "A7.05.02.005", "A8.05.07.001", "FW1.0", "A"};
constexpr std::string_view ADDRESSES[] = {"10.0.0.5",  "0.0.0.0",         "255.255.255.255",
                                          "",          "10.0.0",          "127.0.0.1",
                                          "999.1.1.1", "192.168.100.200", "192.168.100.2001"};

struct target_choice {
    std::uint8_t firmware;
    std::uint8_t address;
    std::uint16_t port;
    hytera_target target() const {
        return {FIRMWARES[firmware % std::size(FIRMWARES)],
                ADDRESSES[address % std::size(ADDRESSES)], port};
    }
};

// Sources whose entries an input touched, so the next input starts from the
// zeroed state without clearing the whole of it.
std::vector<std::uint32_t> touched;

void reset_state(network_call_state &s) {
    for (std::uint32_t source : touched) {
        s.wrap_count[source] = 0;
    }
    touched.clear();
    s.calls = {};
    s.refused = {};
    s.data_packet_count = {};
    s.data_destination = {};
    s.handled = {};
}

// What the repeater must see of a call, kept apart from the conversion.
struct model_call {
    bool active = false;
    std::uint32_t stream = 0;
    std::uint32_t source = 0;
    std::int64_t last_ms = 0;
};

struct network_voice_under_test {
    target_choice choice{};
    network_call_state &state = mmdvm_rx_state;
    std::array<model_call, 2> calls{};
    std::int64_t now_ms = 0;
    hytera_batch batch{};

    // The frames the model expects, by slot type, in order.
    std::vector<std::uint8_t> expected;

    void expire(std::size_t ts) {
        model_call &c = calls[ts];
        if (c.active && now_ms - c.last_ms >= CALL_WATCHDOG_MS) {
            c.active = false;
            expected.push_back(hf::TYPE_TERMINATOR);
        }
    }

    void receive(const std::vector<std::uint8_t> &d) {
        const hytera_target target = choice.target();
        // Which sequence numbers the running calls had handled: a frame of
        // its call that comes again is dropped, whatever else it would do.
        const std::array<std::bitset<256>, 2> handled_before = state.handled;
        const dmrd_outcome outcome = dmrd_to_hytera(d, target, state, now_ms, batch);
        FUZZ_CHECK(batch.count <= batch.frames.size());
        if (d.size() < df::LENGTH) {
            FUZZ_CHECK(outcome == dmrd_outcome::dropped);
            return;
        }
        const std::span<const std::uint8_t, df::LENGTH> in(d.data(), df::LENGTH);
        const std::uint32_t source = df::read_be(in, df::SOURCE, df::ID_LENGTH);
        const std::uint32_t destination = df::read_be(in, df::DESTINATION, df::ID_LENGTH);
        const bool ids_valid = source >= NETWORK_SOURCE_MIN && source <= NETWORK_ID_MAX &&
                               destination != 0 && destination <= NETWORK_ID_MAX;
        if (!ids_valid) {
            FUZZ_CHECK(outcome == dmrd_outcome::dropped);
            return;
        }
        touched.push_back(source);

        const std::uint8_t flags = in[df::FLAGS];
        const std::uint8_t kind = flags & df::KIND_MASK;
        const std::optional<std::uint8_t> type = df::hytera_type_of_kind(kind);
        const std::size_t ts = (flags & df::FLAG_TS2) != 0 ? 1 : 0;
        const std::uint32_t stream = df::read_be(in, df::STREAM_ID, 4);
        const bool data = (kind & df::FLAG_DATA_SYNC) != 0 && kind != df::KIND_VOICE_LC_HEADER &&
                          kind != df::KIND_TERMINATOR;
        expected.clear();
        bool own_frame = type.has_value();
        if (type && !data) {
            expire(ts);
            model_call &c = calls[ts];
            const bool ours = c.active && c.stream == stream && c.source == source;
            const bool repeat = ours && kind != df::KIND_VOICE_LC_HEADER &&
                                handled_before[ts].test(in[df::SEQUENCE]);
            if (repeat) {
                own_frame = false;
            } else if (kind == df::KIND_TERMINATOR) {
                own_frame = ours;
                c.active = c.active && !ours;
            } else if (c.active && !ours) {
                own_frame = false;
            } else if (!c.active) {
                c = {true, stream, source, now_ms};
                expected.push_back(hf::TYPE_CALL_SETUP);
                own_frame = kind != df::KIND_VOICE_LC_HEADER;
            } else {
                c.last_ms = now_ms;
                own_frame = kind != df::KIND_VOICE_LC_HEADER;
            }
            FUZZ_CHECK(state.calls[ts].active == c.active);
        }
        if (own_frame) {
            expected.push_back(*type);
        }
        FUZZ_CHECK(batch.count == expected.size());
        for (std::size_t i = 0; i < batch.count; ++i) {
            FUZZ_CHECK(hf::read_word(batch.frames[i], hf::SLOT_TYPE) ==
                       (expected[i] << 8 | expected[i]));
        }
        if (batch.count == 0) {
            FUZZ_CHECK(outcome == dmrd_outcome::dropped);
            return;
        }
        const bool usable = hytera_target_usable(target.address, target.voice_port);
        FUZZ_CHECK(outcome == (usable ? dmrd_outcome::send : dmrd_outcome::no_destination));
        if (!own_frame) {
            return;
        }

        const hf::Frame &out = batch.frames[batch.count - 1];
        FUZZ_CHECK(hf::read_id(out, hf::DESTINATION) == destination);
        FUZZ_CHECK(hf::read_id(out, hf::SOURCE) == source);
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    fuzz_input::quiet_log();
    reset_state(mmdvm_rx_state);
    network_voice_under_test voice;
    fuzz_input::reader in({data, size});
    voice.choice.firmware = in.byte();
    voice.choice.address = in.byte();
    voice.choice.port = in.u16();
    fuzz_input::record r;
    while (fuzz_input::next_record(in, LINK_RECEIVE_BUFFER, r)) {
        if ((r.op & 1) == 0) {
            voice.now_ms += (r.op >> 1) * 50;
            voice.receive(r.payload);
        } else {
            voice.choice.firmware = static_cast<std::uint8_t>(r.port >> 8);
            voice.choice.address = static_cast<std::uint8_t>(r.port);
        }
    }
    return 0;
}
