// The daemon between the simulated repeater and the simulated peer on
// loopback: the repeater is registered and identified over its three ports,
// the daemon logs it in to the peer, and then a call goes each way at the same
// time: every frame must arrive, in order, with the bytes the conversions give
// for what was sent.
#include "testing/bridge_rig.h"
#include "testing/call_check.h"
#include "testing/test_support.h"
#include "testing/text_checks.h"

#include <gtest/gtest.h>

using namespace ferrule_test;
using namespace std::chrono_literals;
using namespace bridge_rig_defaults;

namespace {

// Each needle found after the one before.
bool in_order(const std::string &text, const std::vector<std::string> &needles) {
    std::size_t at = 0;
    for (const std::string &n : needles) {
        at = text.find(n, at);
        if (at == std::string::npos) {
            return false;
        }
        at += n.size();
    }
    return true;
}

} // namespace

TEST(VoiceBridgeEndToEnd, IdentifiedRepeaterIsLoggedInAndCallsBothWaysArriveFrameForFrame) {
    CapturedLog log; // the checks' own conversions log the calls
    // The repeater calls on both time slots, the network on TS1 meanwhile.
    // Bursts 20 ms apart, three times a repeater's pace: the frames are
    // checked for order and bytes, not timing.
    bridge_rig rig({"--burst-ms", "20", "--call", "ts=1,src=2621234,dst=262,superframes=3"},
                   {"--burst-ms", "20", "--call-gap-ms", "200", "--call",
                    "ts=2,src=2627777,dst=9,superframes=2", "--call",
                    "ts=1,type=private,src=2627777,dst=2621234,superframes=1"},
                   60);
    ASSERT_TRUE(rig.wait_for_login(30s)) << rig.daemon.output();

    // Registration on the control port, the identity walk on the RDAC port,
    // the login with the identity learned.
    const std::string id = std::to_string(REPEATER_ID);
    const std::string out = rig.daemon.output();
    const std::string identified = "Hytera_RPT Login Type:0 IP:127.0.0.2       ID:311234 "
                                   "Call:          DB0TST TX:439.2750  Shift:7.6";
    // The registration line is written by whichever port's thread made the
    // entry, after it lets go of the table, so the identity walk on the RDAC
    // thread may finish first on a busy machine: only the identity is bound
    // to come before the login.
    EXPECT_TRUE(contains_once(out, "Hytera_RPT Login ip 127.0.0.2 INDEX:")) << out;
    EXPECT_TRUE(in_order(
        out, {identified, ".....send RPTL:" + id, ".....recv RPTACK 0:1\n.....send RPTK:1\n",
              ".....recv RPTACK 1:" + id + "\n.....send RPTC:" + id + "\n",
              "INSERT NR.0 MMDVM INDEX:<:127.0.0.1-:" + std::to_string(rig.ports.peer) +
                  "> CALL:<DB0TST  > ID:<" + id + "> RX-QRG:<439.2750> TX-QRG:<431.6750>",
              ".....recv RPTACK 2:" + id}))
        << out;
    const std::string repeater_out = rig.repeater.output();
    for (const std::string &line :
         {"port assignment for service 11: " + std::to_string(rig.ports.voice),
          "port assignment for service 12: " + std::to_string(rig.ports.rdac),
          std::string("identified: the gateway acknowledged the radio data")}) {
        EXPECT_TRUE(contains(repeater_out, line));
    }
    const std::string seen = rig.peer.output();
    EXPECT_TRUE(in_order(
        seen, {"RPTL id=" + id, "RPTK ack=1 digest=656D5E58117B20C38124DEB46EFF2A23",
               // The repeater's TX frequency goes out in the field the peer
               // reads as its RX.
               "RPTC id=" + id +
                   " callsign=[DB0TST  ] rx=[439275000] tx=[431675000] "
                   "power=[05] cc=[01] lat=[0.000000] lon=[00.000000] height=[000] "
                   "location=[Testort             ] description=[Multi-Mode Repeater] "
                   "slots=[3] url=[dmr.example.org" +
                   std::string(124 - 15, ' ') + "] software=[20171220" + std::string(32, ' ') +
                   "] package=[MMDVM" + std::string(35, ' ') + "]\n"}))
        << seen;

    rig.release_peer_calls();
    rig.release_repeater_calls();
    // Repeater: 2 calls of header + 6 bursts per superframe + terminator.
    const std::size_t repeater_frames = (1 + 12 + 1) + (1 + 6 + 1);
    // Network: 3 headers, 18 bursts, 2 terminators, of which the repeater
    // gets one call setup frame, the bursts and one terminator.
    const std::size_t network_frames_delivered = 1 + 18 + 1;
    ASSERT_TRUE(bridge_rig::wait_for_frames(rig.peer, "in", repeater_frames, 15s))
        << rig.peer.output();
    ASSERT_TRUE(bridge_rig::wait_for_frames(rig.repeater, "in", network_frames_delivered, 15s))
        << rig.repeater.output();
    std::this_thread::sleep_for(300ms); // nothing more may come

    const call_check::result up =
        call_check::to_network(sim::frame_lines(rig.repeater.output(), "out"),
                               sim::frame_lines(rig.peer.output(), "in"), REPEATER_ID, CALLSIGN);
    EXPECT_TRUE(up.faults.empty()) << up.faults_text();
    EXPECT_EQ(up.calls, 2U);
    EXPECT_EQ(up.frames, repeater_frames);

    const auto network_sent = sim::frame_lines(rig.peer.output(), "out");
    EXPECT_EQ(network_sent.size(), 3U + 18 + 2);
    const call_check::result down = call_check::to_repeater(
        network_sent, sim::frame_lines(rig.repeater.output(), "in"), FIRMWARE);
    EXPECT_TRUE(down.faults.empty()) << down.faults_text();
    EXPECT_EQ(down.calls, 1U); // one call setup frame for three headers
    EXPECT_EQ(down.frames, network_frames_delivered);

    EXPECT_EQ(rig.stop(), 0);
}

