#pragma once
// What kind of peer the link talks to, and the links' states as others may
// show them. Each link's own thread keeps its state; readers get whole copies.

#include "network/peer_table.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <mutex>

enum class link_mode : std::uint8_t {
    login,   // the login that DMRGateway releases before August 2020 answered
    gateway, // the repeater side of a current DMRGateway: DMRC, DMRP, DMRD
    master,  // a master that checks the login: salt, SHA-256 key, pings
};

// Accepts "login", "gateway" and "master" in any case.
bool parse_link_mode(const char *text, link_mode &mode);
const char *link_mode_name(link_mode mode);

enum class link_state : std::uint8_t {
    waiting,      // no identified repeater in the link's index yet
    idle,         // not logged in; the next login goes out at its time
    login_sent,   // RPTL sent
    key_sent,     // RPTK sent
    config_sent,  // RPTC sent
    options_sent, // RPTO sent
    up,           // logged in (master, login) or the gateway answers (gateway)
    silent,       // gateway: no DMRP for a minute; voice still goes out
    closed,       // stopped for good, RPTCL sent
};
const char *link_state_words(link_state state);

// Times are the link clock's milliseconds (steady, not wall time); -1 is never.
struct link_status {
    link_mode mode = link_mode::login;
    char peer[24] = {}; // "address:port"
    link_state state = link_state::waiting;
    std::int64_t since_ms = 0;
    std::int64_t last_ping_ms = -1; // RPTPING or DMRC sent
    std::int64_t last_pong_ms = -1; // pong or DMRP received
    // The acknowledge value in the login mode, the repeater ID in the others.
    std::uint32_t id = 0;
    std::uint32_t refusals = 0; // RPTNAK or MSTNAK received
    std::uint32_t relogins = 0; // logins started again after the link went down

    bool operator==(const link_status &) const = default;
};

// Every repeater index has a place for a link of its own; the login and
// gateway modes use index 0 alone.
inline constexpr std::size_t LINK_SLOTS = 50;

// One link as the status page shows it and the voice path uses it.
struct link_view {
    bool published = false;
    link_status status;
    // The master mode's link: the master as voice goes to it under this
    // link's own ID; used() while the link is up.
    peer_entry route{};
};

class link_status_board {
  public:
    link_status copy(std::size_t index = 0) const {
        std::lock_guard<std::mutex> guard(mutex_);
        return index < LINK_SLOTS ? links_[index].status : link_status{};
    }
    link_view view(std::size_t index) const {
        std::lock_guard<std::mutex> guard(mutex_);
        return index < LINK_SLOTS ? links_[index] : link_view{};
    }
    void publish(const link_status &status, std::size_t index = 0) {
        std::lock_guard<std::mutex> guard(mutex_);
        if (index < LINK_SLOTS) {
            links_[index].published = true;
            links_[index].status = status;
        }
    }
    void publish(const link_status &status, const peer_entry &route, std::size_t index) {
        std::lock_guard<std::mutex> guard(mutex_);
        if (index < LINK_SLOTS) {
            links_[index] = {true, status, route};
        }
    }
    // For writers on several threads (the login mode): a change of index 0
    // made under the lock. `f` must not log or send.
    template <class F> void update(F f) {
        std::lock_guard<std::mutex> guard(mutex_);
        links_[0].published = true;
        f(links_[0].status);
    }
    void reset() {
        std::lock_guard<std::mutex> guard(mutex_);
        links_ = {};
    }

  private:
    mutable std::mutex mutex_;
    std::array<link_view, LINK_SLOTS> links_{};
};

// The daemon's links.
extern link_status_board MMDVM_link_status;
