#include "status/status_render.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstring>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

using json = nlohmann::json;

namespace {

template <std::size_t N> void set(char (&field)[N], const char *text) {
    std::strncpy(field, text, N - 1);
}

status_snapshot empty_snapshot() {
    status_snapshot s;
    s.version = "ferrule 0.0.1";
    s.now = 1700000000;
    s.now_ms = 5000000;
    s.uptime_seconds = 42;
    return s;
}

// A repeater whose identity texts hold what JSON and label values must escape,
// and a Latin-1 byte a repeater may send.
constexpr const char *AWKWARD_CALLSIGN = "D\"B0<\\>\x01\xE4\n";

status_snapshot busy_snapshot() {
    status_snapshot s = empty_snapshot();
    repeater_entry &r = s.repeaters[0];
    set(r.Hytera_RPT_ip, "192.0.2.7");
    r.Hytera_RPT_INDEX2 = 1;
    r.Hytera_RPT_ip_System.sin_port = htons(50001);
    r.Hytera_RPT_Timer = 30;
    set(r.Hytera_RPT_DmrID, "311234");
    set(r.Hytera_RPT_Callsign, AWKWARD_CALLSIGN);
    set(r.Hytera_RPT_TX_Frequency, "439125000");
    set(r.Hytera_RPT_RX_Frequency, "431525000");
    set(r.Hytera_RPT_Model, "RD985");
    set(r.Hytera_RPT_Firmware, "A8.05.07.001");
    set(r.Hytera_RPT_Serialnumme, "SN1");
    r.Hytera_RPT_RDAC_OK = 1;
    // Registered on the voice port, identity query not done: placeholders.
    repeater_entry &q = s.repeaters[3];
    set(q.Hytera_RPT_ip, "192.0.2.9");
    q.Hytera_RPT_INDEX1 = 1;
    q.Hytera_RPT_ip_Audio.sin_port = htons(50002);
    q.Hytera_RPT_Timer = REPEATER_LIFE_SECONDS;
    set(q.Hytera_RPT_DmrID, REPEATER_UNKNOWN_ID);
    set(q.Hytera_RPT_Firmware, "A");

    status_link link;
    set(link.peer_host, "master.example.net");
    set(link.peer_address, "127.0.0.1");
    link.peer_port = 62031;
    link.local_port = 62032;
    link.login_state = 2;
    link.peer_recorded = true;
    link.peer.MMDVM_ID = 2345;
    link.peer.MMDVM_TIMER = 33;
    s.links.push_back(link);
    // A master link, as the other modes publish their state: its moments are
    // on the monotonic clock and show as wall-clock seconds.
    status_link master = link;
    master.repeater_index = 1;
    master.local_port = 62033;
    master.peer_recorded = false;
    master.has_status = true;
    master.status.mode = link_mode::master;
    master.status.state = link_state::key_sent;
    master.status.since_ms = s.now_ms - 4000;
    master.status.last_ping_ms = -1;
    master.status.last_pong_ms = s.now_ms - 61000;
    master.status.id = 311234;
    master.status.refusals = 2;
    master.status.relogins = 1;
    s.links.push_back(master);

    call_info running;
    running.active = true;
    running.direction = call_direction::to_network;
    running.slot = 1;
    running.source = 2627777;
    running.destination = 9;
    running.stream_id = 0xDEADBEEF;
    running.started_ms = s.now_ms - 2500;
    s.calls.active[1] = running;
    // Repeater index 1 (master mode) talks on TS2 at the same time.
    call_info second = running;
    second.repeater = 1;
    second.stream_id = 0x01020304;
    s.calls.active[4 + 1] = second;
    call_info ended = running;
    ended.active = false;
    ended.direction = call_direction::to_repeater;
    ended.slot = 0;
    ended.group = false;
    ended.started = s.now - 10;
    ended.duration_ms = 1234;
    ended.how = call_end::terminator;
    ended.figures.late_frames = 1;
    ended.figures.duplicate_frames = 2;
    ended.figures.silence_frames = 3;
    s.calls.last[0] = ended;
    ended.figures = {};
    ended.how = call_end::busy;
    s.calls.last[1] = ended;
    s.calls.last_count = 2;

    s.frames_in = {100, 20};
    s.frames_out = {99, 19};
    s.dropped[static_cast<std::size_t>(drop_reason::busy_slot)] = 3;
    return s;
}

// The figures of a call that has none yet (or, idle, of no call).
json with_figures(json call, bool idle = false) {
    const json none = R"({"source_callsign": null, "source_name": null, "talker_alias": null,
        "latitude": null, "longitude": null, "bit_errors": null, "bits_checked": null,
        "ber_percent": null, "frames": 0, "lost_frames": 0, "loss_percent": null})"_json;
    call.update(none);
    if (idle) {
        call["frames"] = nullptr;
        call["lost_frames"] = nullptr;
    }
    return call;
}

