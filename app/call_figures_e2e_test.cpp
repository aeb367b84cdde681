// Who talked and how well, end to end: the simulated repeater and peer each
// send a call with a talker alias, a position, two flipped bits in the first
// AMBE+2 frame of each of the first ten bursts and one burst left out (an A
// burst, so that no embedded LC goes with it). The
// daemon, a gateway mode link with an ID list, must show exactly that in
// /status.json, /metrics and each call's end line, and pass the repeater
// call's alias and position on to the gateway.
#include "dmr/talker_alias.h"
#include "testing/bridge_rig.h"
#include "testing/http_client.h"
#include "testing/test_support.h"
#include "testing/text_checks.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>

using namespace ferrule_test;
using namespace std::chrono_literals;
using json = nlohmann::json;

namespace {

constexpr int SUPERFRAMES = 8;
constexpr unsigned FRAMES = SUPERFRAMES * 6 - 1; // one burst left out
constexpr unsigned BIT_ERRORS = 2 * 10;

// A coordinate as the GPS LC carries it: in steps of 180 / 2^24 degrees of
// latitude and 360 / 2^25 of longitude.
double on_grid(double degrees, double range, double steps) {
    return std::round(degrees * steps / range) * range / steps;
}

std::string hex_of(const std::uint8_t *p, std::size_t n) {
    std::string s;
    char b[3];
    for (std::size_t i = 0; i < n; ++i) {
        std::snprintf(b, sizeof b, "%02X", p[i]);
        s += b;
    }
    return s;
}

struct sent_call {
    const char *direction;   // as /status.json names it
    const char *log_opening; // of the end line
    double latitude, longitude;
};

TEST(CallFiguresEndToEnd, AliasPositionBitErrorsAndLossBothWaysWithNamesFromTheIdList) {
    ScratchDir lists;
    const auto ids = lists.write("DMRIds.dat", "# test list\n2621234\tDL1ABC\tHans\nnot a line\n");
    const sent_call up{"repeater_to_network", "Repeater call to the network", 52.52, 13.405};
    const sent_call down{"network_to_repeater", "Network call to the repeater", -33.8688, 151.2093};
    const std::string calls = "superframes=" + std::to_string(SUPERFRAMES);
    auto extras = [&](const sent_call &c, const char *format) {
        return std::vector<std::string>{
            "--talker-alias", "DL1ABC Hans",
            "--alias-format", format,
            "--position",     std::to_string(c.latitude) + "," + std::to_string(c.longitude),
            "--flip-bits",    "0,4",
            "--flip-bursts",  "10",
            "--drop-burst",   "12"};
    };
    bridge_rig rig(
        bridge_rig::with(
            {"--mode", "gateway", "--burst-ms", "20", "--call", "ts=2,src=2621234,dst=9," + calls},
            extras(down, "utf16")),
        bridge_rig::with({"--burst-ms", "20", "--call", "ts=1,src=2621234,dst=262," + calls},
                         extras(up, "7bit")),
        60, "DMRGateway_mode=gateway\nDMRIds_file=" + ids.string() + "\n");
    ASSERT_TRUE(rig.daemon.wait_for_output("the gateway answers (DMRP)\n", 30s))
        << rig.daemon.output();
    ASSERT_TRUE(rig.daemon.wait_for_output(
        "DMR ID list " + ids.string() + " loaded: 1 entries, 1 lines skipped", 10s))
        << rig.daemon.output();
    rig.release_repeater_calls();
    rig.release_peer_calls();

    json status;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    do {
        std::this_thread::sleep_for(200ms);
        const http_reply r = http_get(rig.ports.status, "/status.json");
        status = r.status == 200 ? json::parse(r.body, nullptr, false) : json();
    } while ((!status.is_object() || status["last_heard"].size() < 2) &&
             std::chrono::steady_clock::now() < end);
    ASSERT_TRUE(status.is_object() && status["last_heard"].size() == 2) << status.dump(1);

    const std::string log = rig.daemon.output();
    for (const sent_call &c : {up, down}) {
        SCOPED_TRACE(c.direction);
        const double latitude = on_grid(c.latitude, 180.0, 16777216.0);
        const double longitude = on_grid(c.longitude, 360.0, 33554432.0);
        json heard;
        for (const json &h : status["last_heard"]) {
            heard = h["direction"] == c.direction ? h : heard;
        }
        ASSERT_TRUE(heard.is_object()) << status.dump(1);
        EXPECT_EQ(heard["source_callsign"], "DL1ABC");
        EXPECT_EQ(heard["source_name"], "Hans");
        EXPECT_EQ(heard["talker_alias"], "DL1ABC Hans");
        EXPECT_NEAR(heard["latitude"].get<double>(), latitude, 1e-9);
        EXPECT_NEAR(heard["longitude"].get<double>(), longitude, 1e-9);
        EXPECT_EQ(heard["frames"], FRAMES);
        EXPECT_EQ(heard["lost_frames"], 1);
        EXPECT_EQ(heard["loss_percent"], 2.08); // 1 of 48
        EXPECT_EQ(heard["bit_errors"], BIT_ERRORS);
        EXPECT_EQ(heard["bits_checked"], FRAMES * 141);
        EXPECT_EQ(heard["ber_percent"], 0.3); // 20 of 6627
        EXPECT_EQ(heard["ended"], "terminator");

        char figures[256];
        std::snprintf(figures, sizeof figures,
                      " s; from DL1ABC (Hans); talker alias \"DL1ABC Hans\"; position %.5f, %.5f; "
                      "%u frames, 1 lost (2.1%%), BER 0.3%% (%u of %u bits)\n",
                      latitude, longitude, FRAMES, BIT_ERRORS, FRAMES * 141);
        EXPECT_TRUE(contains_once(log, figures)) << log;
        EXPECT_TRUE(contains_once(
            log, std::string(c.log_opening) + ": talker alias of 2621234 on TS" +
                     (c.direction == up.direction ? "1" : "2") + " is \"DL1ABC Hans\""));
    }
    EXPECT_EQ(status["id_list"]["file"], ids.string());
    EXPECT_EQ(status["id_list"]["entries"], 1);
    EXPECT_EQ(status["id_list"]["skipped_lines"], 1);
    EXPECT_TRUE(status["id_list"]["loaded"].is_number());

    const std::string metrics = http_get(rig.ports.status, "/metrics").body;
    for (const char *d : {"repeater_to_network", "network_to_repeater"}) {
        EXPECT_TRUE(contains(metrics, std::string("ferrule_bit_errors_total{direction=\"") + d +
                                          "\"} " + std::to_string(BIT_ERRORS)))
            << metrics;
    }

    // The repeater call's alias blocks and position went to the gateway once
    // each, byte for byte what the gateway's own coder makes of them.
    std::array<embedded_lc, TALKER_ALIAS_BLOCKS> alias{};
    ASSERT_EQ(talker_alias_encode("DL1ABC Hans", talker_alias_format::seven_bit, alias), 2U);
    const embedded_lc position = gps_encode({up.latitude, up.longitude, 0});
    const std::string peer = rig.peer.output();
    for (std::size_t block = 0; block < 2; ++block) {
        EXPECT_TRUE(contains_once(peer, "DMRA id=2621234 block=" + std::to_string(block) +
                                            " data=" + hex_of(alias[block].data() + 2, 7)))
            << peer;
    }
    EXPECT_TRUE(contains_once(peer, "DMRG id=2621234 data=" + hex_of(position.data() + 2, 7)))
        << peer;
    EXPECT_FALSE(contains(peer, "block=2"));
    EXPECT_EQ(rig.stop(), 0);
}

} // namespace
