#include "network/master_links.h"

#include "core/log.h"

#include <algorithm>

master_links::master_links(const sockaddr_in &peer, const repeater_table &repeaters,
                           const char *password, const char *options)
    : repeaters_(repeaters) {
    for (std::size_t i = 0; i < links_.size(); ++i) {
        links_[i].emplace(peer, i, repeaters, password, options);
    }
}

bool master_links::id_served_elsewhere(std::size_t index, std::uint32_t id) const {
    for (std::size_t i = 0; i < links_.size(); ++i) {
        const link_status &s = links_[i]->status();
        if (i != index && s.id == id && s.state != link_state::waiting &&
            s.state != link_state::closed) {
            return true;
        }
    }
    return false;
}

link_output master_links::receive(std::size_t index, std::span<const std::uint8_t> datagram,
                                  const sockaddr_in &from, const link_clock &now) {
    return index < links_.size() ? links_[index]->receive(datagram, from, now) : link_output{};
}

link_output master_links::tick(std::size_t index, const link_clock &now) {
    if (index >= links_.size()) {
        return {};
    }
    master_link &l = *links_[index];
    if (l.status().state == link_state::waiting) {
        const link_repeater r = link_repeater_of(repeaters_.snapshot(index));
        const auto id = static_cast<std::uint32_t>(r.id);
        if (r.announced && id_served_elsewhere(index, id)) {
            if (held_id_[index] != id) {
                held_id_[index] = id;
                ferrule_log("master link %zu: repeater %u has the ID another link already "
                            "serves, its link waits\n",
                            index, id);
            }
            return {};
        }
        held_id_[index] = 0;
    }
    return l.tick(now);
}

void master_links::set_peer(const sockaddr_in &peer) {
    for (std::optional<master_link> &l : links_) {
        l->set_peer(peer);
    }
}

bool master_links::any_between_logins() const {
    return std::ranges::any_of(links_, [](const std::optional<master_link> &l) {
        return l->status().state != link_state::waiting &&
               l->status().state != link_state::closed && l->between_logins();
    });
}

link_output master_links::close(std::size_t index, const link_clock &now) {
    return index < links_.size() ? links_[index]->close(now) : link_output{};
}
