#include "status/status_render.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <nlohmann/json.hpp>
#include <string_view>
#include <utility>
#include <vector>

namespace {

// Keys keep the order they are written in: the JSON is read by people too.
using json = nlohmann::ordered_json;

// Texts from the repeater arrive one byte per character (the low byte of each
// character it sent), so they are read as Latin-1: every byte is a character,
// and the result is valid UTF-8 whatever the repeater sent.
template <std::size_t N> std::string field_text(const char (&field)[N]) {
    const std::size_t n = strnlen(field, N);
    std::string out;
    out.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        const auto c = static_cast<unsigned char>(field[i]);
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

// The table's decimal texts ("%9i", "%-6.6i") as numbers; null when a field
// holds no number.
template <std::size_t N> json number_field(const char (&field)[N]) {
    char text[N + 1] = {};
    std::memcpy(text, field, strnlen(field, N));
    char *end = nullptr;
    errno = 0;
    const long long value = std::strtoll(text, &end, 10);
    if (end == text || errno != 0) {
        return nullptr;
    }
    while (*end == ' ') {
        ++end;
    }
    return *end == 0 ? json(value) : json(nullptr);
}

const char *direction_key(call_direction d) {
    return d == call_direction::to_network ? "repeater_to_network" : "network_to_repeater";
}

const char *end_key(call_end e) {
    switch (e) {
    case call_end::running:
        return "running";
    case call_end::terminator:
        return "terminator";
    case call_end::watchdog:
        return "watchdog";
    case call_end::busy:
        return "busy";
    }
    return "unknown";
}

json port_of(bool recorded, const sockaddr_in &a) {
    return recorded ? json(ntohs(a.sin_port)) : json(nullptr);
}

json repeater_json(std::size_t index, const repeater_entry &e) {
    // Until the identity query completes the identity fields hold placeholders
    // (ID 299199, firmware "A"), which are no one's identity.
    const bool identified = e.Hytera_RPT_RDAC_OK == 1;
    auto known = [identified](json v) { return identified ? std::move(v) : json(nullptr); };
    const int left = e.Hytera_RPT_Timer > 0 ? e.Hytera_RPT_Timer : 0;
    json r;
    r["index"] = index;
    r["address"] = field_text(e.Hytera_RPT_ip);
    r["control_port"] = port_of(e.Hytera_RPT_INDEX2 == 1, e.Hytera_RPT_ip_System);
    r["voice_port"] = port_of(e.Hytera_RPT_INDEX1 == 1, e.Hytera_RPT_ip_Audio);
    r["identified"] = identified;
    r["dmr_id"] = known(number_field(e.Hytera_RPT_DmrID));
    r["callsign"] = known(field_text(e.Hytera_RPT_Callsign));
    r["tx_frequency_hz"] = known(number_field(e.Hytera_RPT_TX_Frequency));
    r["rx_frequency_hz"] = known(number_field(e.Hytera_RPT_RX_Frequency));
    r["model"] = known(field_text(e.Hytera_RPT_Model));
    r["firmware"] = known(field_text(e.Hytera_RPT_Firmware));
    r["serial"] = known(field_text(e.Hytera_RPT_Serialnumme));
    r["seconds_since_heard"] = left < REPEATER_LIFE_SECONDS ? REPEATER_LIFE_SECONDS - left : 0;
    r["seconds_to_timeout"] = left;
    return r;
}

// Wall-clock seconds of a moment the link noted on the monotonic clock; null
// when it never happened.
json link_moment(std::int64_t at_ms, std::time_t now, std::int64_t now_ms) {
    if (at_ms < 0) {
        return nullptr;
    }
    return static_cast<std::int64_t>(now) - (now_ms - at_ms) / 1000;
}

bool uses_login_states(const status_link &l) {
    return !l.has_status || l.status.mode == link_mode::login;
}

bool link_up(const status_link &l) {
    return uses_login_states(l) ? l.login_state == 2 : l.status.state == link_state::up;
}

json link_json(const status_link &l, std::time_t now, std::int64_t now_ms) {
    json j;
    j["repeater_index"] = l.repeater_index;
    j["mode"] = l.has_status ? json(link_mode_name(l.status.mode)) : json(nullptr);
    j["peer_host"] = field_text(l.peer_host);
    j["peer_address"] =
        l.peer_address[0] != '\0' ? json(field_text(l.peer_address)) : json(nullptr);
    j["peer_port"] = l.peer_port;
    j["local_port"] = l.local_port;
    // The login mode's three states keep their words; the other modes say
    // where their own state machine stands.
    j["state"] =
        uses_login_states(l) ? link_state_words(l.login_state) : link_state_words(l.status.state);
    j["state_code"] = l.login_state;
    j["up"] = link_up(l);
    j["since"] = l.has_status ? link_moment(l.status.since_ms, now, now_ms) : json(nullptr);
    j["last_ping"] = l.has_status ? link_moment(l.status.last_ping_ms, now, now_ms) : json(nullptr);
    j["last_pong"] = l.has_status ? link_moment(l.status.last_pong_ms, now, now_ms) : json(nullptr);
    j["peer_id"] = l.peer_recorded ? json(l.peer.MMDVM_ID) : json(nullptr);
    j["link_id"] = l.has_status && l.status.id != 0 ? json(l.status.id) : json(nullptr);
    j["peer_seconds_to_timeout"] = l.peer_recorded ? json(l.peer.MMDVM_TIMER) : json(nullptr);
    j["refusals"] = l.has_status ? json(l.status.refusals) : json(nullptr);
    j["relogins"] = l.has_status ? json(l.status.relogins) : json(nullptr);
    return j;
}

// Percentages to two places: finer digits only suggest a precision the
// counts do not have.
json percent(double value) {
    return std::round(value * 100.0) / 100.0;
}

json text_or_null(const char *field, std::size_t size) {
    return field[0] != 0 ? json(std::string(field, strnlen(field, size))) : json(nullptr);
}

const char *const FIGURE_KEYS[] = {"source_callsign", "source_name", "talker_alias", "latitude",
                                   "longitude",       "bit_errors",  "bits_checked", "ber_percent",
                                   "frames",          "lost_frames", "loss_percent"};

// Who the call came from and how well it got through; null where nothing
// was heard or counted.
void figure_fields(json &j, const call_figures &f) {
    j["source_callsign"] = text_or_null(f.source_callsign, sizeof f.source_callsign);
    j["source_name"] = text_or_null(f.source_name, sizeof f.source_name);
    j["talker_alias"] = text_or_null(f.talker_alias, sizeof f.talker_alias);
    j["latitude"] = f.has_position ? json(f.latitude) : json(nullptr);
    j["longitude"] = f.has_position ? json(f.longitude) : json(nullptr);
    const bool checked = f.bits_checked > 0;
    j["bit_errors"] = checked ? json(f.bit_errors) : json(nullptr);
    j["bits_checked"] = checked ? json(f.bits_checked) : json(nullptr);
    j["ber_percent"] = checked ? percent(ber_percent(f)) : json(nullptr);
    j["frames"] = f.frames;
    j["lost_frames"] = f.lost_frames;
    j["loss_percent"] = f.frames + f.lost_frames > 0 ? percent(loss_percent(f)) : json(nullptr);
}

void call_fields(json &j, const call_info &c) {
    j["source"] = c.source;
    j["destination"] = c.destination;
    j["type"] = c.group ? "group" : "private";
    j["stream_id"] = c.stream_id;
    figure_fields(j, c.figures);
}

// How a network call got past the internet; repeater calls have no such figures.
void playout_fields(json &j, const call_info *c) {
    const bool shown = c != nullptr && c->direction == call_direction::to_repeater;
    j["late_frames"] = shown ? json(c->figures.late_frames) : json(nullptr);
    j["duplicate_frames"] = shown ? json(c->figures.duplicate_frames) : json(nullptr);
    j["silence_frames"] = shown ? json(c->figures.silence_frames) : json(nullptr);
}

json active_json(std::size_t index, const call_info &c, std::int64_t now_ms) {
    json j;
    j["repeater_index"] = index / 4;
    j["direction"] = direction_key(static_cast<call_direction>(index / 2 % 2));
    j["slot"] = index % 2 + 1;
    j["active"] = c.active;
    if (c.active) {
        call_fields(j, c);
        j["seconds_running"] = now_ms > c.started_ms ? (now_ms - c.started_ms) / 1000 : 0;
        playout_fields(j, &c);
    } else {
        playout_fields(j, nullptr);
        for (const char *k : {"source", "destination", "type", "stream_id", "seconds_running"}) {
            j[k] = nullptr;
        }
        for (const char *k : FIGURE_KEYS) {
            j[k] = nullptr;
        }
    }
    return j;
}

json heard_json(const call_info &c) {
    json j;
    j["repeater_index"] = c.repeater;
    j["direction"] = direction_key(c.direction);
    j["slot"] = (c.slot & 1U) + 1;
    call_fields(j, c);
    j["started"] = c.started;
    j["duration_ms"] = c.duration_ms;
    j["ended"] = end_key(c.how);
    playout_fields(j, &c);
    return j;
}

json counts_by_direction(const std::array<std::uint64_t, 2> &n) {
    json j;
    j[direction_key(call_direction::to_network)] = n[0];
    j[direction_key(call_direction::to_repeater)] = n[1];
    return j;
}

// Prometheus text format. A label value escapes backslash, double quote and
// line feed; nothing else needs it once the text is UTF-8.
std::string label_value(std::string_view utf8) {
    std::string out;
    out.reserve(utf8.size());
    for (char c : utf8) {
        switch (c) {
        case '\\':
            out += "\\\\";
            break;
        case '"':
            out += "\\\"";
            break;
        case '\n':
            out += "\\n";
            break;
        default:
            out += c;
        }
    }
    return out;
}

using labels = std::vector<std::pair<const char *, std::string>>;

class metrics_text {
  public:
    void family(const char *name, const char *type, const char *help) {
        out_ += "# HELP ";
        out_ += name;
        out_ += ' ';
        out_ += help;
        out_ += "\n# TYPE ";
        out_ += name;
        out_ += ' ';
        out_ += type;
        out_ += '\n';
    }
    void sample(const char *name, const labels &l, std::int64_t value) {
        sample_text(name, l, std::to_string(value));
    }
    void sample(const char *name, const labels &l, std::uint64_t value) {
        sample_text(name, l, std::to_string(value));
    }
    std::string take() { return std::move(out_); }

  private:
    void sample_text(const char *name, const labels &l, const std::string &value) {
        out_ += name;
        if (!l.empty()) {
            out_ += '{';
            for (std::size_t i = 0; i < l.size(); ++i) {
                out_ += i > 0 ? "," : "";
                out_ += l[i].first;
                out_ += "=\"";
                out_ += label_value(l[i].second);
                out_ += '"';
            }
            out_ += '}';
        }
        out_ += ' ';
        out_ += value;
        out_ += '\n';
    }
    std::string out_;
};

} // namespace

const char *link_state_words(int login_state) {
    switch (login_state) {
    case 0:
        return "not logged in";
    case 1:
        return "key sent";
    case 2:
        return "logged in";
    default:
        return "unknown";
    }
}

std::string render_status_json(const status_snapshot &s) {
    json j;
    j["version"] = s.version;
    j["time"] = s.now;
    j["uptime_seconds"] = s.uptime_seconds;
    json repeaters = json::array();
    for (std::size_t i = 0; i < s.repeaters.size(); ++i) {
        if (s.repeaters[i].used()) {
            repeaters.push_back(repeater_json(i, s.repeaters[i]));
        }
    }
    j["repeaters"] = std::move(repeaters);
    json links = json::array();
    for (const status_link &l : s.links) {
        links.push_back(link_json(l, s.now, s.now_ms));
    }
    j["links"] = std::move(links);
    json active = json::array();
    // Repeater index 0's four places always, idle or not; the other
    // repeaters' (master mode) only while a call runs there.
    for (std::size_t i = 0; i < s.calls.active.size(); ++i) {
        if (i < 4 || s.calls.active[i].active) {
            active.push_back(active_json(i, s.calls.active[i], s.now_ms));
        }
    }
    j["active_calls"] = std::move(active);
    json heard = json::array();
    for (std::size_t i = 0; i < s.calls.last_count && i < s.calls.last.size(); ++i) {
        heard.push_back(heard_json(s.calls.last[i]));
    }
    j["last_heard"] = std::move(heard);
    json dropped;
    for (std::size_t r = 0; r < DROP_REASONS; ++r) {
        dropped[drop_reason_name(static_cast<drop_reason>(r))] = s.dropped[r];
    }
    if (s.id_list_configured) {
        j["id_list"] = {{"file", s.id_list.file},
                        {"entries", s.id_list.entries},
                        {"skipped_lines", s.id_list.skipped_lines},
                        {"loaded", s.id_list.loaded != 0 ? json(s.id_list.loaded) : json(nullptr)}};
    } else {
        j["id_list"] = nullptr;
    }
    j["frames"] = {{"received", counts_by_direction(s.frames_in)},
                   {"sent", counts_by_direction(s.frames_out)},
                   {"dropped", std::move(dropped)}};
    if (s.mqtt_dropped >= 0) {
        j["mqtt_dropped"] = s.mqtt_dropped;
    }
    // Every text went through field_text, so this never meets invalid UTF-8;
    // should it, a replacement character beats an exception on the server.
    return j.dump(-1, ' ', false, json::error_handler_t::replace);
}

std::string render_metrics(const status_snapshot &s) {
    metrics_text m;
    m.family("ferrule_info", "gauge", "The running daemon's version.");
    m.sample("ferrule_info", {{"version", s.version}}, std::int64_t{1});
    m.family("ferrule_uptime_seconds", "gauge", "Seconds since the daemon started.");
    m.sample("ferrule_uptime_seconds", {}, s.uptime_seconds);

    std::int64_t in_use = 0;
    for (const repeater_entry &e : s.repeaters) {
        in_use += e.used() ? 1 : 0;
    }
    m.family("ferrule_repeaters", "gauge", "Repeater slots in use.");
    m.sample("ferrule_repeaters", {}, in_use);
    m.family("ferrule_repeater_identified", "gauge",
             "1 once the repeater answered the identity query, else 0.");
    for (std::size_t i = 0; i < s.repeaters.size(); ++i) {
        const repeater_entry &e = s.repeaters[i];
        if (!e.used()) {
            continue;
        }
        const bool identified = e.Hytera_RPT_RDAC_OK == 1;
        m.sample("ferrule_repeater_identified",
                 {{"index", std::to_string(i)},
                  {"address", field_text(e.Hytera_RPT_ip)},
                  {"dmr_id", identified ? field_text(e.Hytera_RPT_DmrID) : ""},
                  {"callsign", identified ? field_text(e.Hytera_RPT_Callsign) : ""}},
                 std::int64_t{identified ? 1 : 0});
    }
    m.family("ferrule_repeater_seconds_to_timeout", "gauge",
             "Seconds until the repeater is dropped unless it is heard again.");
    for (std::size_t i = 0; i < s.repeaters.size(); ++i) {
        const repeater_entry &e = s.repeaters[i];
        if (e.used()) {
            m.sample("ferrule_repeater_seconds_to_timeout",
                     {{"index", std::to_string(i)}, {"address", field_text(e.Hytera_RPT_ip)}},
                     std::int64_t{e.Hytera_RPT_Timer > 0 ? e.Hytera_RPT_Timer : 0});
        }
    }

    m.family("ferrule_link_state", "gauge",
             "Login state of the network link: 0 not logged in, 1 key sent, 2 logged in.");
    for (const status_link &l : s.links) {
        m.sample("ferrule_link_state", {{"repeater_index", std::to_string(l.repeater_index)}},
                 std::int64_t{l.login_state});
    }
    m.family("ferrule_link_up", "gauge", "1 while the network link is logged in, else 0.");
    for (const status_link &l : s.links) {
        m.sample("ferrule_link_up", {{"repeater_index", std::to_string(l.repeater_index)}},
                 std::int64_t{link_up(l) ? 1 : 0});
    }
    m.family("ferrule_link_refusals_total", "counter", "Refusals (RPTNAK, MSTNAK) from the peer.");
    for (const status_link &l : s.links) {
        m.sample("ferrule_link_refusals_total",
                 {{"repeater_index", std::to_string(l.repeater_index)}},
                 std::int64_t{l.has_status ? l.status.refusals : 0});
    }
    m.family("ferrule_link_relogins_total", "counter",
             "Logins started again after the link went down.");
    for (const status_link &l : s.links) {
        m.sample("ferrule_link_relogins_total",
                 {{"repeater_index", std::to_string(l.repeater_index)}},
                 std::int64_t{l.has_status ? l.status.relogins : 0});
    }

    m.family("ferrule_calls_active", "gauge",
             "Calls running on the time slot: 0 or 1 for each repeater, summed over them.");
    for (std::size_t i = 0; i < 4; ++i) {
        std::int64_t running = 0;
        for (std::size_t k = i; k < s.calls.active.size(); k += 4) {
            running += s.calls.active[k].active ? 1 : 0;
        }
        m.sample("ferrule_calls_active",
                 {{"direction", direction_key(static_cast<call_direction>(i / 2))},
                  {"slot", std::to_string(i % 2 + 1)}},
                 running);
    }
    m.family("ferrule_frames_received_total", "counter", "Voice frames received, by direction.");
    for (std::size_t d = 0; d < 2; ++d) {
        m.sample("ferrule_frames_received_total",
                 {{"direction", direction_key(static_cast<call_direction>(d))}}, s.frames_in[d]);
    }
    m.family("ferrule_frames_sent_total", "counter", "Voice frames sent on, by direction.");
    for (std::size_t d = 0; d < 2; ++d) {
        m.sample("ferrule_frames_sent_total",
                 {{"direction", direction_key(static_cast<call_direction>(d))}}, s.frames_out[d]);
    }
    m.family("ferrule_bit_errors_total", "counter",
             "Bit errors corrected in the AMBE+2 frames of voice bursts, by direction.");
    for (std::size_t d = 0; d < 2; ++d) {
        m.sample("ferrule_bit_errors_total",
                 {{"direction", direction_key(static_cast<call_direction>(d))}}, s.bit_errors[d]);
    }
    m.family("ferrule_bits_checked_total", "counter",
             "Bits of voice bursts checked for errors (141 a burst), by direction.");
    for (std::size_t d = 0; d < 2; ++d) {
        m.sample("ferrule_bits_checked_total",
                 {{"direction", direction_key(static_cast<call_direction>(d))}}, s.bits_checked[d]);
    }
    m.family("ferrule_frames_dropped_total", "counter", "Voice frames dropped, by reason.");
    for (std::size_t r = 0; r < DROP_REASONS; ++r) {
        m.sample("ferrule_frames_dropped_total",
                 {{"reason", drop_reason_name(static_cast<drop_reason>(r))}}, s.dropped[r]);
    }
    if (s.mqtt_dropped >= 0) {
        m.family("ferrule_mqtt_messages_dropped_total", "counter",
                 "MQTT messages dropped: broker away, or the client's ring full.");
        m.sample("ferrule_mqtt_messages_dropped_total", {}, s.mqtt_dropped);
    }
    return m.take();
}

namespace {

// The figures' texts are printable already; cut at the field's end.
template <std::size_t N> std::string text_of(const char (&field)[N]) {
    return std::string(field, strnlen(field, N));
}

// Percentages to a tenth, as MMDVMHost shows them.
double rounded(double percent) {
    return std::round(percent * 10.0) / 10.0;
}

} // namespace

std::string mqtt_timestamp(std::int64_t wall_ms) {
    const std::time_t seconds = wall_ms / 1000;
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char text[80];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900,
                  utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                  static_cast<int>(wall_ms % 1000));
    return text;
}

