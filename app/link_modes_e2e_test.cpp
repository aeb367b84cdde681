// The gateway and master modes end to end: the daemon between the simulated
// repeater and the simulated peer playing a current DMRGateway or a
// password-checking master, on loopback.

#include "testing/bridge_rig.h"
#include "testing/call_check.h"
#include "testing/test_support.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>

using namespace ferrule_test;
using namespace std::chrono_literals;

namespace {

// Above the old substitute's limit, so a substitution would show.
constexpr std::uint32_t REPEATER = 2620101;
const std::string REPEATER_TEXT = std::to_string(REPEATER);
constexpr const char *PASSWORD = "passw0rd";

// The repeater calls once on TS2, the network once on TS1, both held until
// released. Frames: header + 6 bursts per superframe + terminator from the
// repeater; the network sends 3 headers, 6 bursts and 2 terminators, of which
// the repeater gets one call setup frame, the bursts and one terminator.
const std::vector<std::string> NETWORK_CALL = {"--burst-ms", "20", "--call",
                                               "ts=1,src=2621234,dst=262,superframes=1"};
const std::vector<std::string> REPEATER_CALL = {
    "--id", REPEATER_TEXT, "--burst-ms", "20", "--call", "ts=2,src=2627777,dst=9,superframes=2"};
constexpr std::size_t REPEATER_FRAMES = 1 + 12 + 1;
constexpr std::size_t NETWORK_FRAMES_SENT = 3 + 6 + 2;
constexpr std::size_t NETWORK_FRAMES_DELIVERED = 1 + 6 + 1;

std::vector<std::string> with(std::vector<std::string> a, const std::vector<std::string> &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

std::string faults(const call_check::result &r) {
    std::string s;
    for (const std::string &f : r.faults) {
        s += f + "\n";
    }
    return s;
}

std::string peer_name(const bridge_rig &rig) {
    return "127.0.0.1:" + std::to_string(rig.ports.peer);
}

// Both calls, released together, arrive byte for byte; the repeater's frames
// carry its own ID in bytes 11-14.
void calls_cross_the_link(const bridge_rig &rig) {
    rig.release_peer_calls();
    rig.release_repeater_calls();
    ASSERT_TRUE(bridge_rig::wait_for_frames(rig.peer, "in", REPEATER_FRAMES, 15s))
        << rig.peer.output() << rig.daemon.output();
    ASSERT_TRUE(bridge_rig::wait_for_frames(rig.peer, "out", NETWORK_FRAMES_SENT, 15s))
        << rig.peer.output();
    ASSERT_TRUE(bridge_rig::wait_for_frames(rig.repeater, "in", NETWORK_FRAMES_DELIVERED, 15s))
        << rig.repeater.output();
    std::this_thread::sleep_for(300ms); // nothing more may come
    const call_check::result up = call_check::to_network(
        sim::frame_lines(rig.repeater.output(), "out"), sim::frame_lines(rig.peer.output(), "in"),
        REPEATER, bridge_rig_defaults::CALLSIGN, true);
    EXPECT_TRUE(up.faults.empty()) << faults(up);
    EXPECT_EQ(up.frames, REPEATER_FRAMES);
    const auto network_sent = sim::frame_lines(rig.peer.output(), "out");
    EXPECT_EQ(network_sent.size(), NETWORK_FRAMES_SENT);
    const call_check::result down = call_check::to_repeater(
        network_sent, sim::frame_lines(rig.repeater.output(), "in"), bridge_rig_defaults::FIRMWARE);
    EXPECT_TRUE(down.faults.empty()) << faults(down);
    EXPECT_EQ(down.frames, NETWORK_FRAMES_DELIVERED);
}

// The times, in seconds of the simulated master's clock, of each login request.
TEST(LinkModesEndToEnd, GatewayModeConfiguresTheGatewayAndCarriesCallsBothWays) {
    CapturedLog log; // the checks' own conversions log the calls
    bridge_rig rig(with({"--mode", "gateway", "--need-dmrc"}, NETWORK_CALL), REPEATER_CALL, 60,
                   "DMRGateway_mode=gateway\n");
    ASSERT_TRUE(rig.daemon.wait_for_output(
        "gateway link to " + peer_name(rig) + ": the gateway answers (DMRP)\n", 30s))
        << rig.daemon.output() << rig.peer.output();
    EXPECT_NE(rig.peer.output().find("DMRC id=" + REPEATER_TEXT +
                                     " callsign=[DB0TST  ] rx=[439275000] tx=[431675000] "
                                     "power=[05] cc=[01] slots=[3] software=[20171220"),
              std::string::npos)
        << rig.peer.output();
    calls_cross_the_link(rig);

    rig.daemon.signal(SIGINT);
    EXPECT_EQ(rig.daemon.wait_exit(5s), 0);
    const std::string seen = rig.peer.output();
    EXPECT_EQ(seen.find("unknown"), std::string::npos) << "only DMRC and DMRD: " << seen;
}

TEST(LinkModesEndToEnd, MasterModeLogsInCarriesCallsAndClosesOnStop) {
    CapturedLog log;
    bridge_rig rig(with({"--mode", "master", "--password", PASSWORD}, NETWORK_CALL), REPEATER_CALL,
                   60,
                   std::string("DMRGateway_mode=master\nDMRGateway_password=") + PASSWORD +
                       "\nDMRGateway_options=TS2=91;\n");
    ASSERT_TRUE(rig.daemon.wait_for_output(
        "master link to " + peer_name(rig) + ": repeater " + REPEATER_TEXT + " logged in\n", 30s))
        << rig.daemon.output() << rig.peer.output();
    EXPECT_NE(rig.peer.output().find("RPTO id=" + REPEATER_TEXT + " options=[TS2=91;]"),
              std::string::npos);
    calls_cross_the_link(rig);

    rig.daemon.signal(SIGINT);
    EXPECT_EQ(rig.daemon.wait_exit(5s), 0);
    EXPECT_TRUE(
        rig.peer.wait_for_output("master: repeater " + REPEATER_TEXT + " closed its link\n", 2s))
        << rig.peer.output();
    EXPECT_NE(rig.peer.output().find("RPTCL id=" + REPEATER_TEXT + "\n"), std::string::npos);
}

TEST(LinkModesEndToEnd, AnUnknownModeStopsTheDaemon) {
    ScratchDir dir;
    DaemonPorts ports;
    dir.write("f.cfg", loopback_config(ports) + "DMRGateway_mode=peer\n");
    DaemonProcess daemon(dir.path(), {"f.cfg"});
    EXPECT_EQ(daemon.wait_exit(5s), 1);
    EXPECT_NE(daemon.output().find(
                  "DMRGateway_mode=peer is not a link mode: use login, gateway or master\n"),
              std::string::npos)
        << daemon.output();
}

} // namespace
