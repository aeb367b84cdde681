#pragma once
// Helpers for the network link tests: a message as its text tag and its
// bytes, what a link put out, the link clock at a moment, and the repeater
// and location a login describes.

#include "core/settings.h"
#include "hytera/repeater_table.h"
#include "network/mode_link.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace ferrule_test {

using bytes = std::vector<std::uint8_t>;

inline constexpr std::int64_t S = 1000; // the link clock counts milliseconds

inline bytes text(const std::string &s) {
    return {s.begin(), s.end()};
}
inline bytes operator+(bytes a, const bytes &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}
inline bytes sent(const link_output &o) {
    return {o.bytes.begin(), o.bytes.begin() + static_cast<std::ptrdiff_t>(o.length)};
}
inline link_clock clock_at(std::int64_t ms) {
    return {ms, "Mon Jan  1 00:00:00 2024\n"};
}

// The settings the RPTC and DMRC read besides the repeater's own.
inline void test_location() {
    std::strcpy(Location_Watt, "5");
    std::strcpy(Location_CC, "1");
    std::strcpy(Location_Name, "Testort");
    Location_Homepage[0] = 0;
    std::strcpy(Location_Description, "Multi-Mode Repeater");
    Location_Height = 0;
}

// An identified repeater at 127.0.0.(2 * index + 2).
inline void identified_repeater(repeater_table &t, std::size_t index, const char *id,
                                const char *callsign = "DB0ABC") {
    t.locked([&](auto &slots) {
        repeater_entry &e = slots[index];
        std::snprintf(e.Hytera_RPT_ip, sizeof e.Hytera_RPT_ip, "127.0.0.%zu", 2 * index + 2);
        std::strcpy(e.Hytera_RPT_DmrID, id);
        std::strcpy(e.Hytera_RPT_Callsign, callsign);
        std::strcpy(e.Hytera_RPT_TX_Frequency, "438500000");
        std::strcpy(e.Hytera_RPT_RX_Frequency, "431100000");
        e.Hytera_RPT_Timer = REPEATER_LIFE_SECONDS;
        e.Hytera_RPT_RDAC_OK = 1;
    });
}

} // namespace ferrule_test
