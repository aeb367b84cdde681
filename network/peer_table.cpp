#include "network/peer_table.h"

#include "core/clock.h"
#include "core/log.h"
#include "core/text.h"
#include "network/link.h"
#include "network/messages.h"

#include <arpa/inet.h>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <ctime>

peer_table MMDVM_peers;

namespace {

using link_msg::rptc_field;

// Copies an RPTC text field: at most its width, ending early at a NUL byte,
// printable ASCII only, since the record is logged and shown.
template <std::size_t N>
void copy_field(char (&to)[N], std::span<const std::uint8_t> message, rptc_field f) {
    char raw[128] = {};
    static_assert(sizeof raw > link_msg::RPTC_URL.width);
    std::memcpy(raw, message.data() + f.offset, f.width);
    copy_text(to, raw, f.width);
    keep_printable_ascii(to, N);
}

// Leading blanks skipped, reading stops at the first non-digit.
std::int64_t field_number(const char *text, std::size_t width) {
    std::size_t i = 0;
    while (i < width && (text[i] == ' ' || text[i] == '\t')) {
        ++i;
    }
    std::int64_t value = 0;
    for (; i < width && std::isdigit(static_cast<unsigned char>(text[i])) != 0; ++i) {
        value = value * 10 + (text[i] - '0');
    }
    return value;
}

void fill(peer_entry &e, const sockaddr_in &address, std::span<const std::uint8_t> m,
          const char *key, const char *time_text, peer_id_rule rule) {
    e.MMDVM_IP_PORT = address;
    std::uint32_t id = link_msg::get_u32(m.data() + link_msg::RPTC_ID.offset);
    e.MMDVM_ID_exact = rule == peer_id_rule::exact;
    e.MMDVM_ID = presented_peer_id(id, e.MMDVM_ID_exact);
    char dotted[16] = {};
    inet_ntop(AF_INET, &address.sin_addr, dotted, sizeof dotted);
    copy_text(e.MMDVM_IP, dotted, sizeof e.MMDVM_IP);
    e.MMDVM_PORT = ntohs(address.sin_port);
    copy_text(e.MMDVM_INDEX, key, sizeof e.MMDVM_INDEX);

    copy_field(e.MMDVM_Callsign, m, link_msg::RPTC_CALLSIGN);
    copy_field(e.MMDVM_TX_Power, m, link_msg::RPTC_POWER);
    copy_field(e.MMDVM_ColorCode, m, link_msg::RPTC_COLOUR);
    copy_field(e.MMDVM_Latitude, m, link_msg::RPTC_LATITUDE);
    copy_field(e.MMDVM_Longitude, m, link_msg::RPTC_LONGITUDE);
    copy_field(e.MMDVM_Height, m, link_msg::RPTC_HEIGHT);
    copy_field(e.MMDVM_Location, m, link_msg::RPTC_LOCATION);
    copy_field(e.MMDVM_Description, m, link_msg::RPTC_DESCRIPTION);
    copy_field(e.MMDVM_URL, m, link_msg::RPTC_URL);
    copy_field(e.MMDVM_Software, m, link_msg::RPTC_SOFTWARE);
    copy_field(e.MMDVM_Package, m, link_msg::RPTC_PACKAGE);

    char rx[10] = {};
    char tx[10] = {};
    std::memcpy(rx, m.data() + link_msg::RPTC_RX_FREQ.offset, link_msg::RPTC_RX_FREQ.width);
    std::memcpy(tx, m.data() + link_msg::RPTC_TX_FREQ.offset, link_msg::RPTC_TX_FREQ.width);
    peer_frequency_texts f = peer_frequencies(rx, tx);
    copy_text(e.MMDVM_RX_Freq, f.rx, sizeof e.MMDVM_RX_Freq);
    copy_text(e.MMDVM_TX_Freq, f.tx, sizeof e.MMDVM_TX_Freq);
    copy_text(e.MMDVM_Repeater_Shift, f.shift, sizeof e.MMDVM_Repeater_Shift);

    char slots = static_cast<char>(m[link_msg::RPTC_SLOTS.offset]);
    e.MMDVM_Slots = std::isdigit(static_cast<unsigned char>(slots)) != 0 ? slots - '0' : 0;
    e.MMDVM_TIMER = MMDVM_PEER_LIFE_SECONDS;
    copy_text(e.MMDVM_LoginTime, time_text, sizeof e.MMDVM_LoginTime);
}

} // namespace

