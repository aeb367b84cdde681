// DMRD datagrams from the peer converted for repeater index 0 through the link
// thread's call state, as the link thread hands them on: a call's header opens
// it once, its terminator closes it, and sequence numbers wrap per source.
//
// Input: a header of a firmware byte, an address byte and a voice port (see
// target_for), then records (fuzz_support.h) whose op selects
//   even  a datagram, the payload
//   odd   the target changes: firmware port >> 8, address port & 0xFF.
#include "network/link.h"
#include "testing/fuzz_support.h"
#include "voice/dmrd_frame.h"
#include "voice/dmrd_to_hytera.h"
#include "voice/hytera_frame.h"

#include <algorithm>
#include <map>
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
        s.call_open[source] = 0;
    }
    touched.clear();
    s.data_packet_count = {};
    s.data_destination = {};
}

struct network_voice_under_test {
    target_choice choice{};
    network_call_state &state = mmdvm_rx_state;
    // Calls open per source, as the repeater must see them.
    std::map<std::uint32_t, bool> open;

    void receive(const std::vector<std::uint8_t> &d) {
        const hytera_target target = choice.target();
        hf::Frame out{};
        const dmrd_outcome outcome = dmrd_to_hytera(d, target, state, out);
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
        bool &call = open[source];
        bool converted = type.has_value();
        if (kind == df::KIND_VOICE_LC_HEADER) {
            // A repeated header of an open call is not a new call.
            converted = !call;
            call = true;
        } else if (kind == df::KIND_TERMINATOR) {
            converted = call;
            call = false;
        }
        FUZZ_CHECK(state.call_open[source] == (call ? 1u : 0u));
        if (!converted) {
            FUZZ_CHECK(outcome == dmrd_outcome::dropped);
            return;
        }
        const bool usable = hytera_target_usable(target.address, target.voice_port);
        FUZZ_CHECK(outcome == (usable ? dmrd_outcome::send : dmrd_outcome::no_destination));

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
            voice.receive(r.payload);
        } else {
            voice.choice.firmware = static_cast<std::uint8_t>(r.port >> 8);
            voice.choice.address = static_cast<std::uint8_t>(r.port);
        }
    }
    return 0;
}
