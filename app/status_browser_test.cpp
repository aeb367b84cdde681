// The status page in a real browser: the daemon between both simulators, and
// headless Chromium driven by status_browser_check.py, which waits for the
// tables, checks the repeater's call sign, the link state and the last-heard
// table of a call each way (names from an ID list, alias, position, loss and
// BER), and leaves screenshots in the build directory.
#include "testing/bridge_rig.h"
#include "testing/daemon_process.h"

#include <gtest/gtest.h>

using namespace ferrule_test;
using namespace std::chrono_literals;

TEST(StatusPageInBrowser, ShowsTheRepeaterTheLinkAndWhoWasHeard) {
    ScratchDir lists;
    const auto ids = lists.write("DMRIds.dat", "2621234 DL1ABC Hans\n");
    const std::vector<std::string> figures = {
        "--talker-alias", "DL1ABC Hans", "--position",   "52.52,13.405", "--flip-bits", "0,4",
        "--flip-bursts",  "10",          "--drop-burst", "12",           "--burst-ms",  "20"};
    bridge_rig rig(bridge_rig::with({"--call", "ts=2,src=2621234,dst=9,superframes=8"}, figures),
                   bridge_rig::with({"--call", "ts=1,src=2621234,dst=262,superframes=8"}, figures),
                   120, "DMRIds_file=" + ids.string() + "\n");
    ASSERT_TRUE(rig.wait_for_login(30s)) << rig.daemon.output();
    rig.release_peer_calls();
    rig.release_repeater_calls();
    ChildProcess check(FERRULE_PYTHON, rig.dir.path(),
                       {FERRULE_BROWSER_CHECK,
                        "--url",
                        "http://127.0.0.1:" + std::to_string(rig.ports.status) + "/",
                        "--callsign",
                        bridge_rig_defaults::CALLSIGN,
                        "--state",
                        "logged in",
                        "--screenshot",
                        FERRULE_SCREENSHOT,
                        "--chromium",
                        FERRULE_CHROMIUM,
                        "--chromedriver",
                        FERRULE_CHROMEDRIVER,
                        "--seconds",
                        "60",
                        "--heard",
                        "DL1ABC",
                        "--heard",
                        "Hans",
                        "--heard",
                        "2621234",
                        "--heard",
                        "DL1ABC Hans",
                        "--heard",
                        "52.52000, 13.40500",
                        "--heard",
                        "2.08 %",
                        "--heard",
                        "1 of 48 lost",
                        "--heard",
                        "0.30 %",
                        "--heard",
                        "repeater \u2192 network",
                        "--heard",
                        "network \u2192 repeater"},
                       "check.txt");
    // The check ends itself, browser and all, within its 60 s.
    EXPECT_EQ(check.wait_exit(90s), 0) << check.output();
    // The login mode's peers know no talker alias or position messages.
    for (const char *tag : {"DMRA", "DMRG"}) {
        EXPECT_EQ(rig.peer.output().find(tag), std::string::npos) << tag;
    }
    EXPECT_EQ(rig.stop(), 0);
}
