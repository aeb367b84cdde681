// Control-port datagrams from many senders through one repeater table, as the
// control thread reacts to them: registrations, refreshes and every reply.
// Records (fuzz_support.h): op names the sender, port is its source port, the
// payload is the datagram.
#include "fuzz/fuzz_support.h"
#include "hytera/control.h"
#include "hytera/repeater_table.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr control_ports PORTS{50001, 50002};

bool is_service_code(std::uint8_t code) {
    return code == SERVICE_ANNOUNCE || code == SERVICE_VOICE_PORT || code == SERVICE_RDAC_PORT;
}

template <std::size_t N>
bool holds(const outgoing_datagram &d, const std::array<std::uint8_t, N> &bytes) {
    return d.length == N && std::equal(bytes.begin(), bytes.end(), d.bytes.begin());
}

std::size_t used_slots(const repeater_table &table) {
    return table.locked([](const auto &slots) {
        return static_cast<std::size_t>(
            std::count_if(slots.begin(), slots.end(), [](const auto &e) { return e.used(); }));
    });
}

// What only the control port ever writes into a table.
void check_table(const repeater_table &table) {
    table.locked([](const auto &slots) {
        for (std::size_t i = 0; i < slots.size(); ++i) {
            const repeater_entry &e = slots[i];
            if (!e.used()) {
                continue;
            }
            FUZZ_CHECK(strnlen(e.Hytera_RPT_ip, sizeof e.Hytera_RPT_ip) < sizeof e.Hytera_RPT_ip);
            in_addr a{};
            FUZZ_CHECK(inet_pton(AF_INET, e.Hytera_RPT_ip, &a) == 1);
            FUZZ_CHECK(a.s_addr != htonl(INADDR_ANY));
            FUZZ_CHECK(e.Hytera_RPT_INDEX2 == 1 && e.Hytera_RPT_INDEX1 == 0);
            FUZZ_CHECK(e.Hytera_RPT_ip_System.sin_addr.s_addr == a.s_addr);
            FUZZ_CHECK(e.Hytera_RPT_Timer == REPEATER_LIFE_SECONDS);
            FUZZ_CHECK(e.Hytera_RPT_RDAC_OK == 0);
            for (std::size_t j = 0; j < i; ++j) {
                FUZZ_CHECK(!slots[j].used() ||
                           std::strcmp(slots[j].Hytera_RPT_ip, e.Hytera_RPT_ip) != 0);
            }
        }
    });
}

void react_once(repeater_table &table, const fuzz_input::record &r) {
    const sockaddr_in from = fuzz_input::repeater_sender(r.op, r.port);
    char text[16];
    address_text(from, text);
    const int before = table.find(text);
    const repeater_entry old =
        before >= 0 ? table.snapshot(static_cast<std::size_t>(before)) : repeater_entry{};
    const bool room = used_slots(table) < REPEATER_SLOTS;

    // The daemon without Hytera_RPT_allow: every sender may speak.
    static const ipv4_allow_list anyone;
    static repeater_guard guard{anyone};
    outbox box;
    control_react(table, guard, r.payload, from, PORTS, 1700000000, box);

    const std::size_t n = r.payload.size();
    const bool request =
        n == SERVICE_REQUEST_LENGTH && is_service_code(r.payload[SERVICE_CODE_OFFSET]);
    const bool acted = request || n == KEEP_ALIVE_LENGTH;
    const int after = table.find(text);

    // No reaction sends more than four datagrams, so the outbox never drops one.
    FUZZ_CHECK(box.count <= 4);
    if (!acted) {
        FUZZ_CHECK(box.count == 0);
        FUZZ_CHECK(after == before);
        return;
    }
    if (from.sin_addr.s_addr == htonl(INADDR_ANY)) {
        FUZZ_CHECK(after < 0);
    } else if (before >= 0 || room) {
        FUZZ_CHECK(after >= 0);
    }
    // A sender without an entry, the full table's or the unregistrable
    // address, is not answered.
    if (after < 0) {
        FUZZ_CHECK(box.count == 0);
        return;
    }
    const bool registered = before < 0 && after >= 0;
    // The port recorded at registration is kept for as long as the entry.
    const std::uint16_t reply_port =
        before >= 0 ? old.Hytera_RPT_ip_System.sin_port : from.sin_port;
    if (after >= 0) {
        FUZZ_CHECK(table.snapshot(static_cast<std::size_t>(after)).Hytera_RPT_ip_System.sin_port ==
                   reply_port);
    }

    std::size_t identity_requests = 0;
    std::size_t control_replies = 0;
    for (std::size_t i = 0; i < box.count; ++i) {
        const outgoing_datagram &d = box.items[i];
        FUZZ_CHECK(d.length <= d.bytes.size());
        // Nothing is ever sent to another host than the sender.
        FUZZ_CHECK(d.to.sin_family == AF_INET && d.to.sin_addr.s_addr == from.sin_addr.s_addr);
        if (d.via == socket_kind::rdac) {
            FUZZ_CHECK(registered);
            FUZZ_CHECK(d.to.sin_port == htons(PORTS.rdac));
            FUZZ_CHECK(identity_requests == 0 ? holds(d, start12) : holds(d, start24));
            ++identity_requests;
            continue;
        }
        FUZZ_CHECK(d.via == socket_kind::control);
        FUZZ_CHECK(d.to.sin_port == reply_port);
        ++control_replies;
        if (!request) {
            FUZZ_CHECK(holds(d, ret20zzzz));
            continue;
        }
        const std::uint8_t code = r.payload[SERVICE_CODE_OFFSET];
        if (control_replies == 1) {
            FUZZ_CHECK(d.length == a24.size());
            FUZZ_CHECK(d.bytes[SERVICE_SEQUENCE_OFFSET] == r.payload[SERVICE_SEQUENCE_OFFSET]);
            FUZZ_CHECK(d.bytes[SERVICE_CODE_OFFSET] == code);
        } else {
            // The port the repeater is told to use, least significant byte first.
            const std::uint16_t port = code == SERVICE_VOICE_PORT ? PORTS.voice : PORTS.rdac;
            FUZZ_CHECK(d.length == ret28.size());
            FUZZ_CHECK(d.bytes[26] == (port & 0xFF) && d.bytes[27] == (port >> 8));
        }
    }
    FUZZ_CHECK(identity_requests == (registered ? 2u : 0u));
    const std::size_t expected_replies =
        !request ? 1 : (r.payload[SERVICE_CODE_OFFSET] == SERVICE_ANNOUNCE ? 1 : 2);
    FUZZ_CHECK(control_replies == expected_replies);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    fuzz_input::quiet_log();
    static repeater_table table;
    table.reset();
    fuzz_input::reader in({data, size});
    fuzz_input::record r;
    while (fuzz_input::next_record(in, CONTROL_RECEIVE_SIZE, r)) {
        react_once(table, r);
        check_table(table);
    }
    return 0;
}