std::string render_call_event(const call_event &e, const repeater_entry &repeater) {
    static constexpr const char *ACTIONS[] = {"start", "late_entry", "end", "lost"};
    const call_info &c = e.call;
    const call_figures &f = c.figures;
    const bool text = e.kind == call_event_kind::text;
    const bool dmr = !text && e.kind != call_event_kind::gps;
    json d;
    d["timestamp"] = mqtt_timestamp(e.wall_ms);
    if (dmr) {
        d["source"] = c.direction == call_direction::to_network ? "rf" : "network";
        d["action"] = ACTIONS[static_cast<std::size_t>(e.kind) & 3U];
    } else {
        d["mode"] = "DMR";
    }
    d["slot"] = (c.slot & 1U) + 1;
    if (text) {
        d["value"] = text_of(f.talker_alias);
    } else {
        d["source_id"] = c.source;
    }
    if (dmr) {
        d["source_info"] = text_of(f.source_callsign);
        d["destination_id"] = c.destination;
        d["destination_type"] = c.group ? "group" : "individual";
    } else if (!text) {
        d["latitude"] = f.latitude;
        d["longitude"] = f.longitude;
    }
    if (e.kind == call_event_kind::end || e.kind == call_event_kind::lost) {
        d["duration"] = static_cast<double>(c.duration_ms) / 1000.0;
        d["ber"] = rounded(ber_percent(f));
        if (c.direction == call_direction::to_repeater) {
            d["loss"] = rounded(loss_percent(f));
        }
    }
    d["repeater"] = c.repeater;
    const json id =
        repeater.Hytera_RPT_RDAC_OK == 1 ? number_field(repeater.Hytera_RPT_DmrID) : json(nullptr);
    d["repeater_id"] = id.is_number() ? id : json(0);
    json j;
    j[dmr ? "DMR" : text ? "Text" : "GPS"] = std::move(d);
    return j.dump(-1, ' ', false, json::error_handler_t::replace);
}

std::string status_change_key(const status_snapshot &s) {
    std::string key;
    for (std::size_t i = 0; i < s.repeaters.size(); ++i) {
        const repeater_entry &e = s.repeaters[i];
        if (e.used()) {
            key += std::to_string(i) + (e.Hytera_RPT_RDAC_OK == 1 ? "i" : "r") +
                   std::string(e.Hytera_RPT_DmrID,
                               strnlen(e.Hytera_RPT_DmrID, sizeof e.Hytera_RPT_DmrID)) +
                   ';';
        }
    }
    for (const status_link &l : s.links) {
        key += 'L' + std::to_string(l.repeater_index) + ':' + std::to_string(l.login_state) + ':' +
               std::to_string(static_cast<int>(l.status.state)) + ':' +
               std::to_string(l.status.refusals) + ';';
    }
    return key;
}
