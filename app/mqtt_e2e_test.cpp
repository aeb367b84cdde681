// The MQTT client against Debian's broker (mosquitto) on a free loopback port,
// with the daemon between the simulated repeater and peer: what a dashboard
// subscribed to the topics sees, and what happens to the calls and to the
// daemon while the broker is away.
#include "testing/bridge_rig.h"
#include "testing/call_check.h"
#include "testing/http_client.h"
#include "testing/mqtt_broker.h"
#include "testing/test_support.h"
#include "testing/text_checks.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

using namespace ferrule_test;
using namespace std::chrono_literals;
using json = nlohmann::json;

namespace {

using namespace bridge_rig_defaults;

// What a watcher subscribing now is given at once: the retained messages.
std::string retained(const ScratchDir &dir, int port, const std::string &name) {
    std::vector<std::string> args = mqtt_subscriber_args(port, {"ft/state", "ft/status"});
    args.insert(args.end(), {"-C", "2", "-W", "3"});
    ChildProcess sub(FERRULE_MOSQUITTO_SUB, dir.path(), args, name);
    sub.wait_exit(5s);
    return sub.output();
}

json retained_status(const std::string &messages) {
    const std::size_t at = messages.find("ft/status ");
    return at == std::string::npos
               ? json()
               : json::parse(messages.substr(at + 10, messages.find('\n', at) - at - 10), nullptr,
                             false);
}

std::vector<json> call_objects(const std::string &messages) {
    std::vector<json> objects;
    std::istringstream in(messages);
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("ft/json ", 0) == 0) {
            objects.push_back(json::parse(line.substr(8), nullptr, false));
        }
    }
    return objects;
}

