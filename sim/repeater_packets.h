#pragma once
// The datagrams a Hytera repeater sends on the control and RDAC ports, built
// from the byte layouts alone: nothing comes from the gateway's own code, so
// the simulated repeater, the fuzz corpus and the tests that use these are not
// checking the gateway against itself.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace repeater_packets {

using bytes = std::vector<std::uint8_t>;

// ---- Control port: "P2PP" service requests and "ZZZZ" keep-alives ----------

// Code 0x10 announces the repeater, 0x11 and 0x12 ask for the voice and RDAC
// ports; the sequence byte comes back in the acknowledgement.
inline bytes service_request(std::uint8_t code, std::uint8_t sequence) {
    bytes d(24, 0);
    std::memcpy(d.data(), "P2PP", 4);
    d[4] = 0x01;
    d[8] = 0x14;
    d[12] = sequence;
    d[20] = code;
    return d;
}

inline bytes keep_alive() {
    bytes d(20, 0);
    std::memcpy(d.data(), "ZZZZ", 4);
    d[4] = 0x0A;
    d[8] = 0x14;
    return d;
}

// ---- RDAC port ---------------------------------------------------------------
// Header: 7E 04, byte 3 the type, bytes 6-7 the sequence and 8-9 the length
// (most significant first), bytes 10-11 the checksum; longer packets carry
// 02 at byte 12 and end with 03.

// Ones' complement sum of the big-endian words, the checksum word skipped; an
// odd length completes its last word with a zero byte.
inline void rdac_checksum(std::uint8_t *p, std::size_t length) {
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i < length; i += 2) {
        if (i == 10) {
            continue;
        }
        const std::uint32_t low = i + 1 < length ? p[i + 1] : 0;
        sum += 0xFFFF - (static_cast<std::uint32_t>(p[i]) << 8 | low);
    }
    const std::uint32_t s = (sum & 0xFFFF) + (sum >> 16);
    p[10] = static_cast<std::uint8_t>(s >> 8);
    p[11] = static_cast<std::uint8_t>(s);
}

inline bytes rdac_packet(std::size_t length, std::uint8_t type, std::uint16_t sequence) {
    bytes p(length, 0);
    p[0] = 0x7E;
    p[1] = 0x04;
    p[3] = type;
    p[4] = 0x20;
    p[5] = 0x10;
    p[6] = static_cast<std::uint8_t>(sequence >> 8);
    p[7] = static_cast<std::uint8_t>(sequence);
    p[8] = static_cast<std::uint8_t>(length >> 8);
    p[9] = static_cast<std::uint8_t>(length);
    if (length > 12) {
        p[12] = 0x02;
        p[length - 1] = 0x03;
    }
    rdac_checksum(p.data(), p.size());
    return p;
}

// What a repeater reports about itself in its two identity answers.
struct identity {
    std::uint32_t id = 2621234;
    std::string callsign = "N0CALL";
    std::uint32_t tx = 439275000; // Hz
    std::uint32_t rx = 431675000; // Hz
    std::string firmware = "A8.05.07.001";
    std::string model = "RD985";
    std::string serial = "1234567890";
};

// Texts travel as 2-byte characters, the character then a zero byte, cut to
// the field's width; numbers least significant byte first.
inline void put_wide(bytes &p, std::size_t first, std::size_t characters, const std::string &text) {
    for (std::size_t i = 0; i < characters && i < text.size(); ++i) {
        p[first + 2 * i] = static_cast<std::uint8_t>(text[i]);
    }
}

inline void put_le(bytes &p, std::size_t at, std::uint32_t v, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        p[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
    }
}

// The 225-byte answer: firmware, call sign, model and serial number.
inline bytes identity_answer(const identity &r = {}) {
    bytes p = rdac_packet(225, 0x00, 3);
    put_wide(p, 56, 12, r.firmware);
    put_wide(p, 88, 16, r.callsign);
    put_wide(p, 120, 5, r.model);
    put_wide(p, 184, 10, r.serial);
    rdac_checksum(p.data(), p.size());
    return p;
}

// The 71-byte answer: DMR ID and the receive and transmit frequencies.
inline bytes radio_data(const identity &r = {}) {
    bytes p = rdac_packet(71, 0x00, 4);
    put_le(p, 18, r.id, 3);
    put_le(p, 29, r.rx, 4);
    put_le(p, 33, r.tx, 4);
    rdac_checksum(p.data(), p.size());
    return p;
}

} // namespace repeater_packets