peer_entry peer_record(const sockaddr_in &address, std::span<const std::uint8_t> rptc,
                       const char *time_text, peer_id_rule rule) {
    peer_entry e{};
    if (rptc.size() >= link_msg::RPTC_LENGTH) {
        char key[30];
        peer_key(address, key);
        fill(e, address, rptc, key, time_text, rule);
    }
    return e;
}

void peer_key(const sockaddr_in &address, char (&key)[30]) {
    char dotted[16] = {};
    inet_ntop(AF_INET, &address.sin_addr, dotted, sizeof dotted);
    std::snprintf(key, sizeof key, ":%s-:%u", dotted,
                  static_cast<unsigned>(ntohs(address.sin_port)));
}

peer_frequency_texts peer_frequencies(const char *rx_field, const char *tx_field) {
    peer_frequency_texts t{};
    std::int64_t rx = field_number(rx_field, strnlen(rx_field, link_msg::RPTC_RX_FREQ.width));
    std::int64_t tx = field_number(tx_field, strnlen(tx_field, link_msg::RPTC_TX_FREQ.width));
    // Single precision, as the records have always been written.
    float rx_mhz = static_cast<float>(static_cast<std::uint32_t>(rx)) / 1000000.0f;
    float tx_mhz = static_cast<float>(static_cast<std::uint32_t>(tx)) / 1000000.0f;
    float shift = static_cast<float>(static_cast<std::int32_t>(rx - tx)) / 1000000.0f;
    std::snprintf(t.rx, sizeof t.rx, "%-3.4f", static_cast<double>(rx_mhz));
    std::snprintf(t.tx, sizeof t.tx, "%-3.4f", static_cast<double>(tx_mhz));
    std::snprintf(t.shift, sizeof t.shift, "%1.1f", static_cast<double>(shift));
    return t;
}

peer_insert_result peer_table::insert(const sockaddr_in &address,
                                      std::span<const std::uint8_t> message, const char *time_text,
                                      peer_id_rule rule) {
    char key[30];
    peer_key(address, key);
    {
        std::lock_guard<std::mutex> guard(mutex_);
        for (std::size_t i = 0; i < slots_.size(); ++i) {
            peer_entry &e = slots_[i];
            if (e.used() && std::strcmp(e.MMDVM_INDEX, key) == 0) {
                // A refresh leaves the recorded configuration as it was.
                e.MMDVM_IP_PORT = address;
                e.MMDVM_TIMER = MMDVM_PEER_LIFE_SECONDS;
                char dotted[16] = {};
                inet_ntop(AF_INET, &address.sin_addr, dotted, sizeof dotted);
                copy_text(e.MMDVM_IP, dotted, sizeof e.MMDVM_IP);
                e.MMDVM_PORT = ntohs(address.sin_port);
                return {static_cast<int>(i), false};
            }
        }
    }
    // A pong only refreshes. Only a whole RPTC can fill a slot: anything
    // shorter would have its fields read from beyond the message.
    if (message.size() < link_msg::RPTC_LENGTH) {
        return {-1, false};
    }
    peer_entry recorded{};
    int slot = -1;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        for (std::size_t i = 0; i < slots_.size() && slot < 0; ++i) {
            peer_entry &e = slots_[i];
            if (e.used()) {
                continue;
            }
            fill(e, address, message, key, time_text, rule);
            recorded = e;
            slot = static_cast<int>(i);
        }
    }
    if (slot < 0) {
        return {-1, false};
    }
    // Printed after the lock is released: a slow log reader must not hold up
    // the voice thread's reads of the table.
    ferrule_log("%sINSERT NR.%i MMDVM INDEX:<%s> CALL:<%s> ID:<%i> RX-QRG:<%s> TX-QRG:<%s> "
                "IP:<%s> PORT:<%d>\n",
                time_text, slot, recorded.MMDVM_INDEX, recorded.MMDVM_Callsign,
                static_cast<int>(recorded.MMDVM_ID), recorded.MMDVM_RX_Freq, recorded.MMDVM_TX_Freq,
                recorded.MMDVM_IP, recorded.MMDVM_PORT);
    return {slot, true};
}

