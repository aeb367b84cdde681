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

std::vector<std::string> keys(const json &object) {
    std::vector<std::string> k;
    for (const auto &item : object.items()) {
        k.push_back(item.key());
    }
    return k;
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
    set(link.peer_address, "127.0.0.1");
    link.peer_port = 62031;
    link.login_state = 2;
    link.peer_recorded = true;
    link.peer.MMDVM_ID = 2345;
    link.peer.MMDVM_TIMER = 33;
    s.links.push_back(link);

    call_info running;
    running.active = true;
    running.direction = call_direction::to_network;
    running.slot = 1;
    running.source = 2627777;
    running.destination = 9;
    running.stream_id = 0xDEADBEEF;
    running.started_ms = s.now_ms - 2500;
    s.calls.active[1] = running;
    call_info ended = running;
    ended.active = false;
    ended.direction = call_direction::to_repeater;
    ended.slot = 0;
    ended.group = false;
    ended.started = s.now - 10;
    ended.duration_ms = 1234;
    ended.how = call_end::terminator;
    s.calls.last[0] = ended;
    ended.how = call_end::busy;
    s.calls.last[1] = ended;
    s.calls.last_count = 2;

    s.frames_in = {100, 20};
    s.frames_out = {99, 19};
    s.dropped[static_cast<std::size_t>(drop_reason::busy_slot)] = 3;
    return s;
}

TEST(StatusJson, EmptyTablesGiveEmptyListsAndIdleSlots) {
    const json j = json::parse(render_status_json(empty_snapshot()));
    EXPECT_EQ(keys(j),
              (std::vector<std::string>{"active_calls", "frames", "last_heard", "links",
                                        "repeaters", "time", "uptime_seconds", "version"}));
    EXPECT_EQ(j["version"], "ferrule 0.0.1");
    EXPECT_EQ(j["uptime_seconds"], 42);
    EXPECT_EQ(j["repeaters"], json::array());
    EXPECT_EQ(j["links"], json::array());
    EXPECT_EQ(j["last_heard"], json::array());
    ASSERT_EQ(j["active_calls"].size(), 4U);
    const char *directions[] = {"repeater_to_network", "repeater_to_network", "network_to_repeater",
                                "network_to_repeater"};
    for (std::size_t i = 0; i < 4; ++i) {
        const json &c = j["active_calls"][i];
        EXPECT_EQ(c["direction"], directions[i]);
        EXPECT_EQ(c["slot"], i % 2 + 1);
        EXPECT_EQ(c["active"], false);
        EXPECT_TRUE(c["source"].is_null() && c["seconds_running"].is_null());
    }
    EXPECT_EQ(j["frames"]["received"]["repeater_to_network"], 0);
    EXPECT_EQ(keys(j["frames"]["dropped"]),
              (std::vector<std::string>{"busy_slot", "call_type", "invalid", "no_destination",
                                        "not_registered"}));
}

TEST(StatusJson, RepeatersShowIdentityOnlyOnceIdentified) {
    const json j = json::parse(render_status_json(busy_snapshot()));
    ASSERT_EQ(j["repeaters"].size(), 2U);
    const json &r = j["repeaters"][0];
    EXPECT_EQ(keys(r), (std::vector<std::string>{
                           "address", "callsign", "control_port", "dmr_id", "firmware",
                           "identified", "index", "model", "rx_frequency_hz", "seconds_since_heard",
                           "seconds_to_timeout", "serial", "tx_frequency_hz", "voice_port"}));
    EXPECT_EQ(r["index"], 0);
    EXPECT_EQ(r["address"], "192.0.2.7");
    EXPECT_EQ(r["control_port"], 50001);
    EXPECT_TRUE(r["voice_port"].is_null());
    EXPECT_EQ(r["identified"], true);
    EXPECT_EQ(r["dmr_id"], 311234);
    // Latin-1 0xE4 is U+00E4; the rest comes back exactly as sent.
    EXPECT_EQ(r["callsign"], "D\"B0<\\>\x01\xC3\xA4\n");
    EXPECT_EQ(r["tx_frequency_hz"], 439125000);
    EXPECT_EQ(r["rx_frequency_hz"], 431525000);
    EXPECT_EQ(r["firmware"], "A8.05.07.001");
    EXPECT_EQ(r["seconds_since_heard"], 5);
    EXPECT_EQ(r["seconds_to_timeout"], 30);

    const json &q = j["repeaters"][1];
    EXPECT_EQ(q["index"], 3);
    EXPECT_EQ(q["voice_port"], 50002);
    EXPECT_EQ(q["identified"], false);
    for (const char *k : {"dmr_id", "callsign", "tx_frequency_hz", "model", "firmware", "serial"}) {
        EXPECT_TRUE(q[k].is_null()) << k;
    }
    EXPECT_EQ(q["seconds_since_heard"], 0);
}

