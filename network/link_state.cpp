#include "network/link_state.h"

#include <iterator>
#include <strings.h>

link_status_board MMDVM_link_status;

namespace {

constexpr const char *MODE_NAMES[] = {"login", "gateway", "master"};

} // namespace

bool parse_link_mode(const char *text, link_mode &mode) {
    for (std::size_t i = 0; i < std::size(MODE_NAMES); ++i) {
        if (text != nullptr && strcasecmp(text, MODE_NAMES[i]) == 0) {
            mode = static_cast<link_mode>(i);
            return true;
        }
    }
    return false;
}

const char *link_mode_name(link_mode mode) {
    const auto i = static_cast<std::size_t>(mode);
    return i < std::size(MODE_NAMES) ? MODE_NAMES[i] : "unknown";
}

const char *link_state_words(link_state state) {
    switch (state) {
    case link_state::waiting:
        return "waiting for an identified repeater";
    case link_state::idle:
        return "not logged in";
    case link_state::login_sent:
        return "login sent";
    case link_state::key_sent:
        return "key sent";
    case link_state::config_sent:
        return "configuration sent";
    case link_state::options_sent:
        return "options sent";
    case link_state::up:
        return "up";
    case link_state::silent:
        return "peer silent";
    case link_state::closed:
        return "closed";
    }
    return "unknown";
}
