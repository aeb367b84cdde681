#include "hytera/repeater_table.h"

#include "core/clock.h"
#include "core/log.h"
#include "core/text.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cstdio>
#include <cstring>

repeater_table Hytera_RPT;

const std::array<std::uint8_t, 12> start12{0x7E, 0x04, 0x00, 0xFE, 0x20, 0x10,
                                           0x00, 0x00, 0x00, 0x0C, 0x60, 0xE1};
const std::array<std::uint8_t, 24> start24{0x7E, 0x04, 0x00, 0x00, 0x20, 0x10, 0x00, 0x01,
                                           0x00, 0x18, 0x9B, 0x60, 0x02, 0x04, 0x00, 0x05,
                                           0x00, 0x64, 0x00, 0x00, 0x00, 0x01, 0xC4, 0x03};

namespace {

int lowest_match(const std::array<repeater_entry, REPEATER_SLOTS> &slots, const char *text) {
    for (std::size_t i = 0; i < slots.size(); ++i) {
        if (slots[i].used() &&
            std::strncmp(slots[i].Hytera_RPT_ip, text, sizeof slots[i].Hytera_RPT_ip) == 0) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

// A recorded port address is never replaced while the repeater stays
// registered, even when later datagrams come from another source port.
void record_port(repeater_entry &e, int port_kind, const sockaddr_in &source) {
    if (port_kind == PORT_KIND_VOICE && e.Hytera_RPT_INDEX1 != 1) {
        e.Hytera_RPT_ip_Audio = source;
        e.Hytera_RPT_INDEX1 = 1;
    }
    if (port_kind == PORT_KIND_CONTROL && e.Hytera_RPT_INDEX2 != 1) {
        e.Hytera_RPT_ip_System = source;
        e.Hytera_RPT_INDEX2 = 1;
    }
    if (port_kind == PORT_KIND_RDAC && e.Hytera_RPT_INDEX3 != 1) {
        e.Hytera_RPT_ip_Rdac = source;
        e.Hytera_RPT_INDEX3 = 1;
    }
}

bool has_free_slot(const std::array<repeater_entry, REPEATER_SLOTS> &slots) {
    return std::any_of(slots.begin(), slots.end(),
                       [](const repeater_entry &e) { return !e.used(); });
}

} // namespace

insert_result repeater_table::insert(int port_kind, const sockaddr_in &source,
                                     const char *address_text, std::uint16_t rdac_port,
                                     std::time_t now, outbox &box) {
    if (std::strncmp(address_text, "0.0.0.0", 7) == 0) {
        ferrule_log("InsertHytera_RPT IP ERROR\n");
        return {-1, false};
    }
    int index = -1;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        int found = lowest_match(slots_, address_text);
        if (found >= 0) {
            repeater_entry &e = slots_[static_cast<std::size_t>(found)];
            e.Hytera_RPT_Timer = REPEATER_LIFE_SECONDS;
            record_port(e, port_kind, source);
            return {found, false};
        }
        for (std::size_t i = 0; i < slots_.size() && index < 0; ++i) {
            if (!slots_[i].used()) {
                index = static_cast<int>(i);
            }
        }
        if (index >= 0) {
            repeater_entry &e = slots_[static_cast<std::size_t>(index)];
            record_port(e, port_kind, source);
            e.Hytera_RPT_Firmware[0] = 'A';
            e.Hytera_RPT_Timer = REPEATER_LIFE_SECONDS;
            e.Hytera_RPT_RDAC_OK = 0;
            copy_text(e.Hytera_RPT_ip, address_text, sizeof e.Hytera_RPT_ip - 1);
            copy_text(e.Hytera_RPT_DmrID, REPEATER_UNKNOWN_ID, sizeof e.Hytera_RPT_DmrID - 1);
        }
    }
    if (index < 0) {
        log_refusal(address_text, now);
        return {-1, false};
    }
    char when[32];
    asctime_text(now, when);
    ferrule_log_unlimited("%sHytera_RPT Login ip %s INDEX:%d with number %d \n", when, address_text,
                          port_kind, index);
    sockaddr_in to = ipv4_destination(source.sin_addr, rdac_port);
    box.add(socket_kind::rdac, to, start12);
    box.add(socket_kind::rdac, to, start24);
    return {index, true};
}

void repeater_table::log_refusal(const char *address_text, std::time_t now) {
    rate_decision d;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        d = full_lines_.admit(0, 0, static_cast<std::int64_t>(now) * 1000);
    }
    if (!d.pass) {
        return;
    }
    char since[64] = "";
    if (d.held > 0) {
        std::snprintf(since, sizeof since, " (%llu more refused since the last line)",
                      static_cast<unsigned long long>(d.held));
    }
    ferrule_log("Repeater table full, all %zu slots in use: %s refused and not answered%s\n",
                REPEATER_SLOTS, address_text, since);
}

bool repeater_table::refuses(const char *address_text, std::time_t now) {
    bool refused = false;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        refused = lowest_match(slots_, address_text) < 0 && !has_free_slot(slots_);
    }
    if (refused) {
        log_refusal(address_text, now);
    }
    return refused;
}

int repeater_table::find_voice_source(const sockaddr_in &source) const {
    std::lock_guard<std::mutex> guard(mutex_);
    for (std::size_t i = 0; i < slots_.size(); ++i) {
        const repeater_entry &e = slots_[i];
        if (e.used() && e.Hytera_RPT_INDEX1 == 1 &&
            e.Hytera_RPT_ip_Audio.sin_addr.s_addr == source.sin_addr.s_addr &&
            e.Hytera_RPT_ip_Audio.sin_port == source.sin_port) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

rdac_source repeater_table::check_rdac_source(const char *address_text, const sockaddr_in &source,
                                              std::uint16_t &recorded_port) {
    std::lock_guard<std::mutex> guard(mutex_);
    const int index = lowest_match(slots_, address_text);
    if (index < 0) {
        return rdac_source::unknown;
    }
    repeater_entry &e = slots_[static_cast<std::size_t>(index)];
    record_port(e, PORT_KIND_RDAC, source);
    recorded_port = ntohs(e.Hytera_RPT_ip_Rdac.sin_port);
    return e.Hytera_RPT_ip_Rdac.sin_port == source.sin_port ? rdac_source::repeater
                                                            : rdac_source::other_port;
}

int repeater_table::find(const char *address_text) const {
    std::lock_guard<std::mutex> guard(mutex_);
    return lowest_match(slots_, address_text);
}

repeater_entry repeater_table::snapshot(std::size_t index) const {
    std::lock_guard<std::mutex> guard(mutex_);
    return index < slots_.size() ? slots_[index] : repeater_entry{};
}

void repeater_table::reset() {
    std::lock_guard<std::mutex> guard(mutex_);
    slots_ = {};
}

int Find_Hytera_Repeater_Index(const char *addressText) {
    int index = Hytera_RPT.find(addressText);
    return index < 0 ? REPEATER_LOOKUP_FALLBACK : index;
}

void address_text(const sockaddr_in &address, char (&text)[16]) {
    if (inet_ntop(AF_INET, &address.sin_addr, text, sizeof text) == nullptr) {
        text[0] = 0;
    }
}