json idle(const char *direction, int slot) {
    return with_figures({{"repeater_index", 0},
                         {"direction", direction},
                         {"slot", slot},
                         {"active", false},
                         {"source", nullptr},
                         {"destination", nullptr},
                         {"type", nullptr},
                         {"stream_id", nullptr},
                         {"seconds_running", nullptr},
                         {"late_frames", nullptr},
                         {"duplicate_frames", nullptr},
                         {"silence_frames", nullptr}},
                        true);
}

TEST(StatusJson, EmptyTablesGiveEmptyListsAndIdleSlots) {
    const json expected = {
        {"version", "ferrule 0.0.1"},
        {"time", 1700000000},
        {"uptime_seconds", 42},
        {"repeaters", json::array()},
        {"links", json::array()},
        {"active_calls",
         {idle("repeater_to_network", 1), idle("repeater_to_network", 2),
          idle("network_to_repeater", 1), idle("network_to_repeater", 2)}},
        {"last_heard", json::array()},
        {"id_list", nullptr},
        {"frames", R"({"received": {"repeater_to_network": 0, "network_to_repeater": 0},
                       "sent": {"repeater_to_network": 0, "network_to_repeater": 0},
                       "dropped": {"not_registered": 0, "call_type": 0, "busy_slot": 0,
                                   "invalid": 0, "no_destination": 0}})"_json}};
    EXPECT_EQ(json::parse(render_status_json(empty_snapshot())), expected);
}