TEST(StatusJson, RepeaterTextIsEscapedNotPassedThrough) {
    const std::string text = render_status_json(busy_snapshot());
    EXPECT_NE(text.find(R"("callsign":"D\"B0<\\>\u0001ä\n")"), std::string::npos) << text;
    // A byte that is not UTF-8 never reaches the client.
    EXPECT_EQ(text.find('\xE4'), std::string::npos);
}

TEST(StatusJson, LinkAndCalls) {
    const json j = json::parse(render_status_json(busy_snapshot()));
    ASSERT_EQ(j["links"].size(), 1U);
    const json &l = j["links"][0];
    EXPECT_EQ(keys(l), (std::vector<std::string>{"last_ping", "last_pong", "mode", "peer_address",
                                                 "peer_id", "peer_port", "peer_seconds_to_timeout",
                                                 "refusals", "relogins", "repeater_index", "since",
                                                 "state", "state_code", "up"}));
    EXPECT_EQ(l["peer_address"], "127.0.0.1");
    EXPECT_EQ(l["peer_port"], 62031);
    EXPECT_EQ(l["state"], "logged in");
    EXPECT_EQ(l["up"], true);
    EXPECT_EQ(l["peer_id"], 2345);
    EXPECT_EQ(l["peer_seconds_to_timeout"], 33);

    const json &running = j["active_calls"][1];
    EXPECT_EQ(running["direction"], "repeater_to_network");
    EXPECT_EQ(running["slot"], 2);
    EXPECT_EQ(running["active"], true);
    EXPECT_EQ(running["source"], 2627777);
    EXPECT_EQ(running["destination"], 9);
    EXPECT_EQ(running["type"], "group");
    EXPECT_EQ(running["stream_id"], 0xDEADBEEFU);
    EXPECT_EQ(running["seconds_running"], 2);

    ASSERT_EQ(j["last_heard"].size(), 2U);
    const json &h = j["last_heard"][0];
    EXPECT_EQ(keys(h),
              (std::vector<std::string>{"destination", "direction", "duration_ms", "ended", "slot",
                                        "source", "started", "stream_id", "type"}));
    EXPECT_EQ(h["direction"], "network_to_repeater");
    EXPECT_EQ(h["slot"], 1);
    EXPECT_EQ(h["type"], "private");
    EXPECT_EQ(h["started"], 1700000000 - 10);
    EXPECT_EQ(h["duration_ms"], 1234);
    EXPECT_EQ(h["ended"], "terminator");
    EXPECT_EQ(j["last_heard"][1]["ended"], "busy");

    EXPECT_EQ(j["frames"]["received"]["network_to_repeater"], 20);
    EXPECT_EQ(j["frames"]["sent"]["repeater_to_network"], 99);
    EXPECT_EQ(j["frames"]["dropped"]["busy_slot"], 3);
}

TEST(StatusJson, LinkStatesInWords) {
    status_snapshot s = empty_snapshot();
    s.links.resize(1);
    const struct {
        int state;
        const char *words;
        bool up;
    } cases[] = {{0, "not logged in", false}, {1, "key sent", false}, {2, "logged in", true}};
    for (const auto &c : cases) {
        s.links[0].login_state = c.state;
        const json l = json::parse(render_status_json(s))["links"][0];
        EXPECT_EQ(l["state"], c.words);
        EXPECT_EQ(l["state_code"], c.state);
        EXPECT_EQ(l["up"], c.up);
        EXPECT_TRUE(l["peer_id"].is_null());
    }
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

TEST(StatusMetrics, EmptyTables) {
    const std::string text = render_metrics(empty_snapshot());
    expect_valid_exposition(text);
    EXPECT_NE(text.find("\nferrule_repeaters 0\n"), std::string::npos);
    EXPECT_NE(text.find("\nferrule_uptime_seconds 42\n"), std::string::npos);
    EXPECT_NE(text.find("ferrule_info{version=\"ferrule 0.0.1\"} 1\n"), std::string::npos);
    EXPECT_EQ(text.find("ferrule_repeater_identified{"), std::string::npos);
    EXPECT_NE(text.find("ferrule_calls_active{direction=\"network_to_repeater\",slot=\"2\"} 0\n"),
              std::string::npos);
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
        "ferrule_repeaters 2",
        identified,
        unidentified,
        R"(ferrule_repeater_seconds_to_timeout{index="0",address="192.0.2.7"} 30)",
        R"(ferrule_link_state{repeater_index="0"} 2)",
        R"(ferrule_link_up{repeater_index="0"} 1)",
        R"(ferrule_calls_active{direction="repeater_to_network",slot="2"} 1)",
        R"(ferrule_frames_received_total{direction="repeater_to_network"} 100)",
        R"(ferrule_frames_sent_total{direction="network_to_repeater"} 19)",
        R"(ferrule_frames_dropped_total{reason="busy_slot"} 3)",
    };
    for (const std::string &line : lines) {
        EXPECT_NE(text.find("\n" + line + "\n"), std::string::npos) << line << "\nin\n" << text;
    }
}

} // namespace