int peer_table::tick() {
    std::array<peer_entry, MMDVM_PEER_SLOTS> gone{};
    int freed = 0;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        for (peer_entry &e : slots_) {
            if (!e.used()) {
                continue;
            }
            if (e.MMDVM_TIMER > 0) {
                --e.MMDVM_TIMER;
            }
            if (e.MMDVM_TIMER <= 0) {
                gone[static_cast<std::size_t>(freed++)] = e;
                // The other fields keep their texts until the slot is recorded again.
                e.MMDVM_INDEX[0] = 0;
                e.MMDVM_TIMER = 0;
                e.MMDVM_ID = 0;
            }
        }
    }
    for (int i = 0; i < freed; ++i) {
        const peer_entry &e = gone[static_cast<std::size_t>(i)];
        ferrule_log("TIME OUT MMDV INDEX:<%s> CALL:<%s> ID:<%i> RX-QRG:<%s> TX-QRG:<%s>\n",
                    e.MMDVM_INDEX, e.MMDVM_Callsign, static_cast<int>(e.MMDVM_ID), e.MMDVM_RX_Freq,
                    e.MMDVM_TX_Freq);
    }
    return freed;
}

bool peer_table::remove(const sockaddr_in &address) {
    char key[30];
    peer_key(address, key);
    std::lock_guard<std::mutex> guard(mutex_);
    for (peer_entry &e : slots_) {
        if (e.used() && std::strcmp(e.MMDVM_INDEX, key) == 0) {
            e.MMDVM_INDEX[0] = 0;
            e.MMDVM_TIMER = 0;
            e.MMDVM_ID = 0;
            return true;
        }
    }
    return false;
}

peer_entry peer_table::snapshot(std::size_t slot) const {
    std::lock_guard<std::mutex> guard(mutex_);
    return slot < slots_.size() ? slots_[slot] : peer_entry{};
}

int peer_table::find(const char *key) const {
    std::lock_guard<std::mutex> guard(mutex_);
    for (std::size_t i = 0; i < slots_.size(); ++i) {
        if (slots_[i].used() && std::strncmp(slots_[i].MMDVM_INDEX, key, 30) == 0) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

void peer_table::reset() {
    std::lock_guard<std::mutex> guard(mutex_);
    slots_ = {};
}

void InsertMMDVM(sockaddr_in address, unsigned char *message, int length) {
    char time_text[30];
    asctime_text(std::time(nullptr), time_text);
    std::size_t n = length > 0 && message != nullptr ? static_cast<std::size_t>(length) : 0;
    MMDVM_peers.insert(address, {message, n}, time_text);
}

void link_timer_tick(peer_table &table, login_watch &watch, std::atomic<int> &login_state) {
    if (table.tick() > 0) {
        login_state.store(0);
    }
    if (login_state.load() != 1) {
        watch.seconds_in_key_sent = 0;
        return;
    }
    if (++watch.seconds_in_key_sent < MMDVM_PEER_LIFE_SECONDS) {
        return;
    }
    watch.seconds_in_key_sent = 0;
    // Only state 1 goes back: an RPTACK may just have moved the link on to 2.
    int expected = 1;
    if (login_state.compare_exchange_strong(expected, 0)) {
        ferrule_log(".....recv no RPTACK 1 for %i s  ---TIME OUT--- login state 0\n",
                    MMDVM_PEER_LIFE_SECONDS);
    }
}
