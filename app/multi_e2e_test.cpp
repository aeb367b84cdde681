// Two repeaters behind one daemon in the master mode, end to end: simulated
// repeaters on 127.0.0.2 and 127.0.0.4 with their own DMR IDs, the simulated
// peer as a password-checking master. Each repeater logs in on its own link
// and port, its calls go out under its own ID and stream, and network voice
// on one repeater's link reaches that repeater alone.

#include "testing/bridge_rig.h"
#include "testing/call_check.h"
#include "testing/test_support.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>

using namespace ferrule_test;
using namespace std::chrono_literals;

namespace {

constexpr std::uint32_t FIRST = 2620101;
constexpr std::uint32_t SECOND = 2620112;
const std::string FIRST_TEXT = std::to_string(FIRST);
const std::string SECOND_TEXT = std::to_string(SECOND);
constexpr const char *PASSWORD = "passw0rd";
const std::string MASTER_CONFIG =
    std::string("DMRGateway_mode=master\nDMRGateway_password=") + PASSWORD + "\n";

// Frames of a repeater call of two superframes, and of the network call of
// one superframe as the repeater gets it (call setup, bursts, terminator).
constexpr std::size_t REPEATER_FRAMES = 1 + 12 + 1;
constexpr std::size_t NETWORK_FRAMES_DELIVERED = 1 + 6 + 1;

std::string faults(const call_check::result &r) {
    std::string s;
    for (const std::string &f : r.faults) {
        s += f + "\n";
    }
    return s;
}

// The DMRD frames the peer received from one repeater, told by the repeater
// ID in bytes 11-14.
std::vector<sim::frame_line> frames_of(const std::vector<sim::frame_line> &all, std::uint32_t id) {
    std::vector<sim::frame_line> mine;
    for (const sim::frame_line &f : all) {
        if (f.bytes.size() == dmrd_frame::LENGTH &&
            dmrd_frame::read_be(std::span<const std::uint8_t>(f.bytes).first<dmrd_frame::LENGTH>(),
                                dmrd_frame::REPEATER_ID, 4) == id) {
            mine.push_back(f);
        }
    }
    return mine;
}

// The rig's repeater (127.0.0.2, index 0) and a second one on 127.0.0.4,
// started once the first is logged in so that it takes index 1. Both call
// on TS1; the peer's network call goes to the second.
struct two_repeaters {
    explicit two_repeaters(int lifetime_seconds)
        : rig({"--mode", "master", "--password", PASSWORD, "--call-to", SECOND_TEXT, "--call",
               "ts=1,src=2621234,dst=262,superframes=1"},
              {"--id", FIRST_TEXT, "--call", "ts=1,src=2627777,dst=9,superframes=2"},
              lifetime_seconds, MASTER_CONFIG) {}

    bool start_second(int lifetime_seconds) {
        if (!rig.daemon.wait_for_output(logged_in(0, FIRST_TEXT), 30s)) {
            return false;
        }
        second.emplace(FERRULE_SIM_REPEATER, rig.dir.path(),
                       std::vector<std::string>{"--local",
                                                "127.0.0.4",
                                                "--control-port",
                                                std::to_string(rig.ports.control),
                                                "--voice-port",
                                                std::to_string(rig.ports.voice),
                                                "--rdac-port",
                                                std::to_string(rig.ports.rdac),
                                                "--id",
                                                SECOND_TEXT,
                                                "--callsign",
                                                "DB0TWO",
                                                "--firmware",
                                                bridge_rig_defaults::FIRMWARE,
                                                "--duration",
                                                std::to_string(lifetime_seconds),
                                                "--quiet",
                                                "--frames",
                                                "--calls-on-signal",
                                                "--call",
                                                "ts=1,src=2628888,dst=9,superframes=2"},
                       "repeater2.txt");
        return rig.daemon.wait_for_output(logged_in(1, SECOND_TEXT), 30s);
    }

    std::string logged_in(int index, const std::string &id) const {
        const std::string peer = "127.0.0.1:" + std::to_string(rig.ports.peer);
        return std::string("master link ") + (index == 0 ? "" : std::to_string(index) + " ") +
               "to " + peer + ": repeater " + id + " logged in\n";
    }
    std::string outputs() const {
        return rig.daemon.output() + rig.peer.output() + (second ? second->output() : "");
    }