// Field names and values of every section, compared whole; the awkward call
// sign parses only if it was escaped and its Latin-1 byte made UTF-8.
TEST(StatusJson, EveryFieldOfRepeatersLinkAndCalls) {
    const json j = json::parse(render_status_json(busy_snapshot()));
    EXPECT_EQ(j["repeaters"], R"([
        {"index": 0, "address": "192.0.2.7", "control_port": 50001, "voice_port": null,
         "identified": true, "dmr_id": 311234, "callsign": "D\"B0<\\>\u0001ä\n",
         "tx_frequency_hz": 439125000, "rx_frequency_hz": 431525000, "model": "RD985",
         "firmware": "A8.05.07.001", "serial": "SN1", "seconds_since_heard": 5,
         "seconds_to_timeout": 30},
        {"index": 3, "address": "192.0.2.9", "control_port": null, "voice_port": 50002,
         "identified": false, "dmr_id": null, "callsign": null, "tx_frequency_hz": null,
         "rx_frequency_hz": null, "model": null, "firmware": null, "serial": null,
         "seconds_since_heard": 0, "seconds_to_timeout": 35}])"_json);
    EXPECT_EQ(j["links"], R"([
        {"repeater_index": 0, "mode": null, "peer_host": "master.example.net",
         "peer_address": "127.0.0.1", "peer_port": 62031,
         "local_port": 62032, "state": "logged in", "state_code": 2, "up": true, "since": null, "last_ping": null,
         "last_pong": null, "peer_id": 2345, "link_id": null, "peer_seconds_to_timeout": 33,
         "refusals": null, "relogins": null},
        {"repeater_index": 1, "mode": "master", "peer_host": "master.example.net",
         "peer_address": "127.0.0.1", "peer_port": 62031,
         "local_port": 62033, "state": "key sent", "state_code": 2, "up": false, "since": 1699999996,
         "last_ping": null, "last_pong": 1699999939, "peer_id": null, "link_id": 311234,
         "peer_seconds_to_timeout": null, "refusals": 2, "relogins": 1}])"_json);
    EXPECT_EQ(j["active_calls"][1], with_figures(R"(
        {"repeater_index": 0, "direction": "repeater_to_network", "slot": 2, "active": true,
         "source": 2627777, "destination": 9, "type": "group", "stream_id": 3735928559,
         "seconds_running": 2, "late_frames": null, "duplicate_frames": null,
         "silence_frames": null})"_json));
    // Repeater index 0's four places, then only what runs on the others.
    ASSERT_EQ(j["active_calls"].size(), 5U);
    EXPECT_EQ(j["active_calls"][4]["repeater_index"], 1);
    EXPECT_EQ(j["active_calls"][4]["slot"], 2);
    EXPECT_EQ(j["active_calls"][4]["stream_id"], 0x01020304);
    EXPECT_EQ(j["last_heard"][0], with_figures(R"(
        {"repeater_index": 0, "direction": "network_to_repeater", "slot": 1, "source": 2627777,
         "destination": 9, "type": "private", "stream_id": 3735928559, "started": 1699999990,
         "duration_ms": 1234, "ended": "terminator", "late_frames": 1, "duplicate_frames": 2,
         "silence_frames": 3})"_json));
    EXPECT_EQ(j["last_heard"][1], with_figures(R"(
        {"repeater_index": 0, "direction": "network_to_repeater", "slot": 1, "source": 2627777,
         "destination": 9,
         "type": "private", "stream_id": 3735928559, "started": 1699999990,
         "duration_ms": 1234, "ended": "busy", "late_frames": 0, "duplicate_frames": 0,
         "silence_frames": 0})"_json));
    EXPECT_EQ(j["last_heard"].size(), 2U);
    EXPECT_EQ(j["frames"]["received"]["network_to_repeater"], 20);
    EXPECT_EQ(j["frames"]["sent"]["repeater_to_network"], 99);
    EXPECT_EQ(j["frames"]["dropped"]["busy_slot"], 3);
}

// Every line is a comment or a sample the Prometheus text format accepts,
// and every sample's family was announced before it.
void expect_valid_exposition(const std::string &text) {
    static const std::regex sample(
        R"(([a-zA-Z_:][a-zA-Z0-9_:]*)(\{[a-zA-Z_][a-zA-Z0-9_]*="([^"\\\n]|\\[\\"n])*")"
        R"((,[a-zA-Z_][a-zA-Z0-9_]*="([^"\\\n]|\\[\\"n])*")*\})? -?[0-9]+)");
    static const std::regex type(R"(# TYPE ([a-zA-Z_:][a-zA-Z0-9_:]*) (gauge|counter))");
    std::istringstream lines(text);
    std::string line, family;
    while (std::getline(lines, line)) {
        std::smatch m;
        if (std::regex_match(line, m, type)) {
            family = m[1];
        } else if (line.rfind("# HELP ", 0) != 0) {
            ASSERT_TRUE(std::regex_match(line, m, sample)) << line;
            EXPECT_EQ(m[1], family) << line;
        }
    }
    EXPECT_EQ(text.back(), '\n');
}

TEST(StatusMetrics, CountersStatesAndEscapedLabels) {
    const std::string text = render_metrics(busy_snapshot());
    expect_valid_exposition(text);
    // The awkward call sign, with its quote, backslash and line feed escaped.
    const std::string identified =
        R"(ferrule_repeater_identified{index="0",address="192.0.2.7",dmr_id="311234",)"
        R"(callsign="D\"B0<\\>)"
        "\x01\xC3\xA4"
        R"(\n"} 1)";
    const std::string unidentified =
        R"(ferrule_repeater_identified{index="3",address="192.0.2.9",dmr_id="",callsign=""} 0)";
    const std::vector<std::string> lines = {
        R"(ferrule_info{version="ferrule 0.0.1"} 1)",
        "ferrule_uptime_seconds 42",
        "ferrule_repeaters 2",
        identified,
        unidentified,
        R"(ferrule_repeater_seconds_to_timeout{index="0",address="192.0.2.7"} 30)",
        R"(ferrule_link_state{repeater_index="0"} 2)",
        R"(ferrule_link_up{repeater_index="0"} 1)",
        R"(ferrule_calls_active{direction="repeater_to_network",slot="2"} 2)",
        R"(ferrule_calls_active{direction="network_to_repeater",slot="2"} 0)",
        R"(ferrule_frames_received_total{direction="repeater_to_network"} 100)",
        R"(ferrule_frames_sent_total{direction="network_to_repeater"} 19)",
        R"(ferrule_frames_dropped_total{reason="busy_slot"} 3)",
    };
    for (const std::string &line : lines) {
        EXPECT_NE(text.find("\n" + line + "\n"), std::string::npos) << line << "\nin\n" << text;
    }
}

