// Control-port datagrams from many senders through one repeater table, as the
// control thread reacts to them. The replies' bytes are the unit tests' to
// check; here: whoever sends whatever, the table stays sound and nothing goes
// anywhere but back to the sender. Records (testing/fuzz_support.h): op names
// the sender, port is its source port, the payload is the datagram.
#include "hytera/control.h"
#include "hytera/repeater_table.h"
#include "testing/fuzz_support.h"

#include <cstring>

namespace {

constexpr control_ports PORTS{50001, 50002};

// What only the control port ever writes into a table.
void check_table(const repeater_table &table) {
    table.locked([](const auto &slots) {
        for (std::size_t i = 0; i < slots.size(); ++i) {
            const repeater_entry &e = slots[i];
            if (!e.used()) {
                continue;
            }
            in_addr a{};
            FUZZ_CHECK(inet_pton(AF_INET, e.Hytera_RPT_ip, &a) == 1);
            FUZZ_CHECK(a.s_addr != htonl(INADDR_ANY));
            FUZZ_CHECK(e.Hytera_RPT_INDEX2 == 1 && e.Hytera_RPT_INDEX1 == 0);
            FUZZ_CHECK(e.Hytera_RPT_ip_System.sin_addr.s_addr == a.s_addr);
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
    const std::uint16_t recorded_port =
        before >= 0 ? table.snapshot(static_cast<std::size_t>(before)).Hytera_RPT_ip_System.sin_port
                    : from.sin_port;

    outbox box;
    control_react(table, r.payload, from, PORTS, 1700000000, box);
    const int after = table.find(text);
    // No reaction sends more than four datagrams, so the outbox never drops one.
    FUZZ_CHECK(box.count <= 4);
    const std::size_t n = r.payload.size();
    if (n != SERVICE_REQUEST_LENGTH && n != KEEP_ALIVE_LENGTH) {
        FUZZ_CHECK(box.count == 0 && after == before);
    }
    if (from.sin_addr.s_addr == htonl(INADDR_ANY)) {
        FUZZ_CHECK(after < 0);
    }
    for (std::size_t i = 0; i < box.count; ++i) {
        const outgoing_datagram &d = box.items[i];
        FUZZ_CHECK(d.to.sin_family == AF_INET && d.to.sin_addr.s_addr == from.sin_addr.s_addr);
        if (d.via == socket_kind::rdac) {
            // The identity requests of a new registration, to the RDAC port.
            FUZZ_CHECK(before < 0 && after >= 0 && d.to.sin_port == htons(PORTS.rdac));
        } else {
            // Answers go to the port recorded when the repeater registered.
            FUZZ_CHECK(d.via == socket_kind::control && d.to.sin_port == recorded_port);
        }
    }
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
