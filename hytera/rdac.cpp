#include "hytera/rdac.h"

#include "core/log.h"
#include "core/settings.h"
#include "core/text.h"

#include <arpa/inet.h>
#include <cstdio>
#include <cstring>

const std::array<std::uint8_t, 1> ack{0x41};
const std::array<std::uint8_t, 12> next1_12{0x7E, 0x04, 0x00, 0x10, 0x20, 0x10,
                                            0x00, 0x01, 0x00, 0x0C, 0x61, 0xCE};
const std::array<std::uint8_t, 12> next2_12{0x7E, 0x04, 0x00, 0x10, 0x20, 0x10,
                                            0x00, 0x02, 0x00, 0x0C, 0x61, 0xCD};
const std::array<std::uint8_t, 25> next2_25{0x7E, 0x04, 0x00, 0x00, 0x20, 0x10, 0x00, 0x02, 0x00,
                                            0x19, 0x58, 0xA0, 0x02, 0xD4, 0x02, 0x06, 0x00, 0x64,
                                            0x00, 0x00, 0x00, 0x02, 0x00, 0xF0, 0x03};
const std::array<std::uint8_t, 12> next3_12{0x7E, 0x04, 0x00, 0x10, 0x20, 0x10,
                                            0x00, 0x03, 0x00, 0x0C, 0x61, 0xCC};
const std::array<std::uint8_t, 25> next3_25{0x7E, 0x04, 0x00, 0x00, 0x20, 0x10, 0x00, 0x03, 0x00,
                                            0x19, 0x73, 0x84, 0x02, 0xD6, 0x82, 0x06, 0x00, 0x00,
                                            0x64, 0x00, 0x00, 0x00, 0x02, 0x6E, 0x03};
const std::array<std::uint8_t, 25> next4_25{0x7E, 0x04, 0x00, 0x00, 0x20, 0x10, 0x00, 0x04, 0x00,
                                            0x19, 0x57, 0x9F, 0x02, 0xD4, 0x02, 0x06, 0x00, 0x64,
                                            0x00, 0x00, 0x00, 0x02, 0x01, 0xEF, 0x03};
const std::array<std::uint8_t, 12> next4_12{0x7E, 0x04, 0x00, 0x10, 0x20, 0x10,
                                            0x00, 0x04, 0x00, 0x0C, 0x61, 0xCB};

namespace {

constexpr std::size_t TYPE_OFFSET = 3;
constexpr std::size_t SEQUENCE_OFFSET = 6;
constexpr std::size_t CHECKSUM_OFFSET = 10;
constexpr std::uint8_t TYPE_RESEND_REQUEST = 0xFD;

// Even-offset characters of the identity answer's text fields.
struct text_field {
    std::size_t first;
    std::size_t characters;
};
constexpr text_field FIRMWARE_FIELD{56, 12};
constexpr text_field CALLSIGN_FIELD{88, 16};
constexpr text_field MODEL_FIELD{120, 5};
constexpr text_field SERIAL_FIELD{184, 10};

constexpr std::size_t DMR_ID_OFFSET = 18;
constexpr std::size_t RX_FREQUENCY_OFFSET = 29;
constexpr std::size_t TX_FREQUENCY_OFFSET = 33;

bool has_header(std::span<const std::uint8_t> d) {
    return d.size() >= 2 && d[0] == 0x7E && d[1] == 0x04;
}

// Zero characters add nothing, so a padded field yields its text alone; so
// does every other byte that is not printable ASCII, which could otherwise
// move the cursor, ring, or start a forged line on an operator's console.
template <std::size_t N>
void store_wide_text(char (&field)[N], std::span<const std::uint8_t> packet, text_field f) {
    std::size_t n = 0;
    for (std::size_t i = 0; i < f.characters && n + 1 < N; ++i) {
        std::uint8_t c = packet[f.first + 2 * i];
        if (is_printable_ascii(c)) {
            field[n++] = static_cast<char>(c);
        }
    }
    std::memset(field + n, 0, N - n);
}

// An identity answer from the repeater's address but another port is not the
// repeater's: it is neither stored nor answered.
bool answer_from_repeater(repeater_table &table, const char *an_ip, const sockaddr_in &from) {
    std::uint16_t expected = 0;
    if (table.check_rdac_source(an_ip, from, expected) != rdac_source::other_port) {
        return true;
    }
    ferrule_log("RDAC answer from %s:%u ignored: the repeater at %s answers from port %u\n", an_ip,
                static_cast<unsigned>(ntohs(from.sin_port)), an_ip,
                static_cast<unsigned>(expected));
    return false;
}

std::uint32_t little_endian(std::span<const std::uint8_t> p, std::size_t offset, std::size_t n) {
    std::uint32_t v = 0;
    for (std::size_t i = n; i-- > 0;) {
        v = (v << 8) | p[offset + i];
    }
    return v;
}

void queue_generic_ack(std::span<const std::uint8_t> d, const sockaddr_in &from, rdac_state &state,
                       outbox &box) {
    // Too short to carry a sequence number: the bytes last acknowledged stay,
    // rather than whatever an earlier datagram left in the receive buffer.
    if (d.size() >= SEQUENCE_OFFSET + 2) {
        state.rssi_rdac_ack[SEQUENCE_OFFSET] = d[SEQUENCE_OFFSET];
        state.rssi_rdac_ack[SEQUENCE_OFFSET + 1] = d[SEQUENCE_OFFSET + 1];
    }
    rdac_checksum(state.rssi_rdac_ack.data(), static_cast<int>(state.rssi_rdac_ack.size()));
    box.add(socket_kind::rdac, from, state.rssi_rdac_ack);
}

void queue_opening_pair(const sockaddr_in &to, outbox &box) {
    box.add(socket_kind::rdac, to, start12);
    box.add(socket_kind::rdac, to, start24);
}

} // namespace

