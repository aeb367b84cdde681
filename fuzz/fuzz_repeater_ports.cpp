// Control- and RDAC-port datagrams from many senders through one repeater
// table, as the two receiver threads of the daemon react to them on the table
// they share: registrations, refreshes, the identity walk and every answer.
// The answers' bytes are the unit tests' to check; here, whoever sends
// whatever, the table stays sound and every answer goes back to the sender's
// host, an RDAC one only as a packet of the script with the checksum the
// repeater computes.
//
// Records (testing/fuzz_support.h): bit 7 of op picks the RDAC port, else the
// control port; the rest of op names the sender (10.0.0.op, 0 the any
// address, which is never registered); port is its source port.
#include "hytera/control.h"
#include "hytera/guard.h"
#include "hytera/rdac.h"
#include "hytera/repeater_table.h"
#include "sim/repeater_packets.h"
#include "testing/fuzz_support.h"
#include "testing/hytera_helpers.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr control_ports PORTS{50001, 50002};
constexpr std::uint8_t RDAC_BIT = 0x80;

bool is_script_packet(const outgoing_datagram &d) {
    // The generic acknowledgement carries the sequence of what it answers.
    static constexpr std::uint8_t GENERIC[] = {0x7E, 0x04, 0x00, 0x10, 0x20, 0x10};
    if (d.length == RDAC_HEADER_LENGTH &&
        std::equal(std::begin(GENERIC), std::end(GENERIC), d.bytes.begin())) {
        return true;
    }
    const std::span<const std::uint8_t> script[] = {ack,      start12,  start24,  next1_12,
                                                    next2_12, next2_25, next3_12, next3_25,
                                                    next4_25, next4_12};
    return std::any_of(std::begin(script), std::end(script), [&](auto bytes) {
        return d.length == bytes.size() && std::equal(bytes.begin(), bytes.end(), d.bytes.begin());
    });
}

bool checksum_holds(const outgoing_datagram &d) {
    std::vector<std::uint8_t> copy(d.bytes.begin(), d.bytes.begin() + d.length);
    repeater_packets::rdac_checksum(copy.data(), copy.size());
    return std::equal(copy.begin(), copy.end(), d.bytes.begin());
}

template <std::size_t N> bool terminated(const char (&text)[N]) {
    return strnlen(text, N) < N;
}

void check_table(const repeater_table &table) {
    table.locked([](const auto &slots) {
        for (std::size_t i = 0; i < slots.size(); ++i) {
            const repeater_entry &e = slots[i];
            if (!e.used()) {
                continue;
            }
            in_addr a{};
            FUZZ_CHECK(inet_pton(AF_INET, e.Hytera_RPT_ip, &a) == 1 &&
                       a.s_addr != htonl(INADDR_ANY));
            FUZZ_CHECK(
                terminated(e.Hytera_RPT_DmrID) && terminated(e.Hytera_RPT_Callsign) &&
                terminated(e.Hytera_RPT_Firmware) && terminated(e.Hytera_RPT_Model) &&
                terminated(e.Hytera_RPT_Serialnumme) && terminated(e.Hytera_RPT_TX_Frequency) &&
                terminated(e.Hytera_RPT_RX_Frequency) && terminated(e.Hytera_RPT_TX_requency) &&
                terminated(e.Hytera_RPT_RX_requency) && terminated(e.Hytera_RPT_Shift));
            for (std::size_t j = 0; j < i; ++j) {
                FUZZ_CHECK(!slots[j].used() ||
                           std::strcmp(slots[j].Hytera_RPT_ip, e.Hytera_RPT_ip) != 0);
            }
        }
    });
}

void react_once(repeater_table &table, rdac_state &state, const fuzz_input::record &r) {
    const bool rdac = (r.op & RDAC_BIT) != 0;
    const sockaddr_in from =
        fuzz_input::repeater_sender(static_cast<std::uint8_t>(r.op & ~RDAC_BIT), r.port);
    char text[16];
    address_text(from, text);
    const int before = table.find(text);
    // A repeater registered by another port records its control port now.
    const repeater_entry old =
        before >= 0 ? table.snapshot(static_cast<std::size_t>(before)) : repeater_entry{};
    const std::uint16_t recorded_port =
        old.Hytera_RPT_INDEX2 == 1 ? old.Hytera_RPT_ip_System.sin_port : from.sin_port;
    const bool full = table.locked([](const auto &slots) {
        return std::all_of(slots.begin(), slots.end(), [](const auto &e) { return e.used(); });
    });
    repeater_guard &guard = ferrule_test::open_guard();
    outbox box;
    if (rdac) {
        rdac_react(table, guard, r.payload, from, PORTS.rdac, state, 1700000000, box);
    } else {
        control_react(table, guard, r.payload, from, PORTS, 1700000000, box);
    }
    const int after = table.find(text);
    // A sender the table has no room for, or that it cannot register, gets
    // nothing at all on the control port; on the RDAC port, nothing once the
    // table is full.
    if ((!rdac && after < 0) || (rdac && before < 0 && full)) {
        FUZZ_CHECK(box.count == 0 && after < 0);
        return;
    }
    // An RDAC answer from the repeater's address but not from the port it
    // uses for RDAC is neither stored nor answered.
    const std::size_t length = r.payload.size();
    if (rdac && (length == RDAC_RADIO_DATA_LENGTH || length == RDAC_IDENTITY_LENGTH) &&
        old.Hytera_RPT_INDEX3 == 1 && old.Hytera_RPT_ip_Rdac.sin_port != from.sin_port &&
        r.payload[0] == 0x7E && r.payload[1] == 0x04) {
        FUZZ_CHECK(box.count == 0);
        return;
    }
    // Only the RDAC greeting and the control port's two requests register.
    FUZZ_CHECK(
        after == before ||
        (rdac ? length == 1 : length == SERVICE_REQUEST_LENGTH || length == KEEP_ALIVE_LENGTH));
    // No reaction sends more than a greeting's five, so the outbox never drops one.
    FUZZ_CHECK(box.count <= 5);
    for (std::size_t i = 0; i < box.count; ++i) {
        const outgoing_datagram &d = box.items[i];
        FUZZ_CHECK(d.to.sin_family == AF_INET && d.to.sin_addr.s_addr == from.sin_addr.s_addr);
        if (d.via == socket_kind::control) {
            // Control answers go to the port recorded at registration.
            FUZZ_CHECK(!rdac && d.to.sin_port == recorded_port);
            continue;
        }
        FUZZ_CHECK(d.via == socket_kind::rdac && is_script_packet(d));
        FUZZ_CHECK(d.length < RDAC_HEADER_LENGTH || checksum_holds(d));
        // To the sender, or the identity requests of a registration to its RDAC port.
        FUZZ_CHECK((rdac && d.to.sin_port == from.sin_port) ||
                   (before < 0 && d.to.sin_port == htons(PORTS.rdac)));
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    fuzz_input::quiet_log();
    static repeater_table table;
    table.reset();
    rdac_state state;
    fuzz_input::reader in({data, size});
    fuzz_input::record r;
    while (fuzz_input::next_record(in, RDAC_RECEIVE_SIZE, r)) {
        if ((r.op & RDAC_BIT) == 0 && r.payload.size() > CONTROL_RECEIVE_SIZE) {
            // The control thread's buffer is smaller; still an exact-size copy.
            r.payload = {r.payload.begin(), r.payload.begin() + CONTROL_RECEIVE_SIZE};
        }
        react_once(table, state, r);
        check_table(table);
    }
    return 0;
}
