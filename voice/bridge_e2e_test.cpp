// The daemon between the simulated repeater and the simulated peer on
// loopback, with a call each way at the same time: every frame must arrive,
// in order, with the bytes the conversions give for what was sent.
#include "core/daemon_process.h"
#include "core/test_support.h"
#include "voice/call_check.h"

#include <gtest/gtest.h>

using namespace ferrule_test;
using namespace std::chrono_literals;

namespace {

bool wait_for_frames(const ChildProcess &p, const std::string &direction, std::size_t count,
                     std::chrono::milliseconds timeout) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < end) {
        if (sim::frame_lines(p.output(), direction).size() >= count) {
            return true;
        }
        std::this_thread::sleep_for(50ms);
    }
    return false;
}

std::string faults(const call_check::result &r) {
    std::string s;
    for (const std::string &f : r.faults) {
        s += f + "\n";
    }
    return s;
}

constexpr std::uint32_t REPEATER_ID = 311234;
const char *const FIRMWARE = "A8.05.07.001";

} // namespace

TEST(VoiceBridgeEndToEnd, CallsBothWaysArriveFrameForFrame) {
    CapturedLog log; // the checks' own conversions log the calls
    ScratchDir dir;
    DaemonPorts ports;
    dir.write("f.cfg", loopback_config(ports));
    DaemonProcess daemon(dir.path(), {"f.cfg"});
    // The repeater calls on both time slots, the network on TS1 meanwhile.
    ChildProcess peer(FERRULE_SIM_PEER, dir.path(),
                      {"--port", std::to_string(ports.peer), "--duration", "60", "--frames",
                       "--calls-on-signal", "--call", "ts=1,src=2621234,dst=262,superframes=3"},
                      "peer.txt");
    ChildProcess repeater(FERRULE_SIM_REPEATER, dir.path(),
                          {"--control-port",
                           std::to_string(ports.control),
                           "--voice-port",
                           std::to_string(ports.voice),
                           "--rdac-port",
                           std::to_string(ports.rdac),
                           "--id",
                           std::to_string(REPEATER_ID),
                           "--firmware",
                           FIRMWARE,
                           "--callsign",
                           "DB0TST",
                           "--duration",
                           "60",
                           "--quiet",
                           "--frames",
                           "--calls-on-signal",
                           "--call-gap-ms",
                           "200",
                           "--call",
                           "ts=2,src=2627777,dst=9,superframes=2",
                           "--call",
                           "ts=1,type=private,src=2627777,dst=2621234,superframes=1"},
                          "repeater.txt");
    ASSERT_TRUE(daemon.wait_for_output(".....recv RPTACK 2:", 30s)) << daemon.output();
    peer.signal(SIGUSR2);
    repeater.signal(SIGUSR2);

    // Repeater: 2 calls of header + 6 bursts per superframe + terminator.
    const std::size_t repeater_frames = (1 + 12 + 1) + (1 + 6 + 1);
    // Network: 3 headers, 18 bursts, 2 terminators, of which the repeater
    // gets one call setup frame, the bursts and one terminator.
    const std::size_t network_frames_delivered = 1 + 18 + 1;
    ASSERT_TRUE(wait_for_frames(peer, "in", repeater_frames, 15s)) << peer.output();
    ASSERT_TRUE(wait_for_frames(repeater, "in", network_frames_delivered, 15s))
        << repeater.output();
    std::this_thread::sleep_for(300ms); // nothing more may come

    const call_check::result up =
        call_check::to_network(sim::frame_lines(repeater.output(), "out"),
                               sim::frame_lines(peer.output(), "in"), REPEATER_ID, "DB0TST");
    EXPECT_TRUE(up.faults.empty()) << faults(up);
    EXPECT_EQ(up.calls, 2U);
    EXPECT_EQ(up.frames, repeater_frames);

    const auto network_sent = sim::frame_lines(peer.output(), "out");
    EXPECT_EQ(network_sent.size(), 3U + 18 + 2);
    const call_check::result down =
        call_check::to_repeater(network_sent, sim::frame_lines(repeater.output(), "in"), FIRMWARE);
    EXPECT_TRUE(down.faults.empty()) << faults(down);
    EXPECT_EQ(down.calls, 1U); // one call setup frame for three headers
    EXPECT_EQ(down.frames, network_frames_delivered);

    daemon.signal(SIGINT);
    EXPECT_EQ(daemon.wait_exit(5s), 0);
}
