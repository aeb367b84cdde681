#pragma once
// Link to the network peer: the login (RPTL, RPTACK, RPTK, RPTACK, RPTC,
// RPTACK), the keep-alive (RPTPING answered by a pong) and the hand-over of
// network voice. The reaction to a datagram is a plain function over bytes,
// sender and state; the link thread only receives, reacts and sends.

#include "hytera/repeater_table.h"
#include "network/link_state.h"
#include "network/messages.h"
#include "network/peer_table.h"

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <netinet/in.h>
#include <span>

// Link login state per repeater entry; entry 0 is the link's own state:
// 0 not logged in, 1 key sent, 2 configuration sent.
extern std::atomic<int> Hytera_RPT_MMDVM_LOGIN[50];

inline constexpr std::size_t LINK_RECEIVE_BUFFER = 324;

// The configured peer, DMRGateway_address:DMRGateway_port. A host name gives
// the address it last resolved to, INADDR_NONE until it resolved.
sockaddr_in link_peer_address();
// True when DMRGateway_address is a host name, not a dotted address.
bool link_peer_is_name();
// The address the name resolved to, for link_peer_address() from now on.
void link_peer_resolved(in_addr address);

bool same_endpoint(const sockaddr_in &a, const sockaddr_in &b);

// Remembers which foreign senders were logged lately, so a flood from
// anywhere cannot fill the log: each source is logged at most once a minute,
// and while the memory is full of sources logged within the minute, new ones
// are dropped without a line.
class source_drop_log {
  public:
    static constexpr std::size_t CAPACITY = 16;
    static constexpr std::int64_t INTERVAL_SECONDS = 60;
    bool should_log(const sockaddr_in &source, std::int64_t now_seconds);

  private:
    struct entry {
        std::uint32_t address;
        std::uint16_t port;
        std::int64_t logged_at;
        bool used;
    };
    std::array<entry, CAPACITY> entries_{};
};

struct link_context {
    sockaddr_in peer; // only datagrams from here are acted on
    std::atomic<int> &login_state;
    peer_table &peers;
    const repeater_table &repeaters; // index 0 goes into the RPTC
    source_drop_log &drops;
    // The link thread sets both clock fields at each datagram received.
    std::int64_t now_seconds = 0; // any monotonic clock
    char time_text[30] = {};      // asctime text, for a new peer record
};

struct link_reaction {
    link_msg::tag kind = link_msg::tag::none; // none also for a dropped datagram
    bool from_peer = false;
    std::size_t reply_length = 0; // 0: nothing to send
    sockaddr_in reply_to{};
    std::array<std::uint8_t, link_msg::RPTC_LENGTH> reply{};
    bool hand_on_dmrd = false;
};

// The link's reaction to one received datagram: state change, reply, peer
// table update and log lines. Reads no byte beyond the datagram.
link_reaction link_react(std::span<const std::uint8_t> datagram, const sockaddr_in &from,
                         link_context &ctx);

// The RPTC's sources besides the acknowledge value: repeater index 0 and the
// station description of the configuration.
link_msg::rptc_source rptc_source_from(const repeater_entry &slot0);

// What the gateway and master modes send of a repeater: its frequencies in
// the peer's own order (RX the one the repeater receives on), and the
// description, height and software ID of the configuration.
link_msg::rptc_source station_source_from(const repeater_entry &entry);
link_msg::station_identity station_identity_from_settings();

// The keep-alive datagram for one repeater entry: none (length 0) unless the
// entry is announced (address and completed identity query); RPTL, with its
// log line, while its login state is 0, else RPTPING.
struct keepalive_datagram {
    std::size_t length = 0;
    std::array<std::uint8_t, link_msg::RPTPING_LENGTH> bytes{};
};
keepalive_datagram keepalive_for(const repeater_entry &entry, int login_state);

// The login mode's part of the link status, after a received datagram of
// kind `received` (none after a timer tick) left the login state at
// `login_state`: state and since when, acknowledge value, refusals, pongs,
// and a relogin when a logged-in link fell back to 0.
void login_status_note(link_status &s, link_msg::tag received,
                       std::span<const std::uint8_t> datagram, int login_state,
                       std::int64_t now_ms);
