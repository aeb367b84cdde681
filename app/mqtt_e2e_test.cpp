// The MQTT client against Debian's broker (mosquitto) on a free loopback port,
// with the daemon between the simulated repeater and peer: what a dashboard
// subscribed to the topics sees, and what happens to the calls and to the
// daemon while the broker is away.
#include "testing/bridge_rig.h"
#include "testing/call_check.h"
#include "testing/http_client.h"
#include "testing/mqtt_broker.h"
#include "testing/text_checks.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <sstream>
#include <tuple>

using namespace ferrule_test;
using namespace std::chrono_literals;
using json = nlohmann::json;

namespace {

using namespace bridge_rig_defaults;

// The messages of `topic` a watcher was given, parsed, timestamps left out.
std::vector<json> objects(const std::string &messages, const std::string &topic) {
    std::vector<json> found;
    std::istringstream in(messages);
    for (std::string line; std::getline(in, line);) {
        if (line.rfind(topic + ' ', 0) == 0) {
            found.push_back(json::parse(line.substr(topic.size() + 1), nullptr, false));
            if (found.back().size() == 1 && found.back().begin()->is_object()) {
                found.back().begin()->erase("timestamp"); // {"DMR"|"Text"|"GPS": {...}}
            }
        }
    }
    return found;
}

// What a watcher subscribing now is given at once: the retained state and status.
std::pair<std::string, json> retained(const ScratchDir &dir, int port) {
    std::vector<std::string> args = mqtt_subscriber_args(port, {"ft/state", "ft/status"});
    args.insert(args.end(), {"-C", "2", "-W", "3"});
    ChildProcess sub(FERRULE_MOSQUITTO_SUB, dir.path(), args, "fresh.txt");
    sub.wait_exit(5s);
    const std::string out = sub.output();
    const std::vector<json> status = objects(out, "ft/status");
    const std::size_t state = out.find("ft/state ");
    return {state == std::string::npos ? "" : out.substr(state, out.find('\n', state) - state),
            status.empty() ? json::object() : status[0]};
}

// One run: a call each way published exactly, the retained status and state;
// the broker stopped in the middle of two calls and started again.
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
    // A short call each way, then 3 s later a long one each way, in whose
    // middle the broker goes away; each with a talker alias and a position.
    const auto ids = broker_dir.write("DMRIds.dat", "2627777 DL1ABC Hans\n2621234 DL2XYZ Eva\n");
    bridge_rig rig({"--call", "ts=1,src=2621234,dst=262,superframes=6", "--call",
                    "ts=1,src=2621234,dst=262,superframes=20", "--call-gap-ms", "3000",
                    "--talker-alias", "DL2XYZ Eva", "--position", "-33.8688,151.2093"},
                   {"--call", "ts=2,type=private,src=2627777,dst=2621234,superframes=6", "--call",
                    "ts=2,src=2627777,dst=9,superframes=20", "--call-gap-ms", "3000",
                    "--talker-alias", "DL1ABC Hans", "--position", "52.52,13.405"},
                   90,
                   "MQTT_address=127.0.0.1\nMQTT_name=ft\nMQTT_port=" + std::to_string(port) +
                       "\nDMRIds_file=" + ids.string() + "\n");
    ASSERT_TRUE(rig.wait_for_login(30s)) << rig.daemon.output();
    ASSERT_TRUE(rig.daemon.wait_for_output("2 entries", 10s)) << rig.daemon.output();
    std::pair<std::string, json> fresh;
    for (int i = 0; i < 20 && fresh.second["repeaters"][0]["identified"] != true; ++i) {
        std::this_thread::sleep_for(200ms);
        fresh = retained(broker_dir, port);
    }
    EXPECT_EQ(fresh.first, "ft/state online");
    EXPECT_EQ(fresh.second["repeaters"][0]["dmr_id"], REPEATER_ID) << fresh.second;

    rig.release_peer_calls();
    rig.release_repeater_calls();
    ASSERT_TRUE(bridge_rig::wait_for_frames(rig.peer, "in", 1 + 36 + 1 + 20, 20s));
    ASSERT_TRUE(bridge_rig::wait_for_frames(rig.repeater, "in", 1 + 36 + 1 + 20, 20s));
    std::this_thread::sleep_for(300ms);
    const process_figures away_start = figures_of(rig.daemon.pid());
    EXPECT_EQ(first->stop(), 0);
    first.reset();

