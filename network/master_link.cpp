#include "network/master_link.h"

#include "core/log.h"
#include "core/text.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string_view>

namespace {

enum class master_tag : std::uint8_t { none, ack, refusal, close, pong, dmrd };

struct master_rule {
    master_tag kind;
    std::string_view text;
    std::size_t min_length;
};

// Masters differ in what follows a tag, so only the tag is required, except
// where bytes behind it are read: the salt is checked where it is taken.
constexpr master_rule RULES[] = {
    {master_tag::ack, "RPTACK", 6},
    {master_tag::refusal, "MSTNAK", 6},
    {master_tag::refusal, "RPTNAK", 6},
    {master_tag::close, "MSTCL", 5},
    {master_tag::pong, "MSTPONG", 7},
    {master_tag::pong, "RPTPONG", 7},
    {master_tag::dmrd, "DMRD", link_msg::DMRD_MIN},
};

master_tag classify_master(std::span<const std::uint8_t> d) {
    for (const master_rule &r : RULES) {
        if (d.size() >= r.text.size() && std::memcmp(d.data(), r.text.data(), r.text.size()) == 0) {
            return d.size() >= r.min_length ? r.kind : master_tag::none;
        }
    }
    return master_tag::none;
}

const char *awaited_answer_to(link_state state) {
    switch (state) {
    case link_state::login_sent:
        return "the login request";
    case link_state::key_sent:
        return "the key";
    case link_state::config_sent:
        return "the configuration";
    case link_state::options_sent:
        return "the options";
    default:
        return "nothing";
    }
}

// Where a refusal came, and what the operator can do about it.
const char *refusal_context(link_state state) {
    switch (state) {
    case link_state::login_sent:
        return "after the login request (is the repeater ID allowed?)";
    case link_state::key_sent:
        return "after the key (check DMRGateway_password)";
    case link_state::config_sent:
        return "after the configuration";
    case link_state::options_sent:
        return "after the options (check DMRGateway_options)";
    default:
        return "while logged in";
    }
}

} // namespace

master_link::master_link(const sockaddr_in &peer, std::size_t repeater_index,
                         const repeater_table &repeaters, const char *password, const char *options)
    : peer_(peer), name_{}, index_(repeater_index), repeaters_(repeaters) {
    name_after_peer();
    copy_text(password_, password != nullptr ? password : "", PASSWORD_MAX);
    copy_text(options_, options != nullptr ? options : "", link_msg::OPTIONS_MAX);
    status_.mode = link_mode::master;
}

void master_link::name_after_peer() {
    char peer_text[24];
    endpoint_text(peer_, peer_text);
    if (index_ == 0) {
        std::snprintf(name_, sizeof name_, "master link to %s", peer_text);
    } else {
        std::snprintf(name_, sizeof name_, "master link %zu to %s", index_, peer_text);
    }
    copy_text(status_.peer, peer_text, sizeof status_.peer);
}

void master_link::set_peer(const sockaddr_in &peer) {
    if (between_logins() && !same_endpoint(peer, peer_)) {
        peer_ = peer;
        name_after_peer();
    }
}

bool master_link::between_logins() const {
    return !logging_in() && status_.state != link_state::up;
}

bool master_link::logging_in() const {
    switch (status_.state) {
    case link_state::login_sent:
    case link_state::key_sent:
    case link_state::config_sent:
    case link_state::options_sent:
        return true;
    default:
        return false;
    }
}

void master_link::enter(link_state state, const link_clock &now) {
    status_.state = state;
    status_.since_ms = now.ms;
}

void master_link::drop(link_state state, const link_clock &now) {
    if (status_.state == link_state::up) {
        // No voice for a master that no longer has the repeater logged in.
        route_ = peer_entry{};
    }
    enter(state, now);
}

void master_link::send_with_id(link_output &out, const char *tag, std::size_t length) const {
    const std::size_t n = std::strlen(tag);
    std::memcpy(out.bytes.data(), tag, n);
    link_msg::put_u32(out.bytes.data() + n, static_cast<std::uint32_t>(id_));
    out.length = length;
}

link_output master_link::send_login(const link_clock &now) {
    link_output out;
    send_with_id(out, "RPTL", link_msg::RPTL_LENGTH);
    if (login_tried_) {
        ++status_.relogins;
    }
    login_tried_ = true;
    enter(link_state::login_sent, now);
    step_deadline_ = now.ms + STEP_MS;
    next_login_ = now.ms + STEP_MS;
    ferrule_log("%s: logging in repeater %d (RPTL)\n", name_, id_);
    return out;
}

link_output master_link::tick(const link_clock &now) {
    link_output out;
    if (status_.state == link_state::closed) {
        return out;
    }
    const link_repeater r = link_repeater_of(repeaters_.snapshot(index_));
    if (status_.state != link_state::waiting && (!r.announced || r.id != id_)) {
        // The repeater this link speaks for left its index, or another took it.
        if (logging_in() || status_.state == link_state::up) {
            send_with_id(out, "RPTCL", link_msg::RPTCL_LENGTH);
            ferrule_log("%s: repeater %d is gone, its link closed (RPTCL)\n", name_, id_);
        } else {
            ferrule_log("%s: repeater %d is gone\n", name_, id_);
        }
        drop(link_state::waiting, now);
        return out;
    }
    if (status_.state == link_state::waiting) {
        if (!r.announced) {
            return out;
        }
        id_ = r.id;
        status_.id = static_cast<std::uint32_t>(id_);
        enter(link_state::idle, now);
    }
    if (logging_in() && now.ms >= step_deadline_) {
        ferrule_log("%s: no answer to %s within %lld s, logging in again\n", name_,
                    awaited_answer_to(status_.state), static_cast<long long>(STEP_MS / 1000));
        drop(link_state::idle, now);
    } else if (status_.state == link_state::up) {
        if (now.ms >= pong_deadline_) {
            ferrule_log("%s: no pong for %lld s, link dropped, logging in again\n", name_,
                        static_cast<long long>(PONG_TIMEOUT_MS / 1000));
            drop(link_state::idle, now);
        } else if (now.ms >= next_ping_) {
            send_with_id(out, "RPTPING", link_msg::RPTPING_LENGTH);
            next_ping_ = now.ms + STEP_MS;
            status_.last_ping_ms = now.ms;
            return out;
        }
    }
    if (status_.state == link_state::idle && now.ms >= next_login_) {
        return send_login(now);
    }
    return out;
}

