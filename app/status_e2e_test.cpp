// The status page of the daemon running between the simulated repeater and the
// simulated peer on loopback: what it shows of the repeater, the link and the
// calls, read the way an operator's browser or a scraper reads it.
#include "testing/bridge_rig.h"
#include "testing/http_client.h"
#include "testing/test_support.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <optional>
#include <string>

using namespace ferrule_test;
using namespace std::chrono_literals;
using json = nlohmann::json;

namespace {

using namespace bridge_rig_defaults;

json status_of(const bridge_rig &rig) {
    const http_reply r = http_get(rig.ports.status, "/status.json");
    return r.status == 200 ? json::parse(r.body, nullptr, false) : json();
}

// Reads /status.json every `every` until `wanted` holds of it; the last copy
// read (null when the page never answered) either way.
template <class Wanted>
json poll_status(const bridge_rig &rig, Wanted wanted, std::chrono::milliseconds timeout,
                 std::chrono::milliseconds every = 100ms) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    json s;
    do {
        s = status_of(rig);
        if (s.is_object() && wanted(s)) {
            break;
        }
        std::this_thread::sleep_for(every);
    } while (std::chrono::steady_clock::now() < end);
    return s;
}

// The value of one series of /metrics, if it is there.
std::optional<long long> metric(const std::string &text, const std::string &series) {
    const std::size_t at = text.find("\n" + series + " ");
    if (at == std::string::npos) {
        return std::nullopt;
    }
    return std::stoll(text.substr(at + series.size() + 2));
}

// The shown entry holds these fields with these values.
bool holds(const json &shown, const json &fields) {
    json same;
    for (const auto &field : fields.items()) {
        same[field.key()] = shown.value(field.key(), json());
    }
    return same == fields;
}

bool repeater_and_link_ready(const json &s) {
    return !s["repeaters"].empty() && s["repeaters"][0]["identified"] == true &&
           !s["links"].empty() && s["links"][0]["up"] == true;
}