    // The short calls' starts and ends and the long calls' starts, and the
    // short calls' alias and position.
    const std::vector<json> published = objects(watcher.output(), "ft/json");
    std::vector<json> calls;
    std::copy_if(published.begin(), published.end(), std::back_inserter(calls),
                 [](const json &o) { return o.contains("DMR"); });
    ASSERT_EQ(calls.size(), 6U) << watcher.output();
    for (json &o : calls) {
        EXPECT_GT(o["DMR"].value("duration", 1.0), 0.5) << o;
        o["DMR"].erase("duration");
    }
    const json rf = {{"source", "rf"},
                     {"slot", 2},
                     {"source_id", 2627777},
                     {"source_info", "DL1ABC"},
                     {"destination_id", 2621234},
                     {"destination_type", "individual"},
                     {"repeater", 0},
                     {"repeater_id", REPEATER_ID}};
    const json net = {{"source", "network"},   {"slot", 1},
                      {"source_id", 2621234},  {"source_info", "DL2XYZ"},
                      {"destination_id", 262}, {"destination_type", "group"},
                      {"repeater", 0},         {"repeater_id", REPEATER_ID}};
    const auto with = [](json o, const json &more) {
        o.update(more);
        return o;
    };
    for (const auto &[object, more] : std::vector<std::pair<json, json>>{
             {rf, {{"action", "start"}}},
             {rf, {{"action", "end"}, {"ber", 0.0}}},
             {net, {{"action", "start"}}},
             {net, {{"action", "end"}, {"ber", 0.0}, {"loss", 0.0}}}}) {
        const json wanted = {{"DMR", with(object, more)}};
        EXPECT_NE(std::find(calls.begin(), calls.end(), wanted), calls.end()) << wanted;
    }
    const auto has = [&published](const json &wanted) {
        return std::find(published.begin(), published.end(), wanted) != published.end();
    };
    const json text = {{"repeater", 0}, {"repeater_id", REPEATER_ID}, {"mode", "DMR"}};
    EXPECT_TRUE(has({{"Text", with(text, {{"slot", 2}, {"value", "DL1ABC Hans"}})}}));
    EXPECT_TRUE(has({{"Text", with(text, {{"slot", 1}, {"value", "DL2XYZ Eva"}})}}));
    for (const auto &[source, latitude, longitude] :
         {std::tuple{2627777, 52.52, 13.405}, std::tuple{2621234, -33.8688, 151.2093}}) {
        const auto gps = std::find_if(published.begin(), published.end(), [id = source](auto &o) {
            return o.contains("GPS") && o["GPS"]["source_id"] == id;
        });
        ASSERT_NE(gps, published.end()) << watcher.output();
        EXPECT_EQ((*gps)["GPS"]["slot"], source == 2627777 ? 2 : 1);
        EXPECT_NEAR((*gps)["GPS"]["latitude"].get<double>(), latitude, 1e-4);
        EXPECT_NEAR((*gps)["GPS"]["longitude"].get<double>(), longitude, 1e-4);
    }

    // 8 s without a broker, the long calls ending meanwhile: one log line,
    // no memory taken.
    std::this_thread::sleep_for(8s);
    const process_figures away_end = figures_of(rig.daemon.pid());
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    // (The sanitizers' own shadow memory grows with the run.)
    EXPECT_LE(away_end.rss_kib, away_start.rss_kib + 64) << "resident memory grew while away";
#endif
    EXPECT_EQ(count_of(rig.daemon.output(), "MQTT: lost the broker at 127.0.0.1:"), 1U);
    std::printf("daemon resident memory: %ld KiB when the broker went, %ld KiB 8 s later\n",
                away_start.rss_kib, away_end.rss_kib);
    std::fflush(stdout); // before the next child inherits the buffer

    mqtt_broker second(broker_dir, port, "broker2.txt");
    for (int i = 0; i < 300 && count_of(rig.daemon.output(), "MQTT: connected to the") < 2; ++i) {
        std::this_thread::sleep_for(100ms);
    }
    EXPECT_EQ(count_of(rig.daemon.output(), "MQTT: connected to the"), 2U) << "not within 30 s";
    fresh = retained(broker_dir, port);
    EXPECT_EQ(fresh.first, "ft/state online");
    EXPECT_GT(fresh.second.value("mqtt_dropped", 0), 0) << fresh.second;
    EXPECT_TRUE(contains(http_get(rig.ports.status, "/metrics").body,
                         "\nferrule_mqtt_messages_dropped_total "));

    // All four calls whole at both ends; the long calls' ends, which fell in
    // the broker's absence, dropped and not sent late.
    const call_check::result up =
        call_check::to_network(sim::frame_lines(rig.repeater.output(), "out"),
                               sim::frame_lines(rig.peer.output(), "in"), REPEATER_ID, CALLSIGN);
    EXPECT_TRUE(up.faults.empty() && up.calls == 2) << up.faults_text();
    const call_check::result down =
        call_check::to_repeater(sim::frame_lines(rig.peer.output(), "out"),
                                sim::frame_lines(rig.repeater.output(), "in"), FIRMWARE);
    EXPECT_TRUE(down.faults.empty() && down.calls == 2) << down.faults_text();
    EXPECT_EQ(objects(watcher.output(), "ft/json"), published) << watcher.output();

    // A clean stop leaves `offline`; the log went out without colours.
    EXPECT_EQ(rig.stop(), 0);
    EXPECT_EQ(retained(broker_dir, port).first, "ft/state offline");
    const std::string log = watcher.output();
    EXPECT_TRUE(contains(log, "ft/log Repeater call to the network started: TS2, private call"));
    EXPECT_EQ(log.find('\033'), std::string::npos);
}

} // namespace
