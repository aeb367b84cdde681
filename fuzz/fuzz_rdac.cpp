// RDAC-port datagrams of every length from many senders through one repeater
// table and one acknowledgement state, as the RDAC thread reacts to them. The
// script's steps are the unit tests' to check; here: the table stays sound and
// every answer is one of the script's packets, with a valid checksum, for the
// sender. Records (testing/fuzz_support.h): op names the sender, port is its
// source port, the payload is the datagram.
#include "hytera/rdac.h"
#include "hytera/repeater_table.h"
#include "sim/repeater_packets.h"
#include "testing/fuzz_support.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr std::uint16_t RDAC_PORT = 50002;

bool is_script_datagram(const outgoing_datagram &d) {
    auto holds = [&](const auto &bytes) {
        return d.length == bytes.size() && std::equal(bytes.begin(), bytes.end(), d.bytes.begin());
    };
    // The generic acknowledgement carries the sequence of what it answers.
    static constexpr std::uint8_t GENERIC[] = {0x7E, 0x04, 0x00, 0x10, 0x20, 0x10};
    const bool generic = d.length == RDAC_HEADER_LENGTH &&
                         std::equal(std::begin(GENERIC), std::end(GENERIC), d.bytes.begin());
    return generic || holds(ack) || holds(start12) || holds(start24) || holds(next1_12) ||
           holds(next2_12) || holds(next2_25) || holds(next3_12) || holds(next3_25) ||
           holds(next4_25) || holds(next4_12);
}

template <std::size_t N> bool terminated(const char (&text)[N]) {
    return strnlen(text, N) < N;
}

void check_table(const repeater_table &table) {
    table.locked([&](const auto &slots) {
        for (std::size_t i = 0; i < slots.size(); ++i) {
            const repeater_entry &e = slots[i];
            if (!e.used()) {
                continue;
            }
            FUZZ_CHECK(terminated(e.Hytera_RPT_ip) && terminated(e.Hytera_RPT_DmrID) &&
                       terminated(e.Hytera_RPT_Callsign) && terminated(e.Hytera_RPT_Firmware) &&
                       terminated(e.Hytera_RPT_Model) && terminated(e.Hytera_RPT_Serialnumme) &&
                       terminated(e.Hytera_RPT_TX_Frequency) &&
                       terminated(e.Hytera_RPT_RX_Frequency) &&
                       terminated(e.Hytera_RPT_TX_requency) &&
                       terminated(e.Hytera_RPT_RX_requency) && terminated(e.Hytera_RPT_Shift));
            for (std::size_t j = 0; j < i; ++j) {
                FUZZ_CHECK(!slots[j].used() ||
                           std::strcmp(slots[j].Hytera_RPT_ip, e.Hytera_RPT_ip) != 0);
            }
        }
    });
}

void react_once(repeater_table &table, rdac_state &state, const fuzz_input::record &r) {
    const sockaddr_in from = fuzz_input::repeater_sender(r.op, r.port);
    char text[16];
    address_text(from, text);
    const int before = table.find(text);

    outbox box;
    rdac_react(table, r.payload, from, RDAC_PORT, state, 1700000000, box);

    const std::vector<std::uint8_t> &d = r.payload;
    const int after = table.find(text);
    // Only the one-byte greeting registers; never the any address.
    FUZZ_CHECK(d.size() == 1 || after == before);
    FUZZ_CHECK(from.sin_addr.s_addr != htonl(INADDR_ANY) || after < 0);
    // A new repeater's greeting: the acknowledgement and the opening pair twice.
    FUZZ_CHECK(box.count <= 5);
    for (std::size_t i = 0; i < box.count; ++i) {
        const outgoing_datagram &o = box.items[i];
        FUZZ_CHECK(o.via == socket_kind::rdac && is_script_datagram(o));
        FUZZ_CHECK(o.to.sin_family == AF_INET && o.to.sin_addr.s_addr == from.sin_addr.s_addr);
        FUZZ_CHECK(o.to.sin_port == from.sin_port ||
                   (o.to.sin_port == htons(RDAC_PORT) && d.size() == 1));
        if (o.length >= RDAC_HEADER_LENGTH) {
            // The checksum as the repeater computes it.
            std::vector<std::uint8_t> copy(o.bytes.begin(), o.bytes.begin() + o.length);
            repeater_packets::rdac_checksum(copy.data(), copy.size());
            FUZZ_CHECK(std::equal(copy.begin(), copy.end(), o.bytes.begin()));
        }
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
        react_once(table, state, r);
        check_table(table);
    }
    return 0;
}