void rdac_checksum(std::uint8_t *packet, int length) {
    std::uint32_t sum = 0;
    for (int offset = 0; offset < length; offset += 2) {
        if (offset == static_cast<int>(CHECKSUM_OFFSET)) {
            continue;
        }
        std::uint32_t low = offset + 1 < length ? packet[offset + 1] : 0;
        std::uint32_t word = (static_cast<std::uint32_t>(packet[offset]) << 8) | low;
        sum += 0xFFFF - word;
    }
    std::uint32_t s = (sum & 0xFFFF) + (sum >> 16);
    packet[CHECKSUM_OFFSET] = static_cast<std::uint8_t>((s >> 8) & 0xFF);
    packet[CHECKSUM_OFFSET + 1] = static_cast<std::uint8_t>(s & 0xFF);
}

void rdac225(repeater_table &table, const char *an_ip,
             std::span<const std::uint8_t, RDAC_IDENTITY_LENGTH> packet) {
    // At most one slot holds an address; its change is logged after the lock.
    int changed = -1;
    char before[sizeof(repeater_entry::Hytera_RPT_Callsign)] = {};
    char after[sizeof before] = {};
    table.locked([&](auto &slots) {
        for (std::size_t i = 0; i < slots.size(); ++i) {
            repeater_entry &e = slots[i];
            if (!e.used() || std::strcmp(e.Hytera_RPT_ip, an_ip) != 0 ||
                e.Hytera_RPT_Firmware[0] != 'A') {
                continue;
            }
            std::memcpy(before, e.Hytera_RPT_Callsign, sizeof before);
            store_wide_text(e.Hytera_RPT_Callsign, packet, CALLSIGN_FIELD);
            store_wide_text(e.Hytera_RPT_Serialnumme, packet, SERIAL_FIELD);
            store_wide_text(e.Hytera_RPT_Firmware, packet, FIRMWARE_FIELD);
            store_wide_text(e.Hytera_RPT_Model, packet, MODEL_FIELD);
            if (e.Hytera_RPT_RDAC_OK == 1 && std::strcmp(before, e.Hytera_RPT_Callsign) != 0) {
                changed = static_cast<int>(i);
                std::memcpy(after, e.Hytera_RPT_Callsign, sizeof after);
            }
        }
    });
    if (changed >= 0) {
        ferrule_log_unlimited("Repeater %s (index %d) changed its call sign from %s to %s\n", an_ip,
                              changed, before, after);
    }
}

