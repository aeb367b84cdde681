#include "hytera/control.h"

#include "core/log.h"
#include "core/settings.h"

#include <cstring>

const std::array<std::uint8_t, 25> a24{0x50, 0x32, 0x50, 0x50, 0x02, 0x00, 0x00, 0x00, 0x14,
                                       0x00, 0x00, 0x00, 0xFF, 0x01, 0x01, 0x5A, 0x00, 0x00,
                                       0x00, 0x00, 0x10, 0x00, 0x00, 0x00, 0x01};
const std::array<std::uint8_t, 28> ret28{0x50, 0x32, 0x50, 0x50, 0x0B, 0x00, 0x00, 0x00, 0x14, 0x00,
                                         0x00, 0x00, 0x42, 0xFF, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00,
                                         0x11, 0x00, 0x00, 0x00, 0xFF, 0x01, 0x36, 0xF2};
const std::array<std::uint8_t, 20> ret20zzzz{0x5A, 0x5A, 0x5A, 0x5A, 0x0A, 0x00, 0x00,
                                             0x00, 0x14, 0x00, 0x00, 0x00, 0xFF, 0x5A,
                                             0x01, 0x5A, 0x00, 0x00, 0x00, 0x00};

namespace {

constexpr std::size_t PORT_OFFSET = 26;

// Answers go to the port recorded from the repeater's first accepted datagram.
sockaddr_in reply_destination(const repeater_table &table, int index, const char *text,
                              const sockaddr_in &from) {
    repeater_entry e = table.snapshot(static_cast<std::size_t>(index));
    // The slot may have been freed and taken by another address meanwhile.
    if (e.Hytera_RPT_INDEX2 != 1 || std::strcmp(e.Hytera_RPT_ip, text) != 0) {
        return from;
    }
    sockaddr_in to = from;
    to.sin_port = e.Hytera_RPT_ip_System.sin_port;
    return to;
}

void queue_port_assignment(std::uint8_t code, std::uint16_t port, const sockaddr_in &to,
                           outbox &box) {
    std::array<std::uint8_t, 28> reply = ret28;
    reply[SERVICE_CODE_OFFSET] = code;
    reply[PORT_OFFSET] = static_cast<std::uint8_t>(port & 0xFF);
    reply[PORT_OFFSET + 1] = static_cast<std::uint8_t>(port >> 8);
    box.add(socket_kind::control, to, reply);
}

} // namespace

void control_react(repeater_table &table, repeater_guard &guard,
                   std::span<const std::uint8_t> datagram, const sockaddr_in &from,
                   const control_ports &ports, std::time_t now, outbox &box) {
    const bool service = datagram.size() == SERVICE_REQUEST_LENGTH;
    const std::uint8_t code = service ? datagram[SERVICE_CODE_OFFSET] : 0;
    if (service && code != SERVICE_ANNOUNCE && code != SERVICE_VOICE_PORT &&
        code != SERVICE_RDAC_PORT) {
        return;
    }
    if ((!service && datagram.size() != KEEP_ALIVE_LENGTH) || !guard.admits(from, "control", now)) {
        return;
    }
    char text[16];
    address_text(from, text);
    // A sender the table cannot hold is not answered: it would take the
    // replies for a registration it does not have.
    auto refresh = [&] {
        return table.insert(PORT_KIND_CONTROL, from, text, ports.rdac, now, box).index;
    };

    if (service) {
        std::array<std::uint8_t, 25> ack = a24;
        ack[SERVICE_SEQUENCE_OFFSET] = datagram[SERVICE_SEQUENCE_OFFSET];
        ack[SERVICE_CODE_OFFSET] = code;
        const int index = refresh();
        if (index < 0) {
            return;
        }
        box.add(socket_kind::control, reply_destination(table, index, text, from), ack);
        if (code == SERVICE_VOICE_PORT || code == SERVICE_RDAC_PORT) {
            const int again = refresh();
            if (again < 0) {
                return;
            }
            queue_port_assignment(code, code == SERVICE_VOICE_PORT ? ports.voice : ports.rdac,
                                  reply_destination(table, again, text, from), box);
        }
    } else {
        // The first call registers a new repeater, the second only refreshes.
        if (refresh() < 0) {
            return;
        }
        const int index = refresh();
        if (index < 0) {
            return;
        }
        box.add(socket_kind::control, reply_destination(table, index, text, from), ret20zzzz);
    }
}
