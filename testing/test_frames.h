#pragma once
// Frame builders shared by the voice tests.

#include "voice/dmrd_frame.h"
#include "voice/hytera_frame.h"

#include <array>
#include <cstdint>

namespace voice_test {

// A repeater frame with the fields the conversions read; the burst is a
// recognisable ramp so misplaced bytes show.
inline hytera_frame::Frame hytera(std::uint8_t slot_byte, std::uint8_t type, std::uint8_t sequence,
                                  std::uint8_t call_type, std::uint32_t source,
                                  std::uint32_t destination) {
    hytera_frame::Frame f{};
    f[hytera_frame::SEQUENCE_LOW] = sequence;
    f[hytera_frame::SLOT_WORD] = slot_byte;
    f[hytera_frame::SLOT_WORD + 1] = slot_byte;
    hytera_frame::write_byte_word(f, hytera_frame::SLOT_TYPE, type);
    for (std::size_t i = 0; i < hytera_frame::PAYLOAD_LENGTH; ++i) {
        f[hytera_frame::PAYLOAD + i] = static_cast<std::uint8_t>(0xA0 + i);
    }
    f[hytera_frame::CALL_TYPE] = call_type;
    hytera_frame::write_id(f, hytera_frame::SOURCE, source);
    hytera_frame::write_id(f, hytera_frame::DESTINATION, destination);
    return f;
}

inline dmrd_frame::Frame dmrd(std::uint8_t sequence, std::uint32_t source,
                              std::uint32_t destination, std::uint8_t flags) {
    dmrd_frame::Frame d{};
    std::copy(dmrd_frame::SIGNATURE_BYTES.begin(), dmrd_frame::SIGNATURE_BYTES.end(), d.begin());
    d[dmrd_frame::SEQUENCE] = sequence;
    dmrd_frame::write_be(d, dmrd_frame::SOURCE, 3, source);
    dmrd_frame::write_be(d, dmrd_frame::DESTINATION, 3, destination);
    dmrd_frame::write_be(d, dmrd_frame::REPEATER_ID, 4, 311234);
    d[dmrd_frame::FLAGS] = flags;
    for (std::size_t i = 0; i < dmrd_frame::BURST_LENGTH; ++i) {
        d[dmrd_frame::BURST + i] = static_cast<std::uint8_t>(0x30 + i);
    }
    d[dmrd_frame::BER] = 0x7B;
    return d;
}

} // namespace voice_test
