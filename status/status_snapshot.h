#pragma once
// What the status page shows, as one copy: each table is copied under its own
// lock and released at once, so rendering and writing to a slow client never
// hold a lock the voice or link threads take.

#include "hytera/repeater_table.h"
#include "ids/id_list.h"
#include "network/link_state.h"
#include "network/peer_table.h"
#include "voice/call_record.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <vector>

// One network link: the login and gateway modes have one, presented as
// repeater index 0; the master mode has one per repeater.
struct status_link {
    int repeater_index = 0;
    char peer_host[254] = {};   // the configured peer, an address or a host name
    char peer_address[16] = {}; // the address in use; empty while a name is not resolved
    int peer_port = 0;
    int local_port = 0; // the link's own port

    int login_state = 0;        // 0 not logged in, 1 key sent, 2 configuration sent
    bool peer_recorded = false; // the peer holds a slot in the peer table (master
                                // mode: the link's own record)
    peer_entry peer{};          // that slot, when recorded
    bool has_status = false;    // the link published its state (see link_state.h)
    link_status status{};       // times on the status_clock_ms clock
};

inline constexpr std::size_t DROP_REASONS = static_cast<std::size_t>(drop_reason::count_);

struct status_snapshot {
    const char *version = "";
    std::time_t now = 0;     // wall clock, for start times
    std::int64_t now_ms = 0; // the monotonic clock of call_info::started_ms
    std::int64_t uptime_seconds = 0;
    // Every slot, free ones included (used() tells), so indices stay the table's.
    std::array<repeater_entry, REPEATER_SLOTS> repeaters{};
    std::vector<status_link> links;
    call_record::view calls;
    std::array<std::uint64_t, 2> frames_in{};  // by call_direction
    std::array<std::uint64_t, 2> frames_out{}; // by call_direction
    std::array<std::uint64_t, DROP_REASONS> dropped{};
    std::array<std::uint64_t, 2> bit_errors{};   // by call_direction
    std::array<std::uint64_t, 2> bits_checked{}; // by call_direction
    bool id_list_configured = false;
    id_list_info id_list;
    // Messages the MQTT client dropped; -1 while it is off (the field is then
    // left out of the JSON and the metrics).
    std::int64_t mqtt_dropped = -1;
};

// Milliseconds of the monotonic clock the voice path stamps calls with.
std::int64_t status_clock_ms();

// Copies the daemon's tables, login state, call record and counters.
// `started_ms` is the daemon's start on the status_clock_ms clock.
status_snapshot gather_status(std::time_t now, std::int64_t now_ms, std::int64_t started_ms);
