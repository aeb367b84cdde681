// The daemon between the simulated repeater and the simulated peer on
// loopback, with a call each way at the same time: every frame must arrive,
// in order, with the bytes the conversions give for what was sent.
#include "core/daemon_process.h"
#include "core/test_support.h"
#include "sim/sim_common.h"
#include "voice/dmrd_to_hytera.h"
#include "voice/hytera_to_dmrd.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

using namespace ferrule_test;
using namespace std::chrono_literals;
namespace hf = hytera_frame;
namespace df = dmrd_frame;

namespace {

using frame_bytes = std::vector<std::uint8_t>;

std::vector<frame_bytes> frames(const std::string &output, const std::string &direction) {
    std::vector<frame_bytes> result;
    for (sim::frame_line &f : sim::frame_lines(output, direction)) {
        result.push_back(std::move(f.bytes));
    }
    return result;
}

bool wait_for_frames(const ChildProcess &p, const std::string &direction, std::size_t count,
                     std::chrono::milliseconds timeout) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < end) {
        if (frames(p.output(), direction).size() >= count) {
            return true;
        }
        std::this_thread::sleep_for(50ms);
    }
    return false;
}

std::string hex(const frame_bytes &f) {
    std::string s;
    char b[3];
    for (std::uint8_t v : f) {
        std::snprintf(b, sizeof b, "%02X", v);
        s += b;
    }
    return s;
}

std::uint32_t stream_of(const frame_bytes &dmrd) {
    return static_cast<std::uint32_t>(dmrd[df::STREAM_ID]) << 24 |
           static_cast<std::uint32_t>(dmrd[df::STREAM_ID + 1]) << 16 |
           static_cast<std::uint32_t>(dmrd[df::STREAM_ID + 2]) << 8 | dmrd[df::STREAM_ID + 3];
}

// Large (two tables indexed by source); static so only touched pages count.
network_call_state expected_network_state;

constexpr std::uint32_t REPEATER_ID = 311234;
const char *const FIRMWARE = "A8.05.07.001";

} // namespace

TEST(VoiceBridgeEndToEnd, CallsBothWaysArriveFrameForFrame) {
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
    const std::size_t network_frames = 3 + 18 + 2;
    const std::size_t network_frames_delivered = 1 + 18 + 1;
    ASSERT_TRUE(wait_for_frames(peer, "in", repeater_frames, 15s)) << peer.output();
    ASSERT_TRUE(wait_for_frames(repeater, "in", network_frames_delivered, 15s))
        << repeater.output();
    std::this_thread::sleep_for(300ms); // nothing more may come

    const std::vector<frame_bytes> hytera_sent = frames(repeater.output(), "out");
    const std::vector<frame_bytes> dmrd_received = frames(peer.output(), "in");
    ASSERT_EQ(hytera_sent.size(), repeater_frames);
    ASSERT_EQ(dmrd_received.size(), repeater_frames) << peer.output();

    // The stream ID is random; it is one per call, and the rest of each frame
    // is what the conversion gives for the frame the repeater sent.
    std::set<std::uint32_t> streams;
    std::array<peer_sequence, 1> sequence{};
    const peer_slot_view view{"key", REPEATER_ID, "DB0TST", 3};
    for (std::size_t i = 0; i < hytera_sent.size(); ++i) {
        const std::uint32_t stream = stream_of(dmrd_received[i]);
        if (i == 0 || i == 14) {
            streams.insert(stream);
        }
        EXPECT_EQ(stream, stream_of(dmrd_received[i < 14 ? 0 : 14])) << "frame " << i;
        df::Frame expected{};
        ASSERT_TRUE(hytera_to_dmrd(hytera_sent[i], 0, view, view.key, stream, sequence[0],
                                   DMR_CODER_BUILDERS, expected));
        EXPECT_EQ(hex(dmrd_received[i]), hex(frame_bytes(expected.begin(), expected.end())))
            << "frame " << i;
    }
    EXPECT_EQ(streams.size(), 2U);

    const std::vector<frame_bytes> dmrd_sent = frames(peer.output(), "out");
    const std::vector<frame_bytes> hytera_received = frames(repeater.output(), "in");
    ASSERT_EQ(dmrd_sent.size(), network_frames);
    ASSERT_EQ(hytera_received.size(), network_frames_delivered) << repeater.output();
    const hytera_target target{FIRMWARE, "127.0.0.2", 1};
    std::vector<frame_bytes> expected;
    for (const frame_bytes &d : dmrd_sent) {
        hf::Frame out{};
        if (dmrd_to_hytera(d, target, expected_network_state, out) == dmrd_outcome::send) {
            expected.emplace_back(out.begin(), out.end());
        }
    }
    ASSERT_EQ(expected.size(), hytera_received.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(hex(hytera_received[i]), hex(expected[i])) << "frame " << i;
    }
    EXPECT_EQ(hytera_received.front()[hf::SLOT_TYPE], 0xEE); // one call setup frame
    EXPECT_EQ(hytera_received.back()[hf::SLOT_TYPE], 0x22);  // one terminator

    daemon.signal(SIGINT);
    EXPECT_EQ(daemon.wait_exit(5s), 0);
}