TEST(VoiceBridgeEndToEnd, NetworkCallCutWithoutTerminatorIsEndedForTheRepeater) {
    CapturedLog log;
    // The first call loses its terminators; 2 s later the same source calls again.
    bridge_rig rig({"--cut-first", "--call-gap-ms", "2000", "--call",
                    "ts=1,src=2621234,dst=262,superframes=2", "--call",
                    "ts=1,src=2621234,dst=262,superframes=1"},
                   {}, 60);
    ASSERT_TRUE(rig.wait_for_login(30s)) << rig.daemon.output();
    rig.release_peer_calls();

    // Call setup and 12 bursts, the watchdog's terminator, then call setup,
    // 6 bursts and the terminator.
    const std::size_t delivered = (1 + 12 + 1) + (1 + 6 + 1);
    ASSERT_TRUE(bridge_rig::wait_for_frames(rig.repeater, "in", delivered, 20s))
        << rig.repeater.output();
    std::this_thread::sleep_for(300ms);

    const auto received = sim::frame_lines(rig.repeater.output(), "in");
    const call_check::result down =
        call_check::to_repeater(sim::frame_lines(rig.peer.output(), "out"), received, FIRMWARE);
    EXPECT_TRUE(down.faults.empty()) << down.faults_text();
    EXPECT_EQ(down.calls, 2U);
    ASSERT_EQ(received.size(), delivered);
    const auto &cut_end = received[13].bytes;
    EXPECT_EQ(cut_end[hytera_frame::SLOT_TYPE], hytera_frame::TYPE_TERMINATOR);
    EXPECT_EQ(hytera_frame::read_id(std::span(cut_end).first<hytera_frame::LENGTH>(),
                                    hytera_frame::SOURCE),
              2621234U);
    EXPECT_EQ(received[14].bytes[hytera_frame::SLOT_TYPE], hytera_frame::TYPE_CALL_SETUP);
    // The watchdog's 1.5 s after the last burst, plus at most a tick and the
    // machine's delays.
    const long long gap_ms = (received[13].stamp - received[12].stamp) / 1000000;
    EXPECT_GE(gap_ms, 1500);
    EXPECT_LT(gap_ms, 1900);
    EXPECT_TRUE(
        contains(rig.daemon.output(), "Network call to the repeater ended by the watchdog"));

    EXPECT_EQ(rig.stop(), 0);
}