    bridge_rig rig;
    std::optional<ChildProcess> second;
};

TEST(MasterModeTwoRepeaters, EachLogsInOnItsOwnPortAndCallsGoTheirOwnWay) {
    CapturedLog log; // the checks' own conversions log the calls
    two_repeaters t(60);
    ASSERT_TRUE(t.start_second(60)) << t.outputs();
    const std::string peer_seen = t.rig.peer.output();
    const std::string from = " from 127.0.0.1:";
    EXPECT_NE(peer_seen.find("master: logged in id=" + FIRST_TEXT + from +
                             std::to_string(t.rig.ports.link_local) + "\n"),
              std::string::npos)
        << peer_seen;
    EXPECT_NE(peer_seen.find("master: logged in id=" + SECOND_TEXT + from +
                             std::to_string(t.rig.ports.link_local + 1) + "\n"),
              std::string::npos)
        << peer_seen;
    EXPECT_NE(peer_seen.find("callsign=[DB0TWO  ]"), std::string::npos) << "its own RPTC";

    // Both repeaters talk on TS1 at once; the network calls the second.
    t.rig.release_repeater_calls();
    t.second->signal(SIGUSR2);
    t.rig.release_peer_calls();
    ASSERT_TRUE(bridge_rig::wait_for_frames(t.rig.peer, "in", 2 * REPEATER_FRAMES, 15s))
        << t.outputs();
    ASSERT_TRUE(bridge_rig::wait_for_frames(*t.second, "in", NETWORK_FRAMES_DELIVERED, 15s))
        << t.outputs();
    std::this_thread::sleep_for(300ms); // nothing more may come

    const auto peer_in = sim::frame_lines(t.rig.peer.output(), "in");
    const auto first_up = frames_of(peer_in, FIRST);
    const auto second_up = frames_of(peer_in, SECOND);
    const call_check::result one = call_check::to_network(
        sim::frame_lines(t.rig.repeater.output(), "out"), first_up, FIRST, "", true);
    const call_check::result two = call_check::to_network(
        sim::frame_lines(t.second->output(), "out"), second_up, SECOND, "", true);
    EXPECT_TRUE(one.faults.empty()) << faults(one);
    EXPECT_TRUE(two.faults.empty()) << faults(two);
    EXPECT_EQ(one.frames + two.frames, peer_in.size());
    ASSERT_FALSE(first_up.empty());
    ASSERT_FALSE(second_up.empty());
    EXPECT_NE(call_check::stream_of(first_up[0].bytes), call_check::stream_of(second_up[0].bytes));

    const call_check::result down = call_check::to_repeater(
        sim::frame_lines(t.rig.peer.output(), "out"), sim::frame_lines(t.second->output(), "in"),
        bridge_rig_defaults::FIRMWARE);
    EXPECT_TRUE(down.faults.empty()) << faults(down);
    EXPECT_EQ(down.frames, NETWORK_FRAMES_DELIVERED);
    EXPECT_TRUE(sim::frame_lines(t.rig.repeater.output(), "in").empty())
        << "the first repeater hears nothing of the second's link";

    t.rig.daemon.signal(SIGINT);
    EXPECT_EQ(t.rig.daemon.wait_exit(5s), 0);
    for (const std::string &id : {FIRST_TEXT, SECOND_TEXT}) {
        EXPECT_TRUE(t.rig.peer.wait_for_output("master: repeater " + id + " closed its link\n", 2s))
            << t.rig.peer.output();
    }
}

// A repeater is dropped 35 s after it was last heard, so this waits that
// long: it runs when FERRULE_SLOW_E2E is set (CI does), and the unit tests
// cover the same with a hand-set clock.
TEST(MasterModeTwoRepeaters, ASilencedRepeaterClosesItsOwnLinkOnly) {
    if (std::getenv("FERRULE_SLOW_E2E") == nullptr) {
        GTEST_SKIP() << "set FERRULE_SLOW_E2E=1 to wait out a repeater's 35 s time-out";
    }
    two_repeaters t(120);
    ASSERT_TRUE(t.start_second(120)) << t.outputs();
    t.rig.repeater.signal(SIGTERM);
    ASSERT_EQ(t.rig.repeater.wait_exit(5s), 0);
    const std::string closed = "recv 127.0.0.1:" + std::to_string(t.rig.ports.link_local) +
                               " len=9 RPTCL id=" + FIRST_TEXT + "\n";
    ASSERT_TRUE(t.rig.peer.wait_for_output(closed, 45s)) << t.outputs();
    // The second link goes on: its next ping is answered.
    const std::size_t at = t.rig.peer.output().find(closed);
    const std::string ping = "RPTPING id=" + SECOND_TEXT + "\nsend MSTPONG " + SECOND_TEXT;
    const auto end = std::chrono::steady_clock::now() + 15s;
    while (t.rig.peer.output().find(ping, at) == std::string::npos &&
           std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(100ms);
    }
    EXPECT_NE(t.rig.peer.output().find(ping, at), std::string::npos) << t.outputs();
    EXPECT_EQ(t.rig.peer.output().find("RPTCL id=" + SECOND_TEXT), std::string::npos);
    EXPECT_NE(t.rig.daemon.output().find(
                  "master link to 127.0.0.1:" + std::to_string(t.rig.ports.peer) + ": repeater " +
                  FIRST_TEXT + " is gone, its link closed (RPTCL)\n"),
              std::string::npos);
    t.rig.daemon.signal(SIGINT);
    EXPECT_EQ(t.rig.daemon.wait_exit(5s), 0);
}

} // namespace