// The repeater identified and the link up; then a call from the network on
// TS1 and one from the repeater on TS2, each seen running and then in the
// last-heard list, and every frame counted.
TEST(StatusEndToEnd, ShowsTheRepeaterTheLinkAndCallsWhileRunningAndAfterwards) {
    bridge_rig rig({"--call", "ts=1,src=2621234,dst=262,superframes=8"},
                   {"--call", "ts=2,type=private,src=2627777,dst=2621234,superframes=8"}, 60);
    ASSERT_TRUE(rig.wait_for_login(30s)) << rig.daemon.output();
    EXPECT_TRUE(rig.daemon.wait_for_output(
        "Status page on http://127.0.0.1:" + std::to_string(rig.ports.status) + "/\n", 1s));

    const json s = poll_status(rig, repeater_and_link_ready, 10s);
    ASSERT_TRUE(s.is_object() && repeater_and_link_ready(s)) << s.dump(2);
    ASSERT_EQ(s["repeaters"].size(), 1U);
    const json &r = s["repeaters"][0];
    EXPECT_TRUE(holds(r, {{"index", 0},
                          {"address", "127.0.0.2"},
                          {"callsign", CALLSIGN},
                          {"dmr_id", REPEATER_ID},
                          {"firmware", FIRMWARE}}))
        << r.dump();
    EXPECT_TRUE(r["control_port"].is_number() && r["voice_port"].is_number()) << r.dump();
    EXPECT_LE(r["seconds_since_heard"].get<int>(), 35);
    const json &l = s["links"][0];
    EXPECT_TRUE(holds(
        l, {{"state", "logged in"}, {"peer_address", "127.0.0.1"}, {"peer_port", rig.ports.peer}}))
        << l.dump();
    EXPECT_TRUE(l["peer_id"].is_number());
    EXPECT_GE(s["uptime_seconds"].get<int>(), 0);

    std::string metrics = http_get(rig.ports.status, "/metrics").body;
    EXPECT_EQ(metric(metrics, "ferrule_repeaters"), 1);
    EXPECT_EQ(metric(metrics, "ferrule_link_up{repeater_index=\"0\"}"), 1);
    EXPECT_EQ(metric(metrics, std::string("ferrule_repeater_identified{index=\"0\",address=\"127."
                                          "0.0.2\",dmr_id=\"") +
                                  std::to_string(REPEATER_ID) + "\",callsign=\"" + CALLSIGN +
                                  "\"}"),
              1)
        << metrics;

    rig.release_peer_calls();
    rig.release_repeater_calls();

    // Each call lasts about 3 s: 48 bursts 60 ms apart.
    const json calls[] = {R"({"direction": "network_to_repeater", "slot": 1, "source": 2621234,
                              "destination": 262, "type": "group"})"_json,
                          R"({"direction": "repeater_to_network", "slot": 2, "source": 2627777,
                              "destination": 2621234, "type": "private"})"_json};
    bool running[2] = {false, false};
    poll_status(
        rig,
        [&](const json &s) {
            for (const json &a : s["active_calls"]) {
                for (std::size_t i = 0; i < 2; ++i) {
                    running[i] = running[i] || (a["active"] == true && holds(a, calls[i]) &&
                                                a["stream_id"].is_number());
                }
            }
            return running[0] && running[1];
        },
        15s);
    EXPECT_TRUE(running[0]) << "the network call never showed as running";
    EXPECT_TRUE(running[1]) << "the repeater call never showed as running";

    const std::size_t network_frames = 3 + 8 * 6 + 2;
    ASSERT_TRUE(bridge_rig::wait_for_frames(rig.peer, "in", 1 + 8 * 6 + 1, 15s));
    ASSERT_TRUE(bridge_rig::wait_for_frames(rig.repeater, "in", 1 + 8 * 6 + 1, 15s));
    ASSERT_TRUE(bridge_rig::wait_for_frames(rig.peer, "out", network_frames, 5s));
    const json after = poll_status(
        rig,
        [](const json &s) {
            for (const json &a : s["active_calls"]) {
                if (a["active"] == true) {
                    return false;
                }
            }
            return s["last_heard"].size() >= 2;
        },
        10s);
    ASSERT_TRUE(after.is_object() && after["last_heard"].size() == 2) << after.dump(2);
    for (const json &call : calls) {
        const json &h =
            holds(after["last_heard"][0], call) ? after["last_heard"][0] : after["last_heard"][1];
        EXPECT_TRUE(holds(h, call)) << call.dump() << " not in " << after["last_heard"].dump();
        EXPECT_EQ(h["ended"], "terminator") << h.dump();
        EXPECT_GT(h["duration_ms"].get<long long>(), 1000) << h.dump();
    }

    // Every frame the simulators saw go in and come out, counted by the
    // daemon. The network's second terminator may still be on its way: the
    // counts are read until they settle.
    const std::pair<std::string, std::size_t> counts[] = {
        {R"(ferrule_frames_received_total{direction="repeater_to_network"})",
         sim::frame_lines(rig.repeater.output(), "out").size()},
        {R"(ferrule_frames_sent_total{direction="repeater_to_network"})",
         sim::frame_lines(rig.peer.output(), "in").size()},
        {R"(ferrule_frames_received_total{direction="network_to_repeater"})", network_frames},
        {R"(ferrule_frames_sent_total{direction="network_to_repeater"})",
         sim::frame_lines(rig.repeater.output(), "in").size()}};
    for (int attempt = 0; attempt < 50; ++attempt) {
        metrics = http_get(rig.ports.status, "/metrics").body;
        bool settled = true;
        for (const auto &[series, n] : counts) {
            settled = settled && metric(metrics, series) == static_cast<long long>(n);
        }
        if (settled) {
            break;
        }
        std::this_thread::sleep_for(100ms);
    }
    for (const auto &[series, n] : counts) {
        EXPECT_EQ(metric(metrics, series), static_cast<long long>(n)) << series;
    }

    EXPECT_EQ(rig.stop(), 0);
}

} // namespace