// One run: calls each way published exactly; the retained status and state;
// the broker stopped in the middle of calls and started again.
TEST(MqttEndToEnd, CallsStatusAndStateReachTheBrokerAndOutliveItsAbsence) {
    if (!mqtt_tools_installed()) {
        GTEST_SKIP() << "mosquitto and mosquitto_sub (Debian packages mosquitto, "
                        "mosquitto-clients) are not installed: the MQTT test is skipped";
    }
    CapturedLog conversions; // the checks' own conversions log the calls
    ScratchDir broker_dir;
    const int port = free_tcp_port();
    auto first = std::make_unique<mqtt_broker>(broker_dir, port, "broker1.txt");
    ChildProcess watcher(FERRULE_MOSQUITTO_SUB, broker_dir.path(),
                         mqtt_subscriber_args(port, {"ft/#"}), "watcher.txt");
    // A short call each way, then 3 s later a long one each way, during
    // which the broker goes away.
    bridge_rig rig({"--call", "ts=1,src=2621234,dst=262,superframes=2", "--call",
                    "ts=1,src=2621234,dst=262,superframes=20", "--call-gap-ms", "3000"},
                   {"--call", "ts=2,type=private,src=2627777,dst=2621234,superframes=2", "--call",
                    "ts=2,src=2627777,dst=9,superframes=20", "--call-gap-ms", "3000"},
                   90,
                   "MQTT_address=127.0.0.1\nMQTT_port=" + std::to_string(port) +
                       "\nMQTT_name=ft\nMQTT_keepalive=10\n");
    ASSERT_TRUE(rig.wait_for_login(30s)) << rig.daemon.output();
    ASSERT_TRUE(rig.daemon.wait_for_output("MQTT: connected to the broker at 127.0.0.1:", 10s))
        << rig.daemon.output();

    // A fresh watcher gets `online` and the status with the repeater.
    std::string fresh;
    for (int i = 0; i < 10; ++i) {
        fresh = retained(broker_dir, port, "fresh1.txt");
        const json s = retained_status(fresh);
        if (s.is_object() && !s["repeaters"].empty() && s["repeaters"][0]["identified"] == true) {
            break;
        }
        std::this_thread::sleep_for(300ms);
    }
    EXPECT_TRUE(contains(fresh, "ft/state online\n"));
    const json status = retained_status(fresh);
    ASSERT_TRUE(status.is_object()) << fresh;
    EXPECT_EQ(status["repeaters"][0]["dmr_id"], REPEATER_ID);
    EXPECT_EQ(status["mqtt_dropped"].is_number(), true);

    rig.release_peer_calls();
    rig.release_repeater_calls();
    // The short calls' frames (header, bursts, terminator), then the long
    // calls under way: the broker stops in their middle.
    ASSERT_TRUE(bridge_rig::wait_for_frames(rig.peer, "in", 1 + 12 + 1 + 20, 20s));
    ASSERT_TRUE(bridge_rig::wait_for_frames(rig.repeater, "in", 1 + 12 + 1 + 20, 20s));
    std::vector<json> before;
    for (int i = 0; i < 40 && before.size() < 6; ++i) {
        std::this_thread::sleep_for(50ms);
        before = call_objects(watcher.output());
    }
    const process_figures away_start = figures_of(rig.daemon.pid());
    EXPECT_EQ(first->stop(), 0);
    first.reset();

    // Repeater call then network call, start and end; the long calls' starts.
    const std::regex stamp(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z)");
    ASSERT_EQ(before.size(), 6U) << watcher.output();
    for (const json &o : before) {
        EXPECT_TRUE(std::regex_match(o["DMR"]["timestamp"].get<std::string>(), stamp)) << o;
    }
    const auto fields = [](json o) {
        o["DMR"].erase("timestamp");
        if (o["DMR"].contains("duration")) {
            EXPECT_GT(o["DMR"]["duration"].get<double>(), 0.5) << o;
            o["DMR"].erase("duration");
        }
        return o["DMR"];
    };
    const json rf = {{"source", "rf"},
                     {"slot", 2},
                     {"source_id", 2627777},
                     {"source_info", ""},
                     {"destination_id", 2621234},
                     {"destination_type", "individual"},
                     {"repeater", 0},
                     {"repeater_id", REPEATER_ID}};
    const json net = {{"source", "network"},   {"slot", 1},
                      {"source_id", 2621234},  {"source_info", ""},
                      {"destination_id", 262}, {"destination_type", "group"},
                      {"repeater", 0},         {"repeater_id", REPEATER_ID}};
    const auto with = [](json o, const json &more) {
        o.update(more);
        return o;
    };
    std::vector<json> seen;
    for (const json &o : before) {
        seen.push_back(fields(o));
    }
    const auto has = [&seen](const json &o) {
        return std::find(seen.begin(), seen.end(), o) != seen.end();
    };
    EXPECT_TRUE(has(with(rf, {{"action", "start"}})));
    EXPECT_TRUE(has(with(rf, {{"action", "end"}, {"ber", 0.0}})));
    EXPECT_TRUE(has(with(net, {{"action", "start"}})));
    EXPECT_TRUE(has(with(net, {{"action", "end"}, {"ber", 0.0}, {"loss", 0.0}})));

    // The broker away for 8 s while the long calls end.
    std::this_thread::sleep_for(8s);
    const process_figures away_end = figures_of(rig.daemon.pid());
    EXPECT_LE(away_end.rss_kib, away_start.rss_kib + 64) << "resident memory grew while away";
    // One line for the outage, however many tries.
    EXPECT_EQ(count_of(rig.daemon.output(), "MQTT: lost the broker at 127.0.0.1:"), 1U);
    std::printf("daemon resident memory: %ld KiB when the broker went, %ld KiB 8 s later\n",
                away_start.rss_kib, away_end.rss_kib);
    std::fflush(stdout); // before the next child inherits the buffer

    mqtt_broker second(broker_dir, port, "broker2.txt");
    const auto returned = std::chrono::steady_clock::now();
    bool back = false;
    while (!back && std::chrono::steady_clock::now() - returned < 30s) {
        back = count_of(rig.daemon.output(), "MQTT: connected to the broker") == 2;
        std::this_thread::sleep_for(100ms);
    }
    EXPECT_TRUE(back) << rig.daemon.output();
    const std::string again = retained(broker_dir, port, "fresh2.txt");
    EXPECT_TRUE(contains(again, "ft/state online\n"));
    const json republished = retained_status(again);
    ASSERT_TRUE(republished.is_object()) << again;
    EXPECT_GT(republished["mqtt_dropped"].get<long long>(), 0);

    // Every frame of all four calls arrived whole at both ends.
    const call_check::result up =
        call_check::to_network(sim::frame_lines(rig.repeater.output(), "out"),
                               sim::frame_lines(rig.peer.output(), "in"), REPEATER_ID, CALLSIGN);
    EXPECT_TRUE(up.faults.empty()) << up.faults_text();
    EXPECT_EQ(up.calls, 2U);
    const call_check::result down =
        call_check::to_repeater(sim::frame_lines(rig.peer.output(), "out"),
                                sim::frame_lines(rig.repeater.output(), "in"), FIRMWARE);
    EXPECT_TRUE(down.faults.empty()) << down.faults_text();
    EXPECT_EQ(down.calls, 2U);
    // The long calls' ends fell in the broker's absence: dropped, not sent late.
    EXPECT_EQ(call_objects(watcher.output()).size(), 6U) << watcher.output();
    const std::string metrics = http_get(rig.ports.status, "/metrics").body;
    EXPECT_TRUE(contains(metrics, "\nferrule_mqtt_messages_dropped_total "));

    // A clean stop leaves `offline` retained.
    EXPECT_EQ(rig.stop(), 0);
    EXPECT_TRUE(contains(retained(broker_dir, port, "fresh3.txt"), "ft/state offline\n"));
    const std::string log = watcher.output();
    EXPECT_TRUE(contains(log, "ft/log Repeater call to the network started: TS2, private call"));
    EXPECT_EQ(log.find('\033'), std::string::npos) << "colour sequences in the published log";
}

} // namespace