link_output master_link::on_ack(std::span<const std::uint8_t> d, const link_clock &now) {
    link_output out;
    switch (status_.state) {
    case link_state::login_sent: {
        // Without the salt there is no key to give; the step then times out.
        if (d.size() < link_msg::ACK_MESSAGE_MIN) {
            return out;
        }
        const std::array<std::uint8_t, 4> salt = link_msg::ack_bytes(d);
        std::array<std::uint8_t, link_msg::DIGEST_LENGTH> digest{};
        if (!login_digest(salt, password_, digest)) {
            ferrule_log("%s: cannot compute the key, next login in %lld s\n", name_,
                        static_cast<long long>(STEP_MS / 1000));
            drop(link_state::idle, now);
            return out;
        }
        link_msg::build_rptk(id_, digest, std::span(out.bytes).first<link_msg::RPTK_LENGTH>());
        out.length = link_msg::RPTK_LENGTH;
        enter(link_state::key_sent, now);
        ferrule_log("%s: salt received, sending the key (RPTK)\n", name_);
        break;
    }
    case link_state::key_sent: {
        std::array<std::uint8_t, 4> id_bytes{};
        link_msg::put_u32(id_bytes.data(), static_cast<std::uint32_t>(id_));
        link_msg::build_rptc(id_bytes, station_source_from(repeaters_.snapshot(index_)),
                             std::span(out.bytes).first<link_msg::RPTC_LENGTH>(),
                             station_identity_from_settings());
        out.length = link_msg::RPTC_LENGTH;
        enter(link_state::config_sent, now);
        ferrule_log("%s: key accepted, sending the configuration (RPTC)\n", name_);
        break;
    }
    case link_state::config_sent:
        if (options_[0] != 0) {
            out.length = link_msg::build_rpto(
                id_, options_, std::span(out.bytes).first<link_msg::RPTO_MAX_LENGTH>());
            enter(link_state::options_sent, now);
            ferrule_log("%s: configuration accepted, sending the options (RPTO)\n", name_);
            break;
        }
        [[fallthrough]];
    case link_state::options_sent:
        ferrule_log("%s: repeater %d logged in%s\n", name_, id_, was_up_ ? " again" : "");
        route_ = link_peer_record(peer_, id_, repeaters_.snapshot(index_), now.time_text);
        enter(link_state::up, now);
        was_up_ = true;
        next_ping_ = now.ms + STEP_MS;
        pong_deadline_ = now.ms + PONG_TIMEOUT_MS;
        return out;
    default:
        // A late or repeated acknowledgement: nothing is waiting for it.
        return out;
    }
    step_deadline_ = now.ms + STEP_MS;
    return out;
}

link_output master_link::on_refusal(const char *what, const link_clock &now) {
    if (!logging_in() && status_.state != link_state::up) {
        // Nothing of ours was refused: masters answer our own RPTCL so.
        next_login_ = std::max(next_login_, now.ms + STEP_MS);
        return {};
    }
    ++status_.refusals;
    ferrule_log("%s: refused (%s) %s, next login in %lld s\n", name_, what,
                refusal_context(status_.state), static_cast<long long>(STEP_MS / 1000));
    drop(link_state::idle, now);
    next_login_ = std::max(next_login_, now.ms + STEP_MS);
    return {};
}

link_output master_link::receive(std::span<const std::uint8_t> datagram, const sockaddr_in &from,
                                 const link_clock &now) {
    link_output out;
    if (!from_link_peer(from, peer_, link_mode::master, drops_, now.ms) ||
        status_.state == link_state::closed) {
        return out;
    }
    switch (classify_master(datagram)) {
    case master_tag::ack:
        return on_ack(datagram, now);
    case master_tag::refusal:
        return on_refusal(datagram[0] == 'M' ? "MSTNAK" : "RPTNAK", now);
    case master_tag::close:
        ferrule_log("%s: the master closed the link (MSTCL), next login in %lld s\n", name_,
                    static_cast<long long>(STEP_MS / 1000));
        if (logging_in() || status_.state == link_state::up) {
            drop(link_state::idle, now);
        }
        next_login_ = std::max(next_login_, now.ms + STEP_MS);
        break;
    case master_tag::pong:
        if (status_.state == link_state::up) {
            pong_deadline_ = now.ms + PONG_TIMEOUT_MS;
            status_.last_pong_ms = now.ms;
        }
        break;
    case master_tag::dmrd:
        out.hand_on_dmrd = true;
        break;
    case master_tag::none:
        break;
    }
    return out;
}

link_output master_link::close(const link_clock &now) {
    link_output out;
    if (logging_in() || status_.state == link_state::up) {
        send_with_id(out, "RPTCL", link_msg::RPTCL_LENGTH);
        ferrule_log("%s: stopping, link of repeater %d closed (RPTCL)\n", name_, id_);
    }
    drop(link_state::closed, now);
    return out;
}
