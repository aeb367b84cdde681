// RDAC-port datagrams of every length from many senders through one repeater
// table and one acknowledgement state, as the RDAC thread reacts to them: the
// greeting that registers, the identity and radio data answers, and the
// acknowledgements. Records (fuzz_support.h): op names the sender, port is its
// source port, the payload is the datagram.
#include "fuzz/fuzz_support.h"
#include "hytera/rdac.h"
#include "hytera/repeater_table.h"

#include <algorithm>
#include <cstring>
#include <set>
#include <string>

namespace {

constexpr std::uint16_t RDAC_PORT = 50002;

template <std::size_t N>
bool holds(const outgoing_datagram &d, const std::array<std::uint8_t, N> &bytes) {
    return d.length == N && std::equal(bytes.begin(), bytes.end(), d.bytes.begin());
}

// The layout of the generic acknowledgement around its sequence bytes.
bool is_generic_ack(const outgoing_datagram &d) {
    static constexpr std::uint8_t PREFIX[] = {0x7E, 0x04, 0x00, 0x10, 0x20, 0x10};
    return d.length == RDAC_HEADER_LENGTH &&
           std::equal(std::begin(PREFIX), std::end(PREFIX), d.bytes.begin()) &&
           d.bytes[8] == 0x00 && d.bytes[9] == 0x0C;
}

bool checksum_holds(const outgoing_datagram &d) {
    std::array<std::uint8_t, 32> copy = d.bytes;
    rdac_checksum(copy.data(), static_cast<int>(d.length));
    return std::equal(copy.begin(), copy.begin() + static_cast<std::ptrdiff_t>(d.length),
                      d.bytes.begin());
}

bool is_script_datagram(const outgoing_datagram &d) {
    return holds(d, ack) || holds(d, start12) || holds(d, start24) || holds(d, next1_12) ||
           holds(d, next2_12) || holds(d, next2_25) || holds(d, next3_12) || holds(d, next3_25) ||
           holds(d, next4_25) || holds(d, next4_12) || is_generic_ack(d);
}

template <std::size_t N> bool terminated(const char (&text)[N]) {
    return strnlen(text, N) < N;
}

bool has_header(const std::vector<std::uint8_t> &d) {
    return d.size() >= 2 && d[0] == 0x7E && d[1] == 0x04;
}

// Lengths whose reaction is the generic acknowledgement alone.
bool answered_with_generic_ack(const std::vector<std::uint8_t> &d) {
    switch (d.size()) {
    case 1:
    case 12:
    case 24:
    case RDAC_RADIO_DATA_LENGTH:
    case RDAC_IDENTITY_LENGTH:
        return false;
    case 25:
        return has_header(d) && !(d[6] == 0 && (d[7] == 1 || d[7] == 2));
    default:
        return true;
    }
}

struct model {
    // Addresses whose radio data answer arrived since they registered.
    std::set<std::string> identified;
    std::array<std::uint8_t, 2> ack_sequence{0x00, 0x04};
};

void check_table(const repeater_table &table, const model &m) {
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
            FUZZ_CHECK(e.Hytera_RPT_RDAC_OK == (m.identified.count(e.Hytera_RPT_ip) != 0 ? 1 : 0));
            // Only the control and voice ports record a port address.
            FUZZ_CHECK(e.Hytera_RPT_INDEX1 == 0 && e.Hytera_RPT_INDEX2 == 0);
            for (std::size_t j = 0; j < i; ++j) {
                FUZZ_CHECK(!slots[j].used() ||
                           std::strcmp(slots[j].Hytera_RPT_ip, e.Hytera_RPT_ip) != 0);
            }
        }
    });
}

bool table_full(const repeater_table &table) {
    return table.locked([](const auto &slots) {
        return std::all_of(slots.begin(), slots.end(), [](const auto &e) { return e.used(); });
    });
}

void react_once(repeater_table &table, rdac_state &state, model &m, const fuzz_input::record &r) {
    const sockaddr_in from = fuzz_input::repeater_sender(r.op, r.port);
    char text[16];
    address_text(from, text);
    const int before = table.find(text);
    const repeater_entry old =
        before >= 0 ? table.snapshot(static_cast<std::size_t>(before)) : repeater_entry{};
    const bool refused = before < 0 && table_full(table);

    // The daemon without Hytera_RPT_allow: every sender may speak.
    static const ipv4_allow_list anyone;
    static repeater_guard guard{anyone};
    outbox box;
    rdac_react(table, guard, r.payload, from, RDAC_PORT, state, 1700000000, box);

    const std::vector<std::uint8_t> &d = r.payload;
    const int after = table.find(text);
    // A sender the full table cannot take gets nothing at all.
    if (refused) {
        FUZZ_CHECK(box.count == 0 && after < 0);
        return;
    }
    // An answer from the repeater's address at another port than the one it
    // uses for RDAC is neither stored nor answered.
    const bool answer =
        (d.size() == RDAC_RADIO_DATA_LENGTH || d.size() == RDAC_IDENTITY_LENGTH) && has_header(d);
    if (answer && before >= 0 && old.Hytera_RPT_INDEX3 == 1 &&
        old.Hytera_RPT_ip_Rdac.sin_port != from.sin_port) {
        FUZZ_CHECK(box.count == 0);
        return;
    }
    if (d.size() != 1) {
        FUZZ_CHECK(after == before);
    } else if (from.sin_addr.s_addr == htonl(INADDR_ANY)) {
        FUZZ_CHECK(after < 0);
    }
    if (d.size() == RDAC_RADIO_DATA_LENGTH && has_header(d) && after >= 0) {
        m.identified.insert(text);
    }

    // A new repeater's greeting: the acknowledgement and the opening pair twice.
    FUZZ_CHECK(box.count <= 5);
    for (std::size_t i = 0; i < box.count; ++i) {
        const outgoing_datagram &o = box.items[i];
        FUZZ_CHECK(o.length <= o.bytes.size());
        FUZZ_CHECK(o.via == socket_kind::rdac);
        FUZZ_CHECK(o.to.sin_family == AF_INET && o.to.sin_addr.s_addr == from.sin_addr.s_addr);
        const bool to_rdac_port = o.to.sin_port == htons(RDAC_PORT);
        FUZZ_CHECK(o.to.sin_port == from.sin_port || (to_rdac_port && d.size() == 1));
        FUZZ_CHECK(is_script_datagram(o));
        if (o.length >= RDAC_HEADER_LENGTH) {
            FUZZ_CHECK(checksum_holds(o));
        }
    }
    if (answered_with_generic_ack(d)) {
        // Too short to carry a sequence: the last acknowledged one is repeated.
        if (d.size() >= 8) {
            m.ack_sequence = {d[6], d[7]};
        }
        FUZZ_CHECK(box.count == 1 && is_generic_ack(box.items[0]));
        FUZZ_CHECK(box.items[0].bytes[6] == m.ack_sequence[0] &&
                   box.items[0].bytes[7] == m.ack_sequence[1]);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    fuzz_input::quiet_log();
    static repeater_table table;
    table.reset();
    rdac_state state;
    model m;
    fuzz_input::reader in({data, size});
    fuzz_input::record r;
    while (fuzz_input::next_record(in, RDAC_RECEIVE_SIZE, r)) {
        react_once(table, state, m, r);
        check_table(table, m);
    }
    return 0;
}