// A call's figures and the ID list, with what each shows when empty.
TEST(StatusJson, CallFiguresAndIdList) {
    status_snapshot s = busy_snapshot();
    call_figures &f = s.calls.last[0].figures;
    f = {};
    std::strcpy(f.source_callsign, "DL1ABC");
    std::strcpy(f.source_name, "J\xc3\xbcrgen");
    std::strcpy(f.talker_alias, "DL1ABC Hans");
    f.has_position = true;
    f.latitude = 52.5;
    f.longitude = -13.25;
    f.frames = 35;
    f.lost_frames = 1;
    f.bit_errors = 20;
    f.bits_checked = 35 * 141;
    s.id_list_configured = true;
    s.id_list = {"/etc/DMRIds.dat", 300000, 2, 1700000000};
    s.bit_errors = {20, 3};
    s.bits_checked = {4935, 141};
    const json j = json::parse(render_status_json(s));
    EXPECT_EQ(j["last_heard"][0], json::parse(R"(
        {"repeater_index": 0, "direction": "network_to_repeater", "slot": 1, "source": 2627777,
         "destination": 9, "type": "private", "stream_id": 3735928559, "started": 1699999990,
         "duration_ms": 1234, "ended": "terminator", "source_callsign": "DL1ABC",
         "source_name": "J\u00fcrgen", "talker_alias": "DL1ABC Hans", "latitude": 52.5,
         "longitude": -13.25, "bit_errors": 20, "bits_checked": 4935, "ber_percent": 0.41,
         "frames": 35, "lost_frames": 1, "loss_percent": 2.78, "late_frames": 0,
         "duplicate_frames": 0, "silence_frames": 0})"));
    EXPECT_EQ(j["id_list"], R"({"file": "/etc/DMRIds.dat", "entries": 300000,
                               "skipped_lines": 2, "loaded": 1700000000})"_json);
    s.id_list.loaded = 0;
    EXPECT_EQ(json::parse(render_status_json(s))["id_list"]["loaded"], nullptr);
    const std::string metrics = render_metrics(s);
    expect_valid_exposition(metrics);
    for (const char *line :
         {R"(ferrule_bit_errors_total{direction="repeater_to_network"} 20)",
          R"(ferrule_bits_checked_total{direction="network_to_repeater"} 141)"}) {
        EXPECT_NE(metrics.find(line), std::string::npos) << line;
    }
}

} // namespace
