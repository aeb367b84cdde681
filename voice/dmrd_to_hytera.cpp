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

dmrd_outcome dmrd_to_hytera(std::span<const std::uint8_t> datagram, const hytera_target &target,
                            network_call_state &state, std::span<std::uint8_t, hf::LENGTH> out) {
    // A short frame would be converted from bytes the peer never sent.
    if (datagram.size() < df::LENGTH) {
        ferrule_log("Short DMRD frame from MMDVM: %zu bytes (dropped)\n", datagram.size());
        return dmrd_outcome::dropped;
    }
    const std::span<const std::uint8_t, df::LENGTH> d = datagram.first<df::LENGTH>();
    const std::uint8_t sequence = d[df::SEQUENCE];
    const std::uint32_t source = df::read_be(d, df::SOURCE, df::ID_LENGTH);
    const std::uint32_t destination = df::read_be(d, df::DESTINATION, df::ID_LENGTH);
    const std::uint32_t repeater_id = df::read_be(d, df::REPEATER_ID, sizeof(std::uint32_t));
    const std::uint8_t flags = d[df::FLAGS];

    if (source < NETWORK_SOURCE_MIN || source > NETWORK_ID_MAX) {
        ferrule_log("Invalid SrcID from MMDVM: %u\n", source);
        return dmrd_outcome::dropped;
    }
    if (destination == 0 || destination > NETWORK_ID_MAX) {
        ferrule_log("Invalid DestID from MMDVM: %u - SourceID: %u\n", destination, source);
        return dmrd_outcome::dropped;
    }

    std::uint8_t *const begin = out.data();
    std::fill(out.begin(), out.end(), std::uint8_t{0});
    std::copy(hf::SIGNATURE_NORMAL.begin(), hf::SIGNATURE_NORMAL.end(), begin + hf::SIGNATURE);
    out[hf::FRAME_KIND] = hf::KIND_VOICE;
    out[hf::FIXED_05] = hf::FIXED_05_VALUE;
    out[hf::FIXED_01] = hf::FIXED_01_VALUE;

    const std::size_t ts = (flags & df::FLAG_TS2) != 0 ? 1 : 0;
    out[hf::SLOT_NUMBER] = ts == 1 ? hf::SLOT_NUMBER_TS2 : hf::SLOT_NUMBER_TS1;
    hf::write_word(out, hf::SLOT_WORD, ts == 1 ? hf::SLOT_WORD_TS2 : hf::SLOT_WORD_TS1);

    out[hf::SEQUENCE_LOW] = sequence;
    out[hf::SEQUENCE_HIGH] = static_cast<std::uint8_t>(state.wrap_count[source]);
    if (sequence == 255) {
        ++state.wrap_count[source];
    }

    const std::uint8_t kind = flags & df::KIND_MASK;
    const std::optional<std::uint8_t> type = df::hytera_type_of_kind(kind);
    if (!type) {
        ferrule_log("Unknown DataType: %2.2x from %u at %u\n", flags, source, repeater_id);
        return dmrd_outcome::dropped;
    }

    bool opens_call = false;
    if (kind == df::KIND_VOICE_LC_HEADER) {
        if (state.call_open[source] == 1) {
            return dmrd_outcome::dropped;
        }
        // The repeater wants a short setup frame, not the LC header itself.
        start_frame(out, hf::KIND_CALL_SETUP, hf::TYPE_CALL_SETUP, hf::MARK_SET);
        hf::write_word(out, hf::SETUP_MARK, hf::MARK_SET);
        hf::write_setup_id(out, hf::SETUP_DESTINATION, destination);
        hf::write_setup_id(out, hf::SETUP_SOURCE, source);
        opens_call = true;
    } else if (kind == df::KIND_TERMINATOR) {
        if (state.call_open[source] == 0) {
            return dmrd_outcome::dropped;
        }
        start_frame(out, hf::KIND_TERMINATOR, hf::TYPE_TERMINATOR, 0);
        state.call_open[source] = 0;
    } else if ((kind & df::FLAG_DATA_SYNC) != 0) {
        std::uint32_t &count = state.data_packet_count[ts];
        std::uint32_t &remembered = state.data_destination[ts];
        ++count;
        if (kind == df::KIND_CSBK || kind == df::KIND_DATA_HEADER) {
            if (remembered != destination) {
                remembered = destination;
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
        out[hf::SEQUENCE_LOW] = static_cast<std::uint8_t>(count);
        out[hf::SEQUENCE_HIGH] = 0;
        start_frame(out, hf::KIND_DATA, *type, hf::MARK_SET);
        out[hf::SLOT_NUMBER] = hf::SLOT_NUMBER_DATA;
        out[hf::BURST_CLASS] = hf::BURST_CLASS_DATA;
        out[hf::DATA_CLASS] = data_class;
        copy_burst(d, out);
    } else {
        start_frame(out, hf::KIND_VOICE, *type, hf::MARK_SET);
        out[hf::BURST_CLASS] = hf::BURST_CLASS_VOICE;
        if (kind == df::KIND_VOICE_E) {
            std::copy(hf::SIGNATURE_BURST_E.begin(), hf::SIGNATURE_BURST_E.end(),
                      begin + hf::SIGNATURE);
        }
        copy_burst(d, out);
    }

    out[hf::CALL_TYPE] = (flags & df::FLAG_PRIVATE) != 0 ? hf::CALL_PRIVATE : hf::CALL_GROUP;
    hf::write_id(out, hf::DESTINATION, destination);
    hf::write_id(out, hf::SOURCE, source);
    out[hf::FRAME_KIND] = hf::adjust_frame_kind(out[hf::FRAME_KIND], target.firmware);

    // The call counts as set up even when no repeater can hear it, so a later
    // repeated header is still filtered.
    if (opens_call) {
        state.call_open[source] = 1;
        state.wrap_count[source] = 0;
    }
    return hytera_target_usable(target.address, target.voice_port) ? dmrd_outcome::send
                                                                   : dmrd_outcome::no_destination;
}
