#pragma once
// Builders for the repeater-side tests: socket addresses and datagrams.

#include "hytera/control.h"
#include "hytera/guard.h"
#include "hytera/outbox.h"
#include "testing/test_support.h"

#include <arpa/inet.h>
#include <cstdint>
#include <ctime>
#include <initializer_list>
#include <string>
#include <vector>

namespace ferrule_test {

using bytes = std::vector<std::uint8_t>;

// The repeater side's ports and the moment its tests run at.
inline constexpr std::uint16_t RDAC_PORT = 62007;
inline constexpr control_ports PORTS{62006, RDAC_PORT};
inline constexpr std::time_t NOW = 1700000000;

inline std::vector<std::uint8_t> bytes_of(const outgoing_datagram &d) {
    return {d.bytes.begin(), d.bytes.begin() + static_cast<std::ptrdiff_t>(d.length)};
}

inline std::string destination_of(const outgoing_datagram &d) {
    char text[16];
    inet_ntop(AF_INET, &d.to.sin_addr, text, sizeof text);
    return std::string(text) + ":" + std::to_string(ntohs(d.to.sin_port));
}

// A datagram of `length` bytes, zero apart from the given (offset, value) pairs.
inline std::vector<std::uint8_t>
datagram(std::size_t length, std::initializer_list<std::pair<std::size_t, std::uint8_t>> set = {}) {
    std::vector<std::uint8_t> d(length, 0);
    for (auto [offset, value] : set) {
        d.at(offset) = value;
    }
    return d;
}

// The guard of a daemon without Hytera_RPT_allow: every sender may speak.
inline repeater_guard &open_guard() {
    static const ipv4_allow_list anyone;
    static repeater_guard guard{anyone};
    return guard;
}

} // namespace ferrule_test
