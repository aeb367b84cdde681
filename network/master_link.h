#pragma once
// The link of one repeater to a master that checks its login (BrandMeister,
// FreeDMR, TGIF, HBlink and the like), as DMRGateway's network side logs in:
//
//   RPTL id                  -> RPTACK salt
//   RPTK id SHA-256(salt||password) -> RPTACK
//   RPTC id configuration    -> RPTACK
//   RPTO id options          -> RPTACK   (only when options are set)
//   then RPTPING id every 10 s, each answered by MSTPONG or RPTPONG.
//
// A step left unanswered for 10 s starts the login again; so does a minute
// without a pong. A refusal (MSTNAK) or a close (MSTCL) drops the link, and
// the next login waits 10 s so a refusing master is never flooded. The object
// holds everything of its link (repeater index, ID, timers, status, the
// master's record for the voice path) in fixed storage, so there is one per
// repeater index, each on a socket of its own: a master tells its repeaters
// apart by their address and port.

#include "network/login_digest.h"
#include "network/mode_link.h"

#include <cstddef>
#include <cstdint>

class master_link {
  public:
    static constexpr std::int64_t STEP_MS = 10000; // RPTL pace, answer wait, ping interval
    static constexpr std::int64_t PONG_TIMEOUT_MS = 60000;

    // `password` and `options` are copied, cut at their configured maximum.
    master_link(const sockaddr_in &peer, std::size_t repeater_index,
                const repeater_table &repeaters, const char *password, const char *options);

    link_output receive(std::span<const std::uint8_t> datagram, const sockaddr_in &from,
                        const link_clock &now);
    // Call often (at least every second): sends the login, the pings and
    // notices time-outs and a change of the repeater.
    link_output tick(const link_clock &now);
    // Clean stop: RPTCL when a login is under way or up. Nothing goes out
    // after it.
    link_output close(const link_clock &now);

    const link_status &status() const { return status_; }
    // Where the master is, for the logins to come: a host name may move. A
    // login under way or up keeps the address it began with, so all its
    // datagrams come from one place.
    void set_peer(const sockaddr_in &peer);
    const sockaddr_in &peer() const { return peer_; }
    // Neither logged in nor logging in: its next step is a login.
    bool between_logins() const;
    // The master as this link's voice goes to it, recorded under the
    // repeater's own ID; used() only while the link is up.
    const peer_entry &route() const { return route_; }

  private:
    void name_after_peer();
    bool logging_in() const;
    void enter(link_state state, const link_clock &now);
    // Leaves the login or the logged-in link for `state`; a logged-in link
    // leaves the peer table.
    void drop(link_state state, const link_clock &now);
    void send_with_id(link_output &out, const char *tag, std::size_t length) const;
    link_output on_ack(std::span<const std::uint8_t> datagram, const link_clock &now);
    link_output on_refusal(const char *what, const link_clock &now);
    link_output send_login(const link_clock &now);

    sockaddr_in peer_;
    // "master link to A:P" for index 0, as with one repeater; "master link N
    // to A:P" for index N, so each line says whose link it is.
    char name_[64];
    std::size_t index_;
    const repeater_table &repeaters_;
    char password_[PASSWORD_MAX + 1] = {};
    char options_[link_msg::OPTIONS_MAX + 1] = {};
    source_drop_log drops_;

    std::int32_t id_ = 0;
    bool login_tried_ = false;       // an RPTL went out before
    bool was_up_ = false;            // logged in at least once
    std::int64_t step_deadline_ = 0; // the pending step's answer is due
    std::int64_t next_login_ = 0;    // earliest time of the next RPTL
    std::int64_t next_ping_ = 0;
    std::int64_t pong_deadline_ = 0;
    link_status status_;
    peer_entry route_{};
};