void rdac71(repeater_table &table, const char *an_ip,
            std::span<const std::uint8_t, RDAC_RADIO_DATA_LENGTH> packet) {
    const std::uint32_t id = little_endian(packet, DMR_ID_OFFSET, 3);
    const std::uint32_t rx = little_endian(packet, RX_FREQUENCY_OFFSET, 4);
    const std::uint32_t tx = little_endian(packet, TX_FREQUENCY_OFFSET, 4);
    for (std::size_t i = 0; i < REPEATER_SLOTS; ++i) {
        // Fields are written and the entry copied under the lock; the log
        // lines are printed from the copy so the lock is never held on output.
        bool matched = false;
        int previous_ok = 0;
        char previous_id[sizeof(repeater_entry::Hytera_RPT_DmrID)] = {};
        repeater_entry copy{};
        table.locked([&](auto &slots) {
            repeater_entry &e = slots[i];
            if (!e.used() || std::strcmp(e.Hytera_RPT_ip, an_ip) != 0) {
                return;
            }
            matched = true;
            std::memcpy(previous_id, e.Hytera_RPT_DmrID, sizeof previous_id);
            std::snprintf(e.Hytera_RPT_DmrID, sizeof e.Hytera_RPT_DmrID, "%-6.6i",
                          static_cast<int>(id));
            std::snprintf(e.Hytera_RPT_TX_requency, sizeof e.Hytera_RPT_TX_requency, "%-3.4f",
                          static_cast<double>(static_cast<float>(tx) / 1000000.0f));
            std::snprintf(e.Hytera_RPT_RX_requency, sizeof e.Hytera_RPT_RX_requency, "%-3.4f",
                          static_cast<double>(static_cast<float>(rx) / 1000000.0f));
            std::snprintf(e.Hytera_RPT_TX_Frequency, sizeof e.Hytera_RPT_TX_Frequency, "%9i",
                          static_cast<std::int32_t>(tx));
            std::snprintf(e.Hytera_RPT_RX_Frequency, sizeof e.Hytera_RPT_RX_Frequency, "%9i",
                          static_cast<std::int32_t>(rx));
            const auto shift = static_cast<std::int32_t>(tx - rx);
            std::snprintf(e.Hytera_RPT_Shift, sizeof e.Hytera_RPT_Shift, "%1.1f",
                          static_cast<double>(static_cast<float>(shift) / 1000000.0f));
            previous_ok = e.Hytera_RPT_RDAC_OK;
            e.Hytera_RPT_RDAC_OK = 1;
            copy = e;
        });
        if (!matched) {
            continue;
        }
        if (previous_ok == 1 && std::strcmp(previous_id, copy.Hytera_RPT_DmrID) != 0) {
            ferrule_log_unlimited("Repeater %s (index %d) changed its DMR ID from %s to %s\n",
                                  an_ip, static_cast<int>(i), previous_id, copy.Hytera_RPT_DmrID);
        }
        ferrule_log_unlimited("\033[1;36m");
        if (previous_ok == 0) {
            ferrule_log_unlimited(
                "Hytera_RPT Login Type:%i IP:%-15.15s ID:%-6.6s Call:%16.16s TX:%-9.9s "
                "Shift:%-6.6s Hardware:%-10.10s\033[0m\n",
                static_cast<int>(i), copy.Hytera_RPT_ip, copy.Hytera_RPT_DmrID,
                copy.Hytera_RPT_Callsign, copy.Hytera_RPT_TX_requency, copy.Hytera_RPT_Shift,
                copy.Hytera_RPT_Model);
        }
        if (previous_ok != 1 && std::strncmp(copy.Hytera_RPT_Firmware, "FW", 2) != 0) {
            ferrule_log_unlimited("\033[1;36mFirmware:%s ID:%6.6s SerialNr:%s\033[0m\n",
                                  copy.Hytera_RPT_Firmware, copy.Hytera_RPT_DmrID,
                                  copy.Hytera_RPT_Serialnumme);
        }
    }
}

void rdac_react(repeater_table &table, repeater_guard &guard, std::span<const std::uint8_t> d,
                const sockaddr_in &from, std::uint16_t rdac_port, rdac_state &state,
                std::time_t now, outbox &box) {
    if (!guard.admits(from, "RDAC", now)) {
        return;
    }
    char an_ip[16];
    address_text(from, an_ip);
    if (table.refuses(an_ip, now)) {
        return;
    }
    const bool header = has_header(d);
    switch (d.size()) {
    case 1: {
        box.add(socket_kind::rdac, from, ack);
        insert_result r = table.insert(PORT_KIND_RDAC, from, an_ip, rdac_port, now, box);
        // A sender without an entry has not been identified either.
        int index = table.find(an_ip);
        bool identified =
            index >= 0 && table.snapshot(static_cast<std::size_t>(index)).Hytera_RPT_RDAC_OK == 1;
        if (!identified) {
            queue_opening_pair(r.registered ? ipv4_destination(from.sin_addr, rdac_port) : from,
                               box);
        }
        return;
    }
    case 24:
        queue_opening_pair(from, box);
        return;
    case RDAC_HEADER_LENGTH:
        if (header && d[TYPE_OFFSET] == TYPE_RESEND_REQUEST) {
            box.add(socket_kind::rdac, from, start24);
        } else if (header && d[SEQUENCE_OFFSET + 1] == 3) {
            box.add(socket_kind::rdac, from, next4_25);
        }
        return;
    case 25:
        if (!header) {
            return;
        }
        if (d[SEQUENCE_OFFSET] == 0 && d[SEQUENCE_OFFSET + 1] == 1) {
            box.add(socket_kind::rdac, from, next1_12);
        } else if (d[SEQUENCE_OFFSET] == 0 && d[SEQUENCE_OFFSET + 1] == 2) {
            box.add(socket_kind::rdac, from, next2_12);
            box.add(socket_kind::rdac, from, next2_25);
        } else {
            queue_generic_ack(d, from, state, box);
        }
        return;
    case RDAC_IDENTITY_LENGTH:
        if (header && answer_from_repeater(table, an_ip, from)) {
            rdac225(table, an_ip, d.first<RDAC_IDENTITY_LENGTH>());
            box.add(socket_kind::rdac, from, next3_12);
            box.add(socket_kind::rdac, from, next3_25);
        }
        return;
    case RDAC_RADIO_DATA_LENGTH:
        if (header && answer_from_repeater(table, an_ip, from)) {
            box.add(socket_kind::rdac, from, next4_12);
            rdac71(table, an_ip, d.first<RDAC_RADIO_DATA_LENGTH>());
        }
        return;
    case 29:
    case 34:
    case 38:
        queue_generic_ack(d, from, state, box);
        return;
    default:
        queue_generic_ack(d, from, state, box);
        ferrule_log(".......unresolved RDAC recvlen:%i an_ip:%s\n", static_cast<int>(d.size()),
                    an_ip);
        return;
    }
}
