// A stranger on the repeater ports of a daemon with Hytera_RPT_allow set: the
// simulated repeater on 127.0.0.2 is allowed, a second simulator on 127.0.0.9
// registers on every port, reports the repeater's own DMR ID, sends calls and
// floods the control port with 1000 junk datagrams a second. The repeater must
// keep its registration and identity, the stranger must hear nothing, none of
// its frames may reach the network, and the log must stay small.
//
// The flood lasts FERRULE_GUARD_FLOOD_SECONDS (2 by default, 40 in CI). Every
// keep-alive the repeater sends once a second must be answered: a repeater
// that loses none cannot time out, however long the flood.
#include "testing/bridge_rig.h"
#include "testing/call_check.h"
#include "testing/test_support.h"
#include "testing/text_checks.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <sstream>

using namespace ferrule_test;
using namespace std::chrono_literals;
using namespace bridge_rig_defaults;

namespace {

int flood_seconds() {
    // NOLINTNEXTLINE(concurrency-mt-unsafe): read before the test starts any thread
    const char *text = std::getenv("FERRULE_GUARD_FLOOD_SECONDS");
    const int seconds = text != nullptr ? std::atoi(text) : 2;
    return seconds > 0 ? seconds : 2;
}

// The number after `label` in a simulator's summary, -1 when it is missing.
long figure(const std::string &text, const std::string &label) {
    const std::size_t at = text.rfind(label);
    return at == std::string::npos ? -1 : std::atol(text.c_str() + at + label.size());
}

} // namespace

TEST(RepeaterGuardEndToEnd, AStrangerOutsideTheAllowListGetsNothingAndTakesNothing) {
    CapturedLog log; // the call check's own conversions log the call
    const int seconds = flood_seconds();
    bridge_rig rig({}, {"--keepalive", "1", "--call", "ts=1,src=2621234,dst=262,superframes=2"},
                   seconds + 90, "Hytera_RPT_allow=127.0.0.2\n");
    ASSERT_TRUE(rig.wait_for_login(30s)) << rig.daemon.output();
    const std::string identity = "Hytera_RPT Login Type:0 IP:127.0.0.2       ID:311234 "
                                 "Call:          DB0TST";
    ASSERT_NE(rig.daemon.output().find(identity), std::string::npos) << rig.daemon.output();
    const std::size_t log_before = rig.daemon.output().size();

    const auto n = [](long v) { return " " + std::to_string(v); };
    std::istringstream line("--local 127.0.0.9 --stranger --flood-control 1000 --quiet --call "
                            "ts=1,src=2621234,dst=262,superframes=1 --duration" +
                            n(seconds) + " --id" + n(REPEATER_ID) + " --control-port" +
                            n(rig.ports.control) + " --voice-port" + n(rig.ports.voice) +
                            " --rdac-port" + n(rig.ports.rdac));
    std::vector<std::string> args{std::istream_iterator<std::string>(line), {}};
    args.insert(args.end(), {"--callsign", "EVIL\x1b[2J\r\n"});
    ChildProcess stranger(FERRULE_SIM_REPEATER, rig.dir.path(), args, "stranger.txt");
    // The repeater's own call goes through in the middle of the flood.
    std::this_thread::sleep_for(std::chrono::seconds(seconds / 2));
    rig.release_repeater_calls();
    ASSERT_EQ(stranger.wait_exit(std::chrono::seconds(seconds + 15)), 0) << stranger.output();
    const std::string during = rig.daemon.output().substr(log_before);

    // The repeater's call, header, 12 bursts and terminator, and nothing else.
    const std::size_t call_frames = 1 + 12 + 1;
    EXPECT_TRUE(bridge_rig::wait_for_frames(rig.peer, "in", call_frames, 10s)) << rig.peer.output();
    std::this_thread::sleep_for(500ms);
    rig.repeater.signal(SIGINT);
    EXPECT_EQ(rig.repeater.wait_exit(5s), 0);
    const call_check::result up =
        call_check::to_network(sim::frame_lines(rig.repeater.output(), "out"),
                               sim::frame_lines(rig.peer.output(), "in"), REPEATER_ID, CALLSIGN);
    EXPECT_TRUE(up.faults.empty()) << up.faults_text();
    EXPECT_EQ(up.frames, call_frames);

    const std::string stranger_out = stranger.output();
    const long junk = figure(stranger_out, "junk sent ");
    const long heard = figure(stranger_out, "datagrams received ");
    const long stranger_frames = figure(stranger_out, "voice frames sent ");
    const std::string repeater_out = rig.repeater.output();
    const long keepalives = figure(repeater_out, "keep-alives sent ");
    const long answered = figure(repeater_out, ", answered ");
    std::printf(
        "guard e2e: flood %d s, %ld junk datagrams and %ld voice frames from the stranger, "
        "%ld datagrams back to it; repeater keep-alives sent %ld, answered %ld; log grew %zu "
        "bytes\n",
        seconds, junk, stranger_frames, heard, keepalives, answered, during.size());

    EXPECT_GE(junk, 1000L * seconds * 9 / 10) << stranger_out;
    EXPECT_EQ(heard, 0) << stranger_out;
    // One keep-alive may be in flight when the repeater is stopped.
    EXPECT_GE(keepalives, seconds);
    EXPECT_LE(keepalives - answered, 1) << repeater_out;
    EXPECT_LT(during.size(), 10u * 1024) << during;

    const std::string out = rig.daemon.output();
    EXPECT_TRUE(contains_once(out, "Hytera_RPT Login ip "));
    EXPECT_TRUE(contains_once(out, identity));
    for (const char *never : {"Time Out Hytera_RPT", "RPTCL", "changed its", "EVIL"}) {
        EXPECT_EQ(out.find(never), std::string::npos) << never;
    }
    EXPECT_TRUE(contains(during, "Datagram from 127.0.0.9:"));

    EXPECT_EQ(rig.stop(), 0);
}
