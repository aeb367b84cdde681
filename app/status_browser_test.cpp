// The status page in a real browser: the daemon between both simulators, and
// headless Chromium driven by status_browser_check.py, which waits for the
// tables, checks the repeater's call sign and the link state, and leaves
// screenshots in the build directory.
#include "testing/bridge_rig.h"
#include "testing/daemon_process.h"

#include <gtest/gtest.h>

using namespace ferrule_test;
using namespace std::chrono_literals;

TEST(StatusPageInBrowser, ShowsTheRepeaterAndTheLink) {
    bridge_rig rig({}, {}, 120);
    ASSERT_TRUE(rig.wait_for_login(30s)) << rig.daemon.output();
    ChildProcess check(FERRULE_PYTHON, rig.dir.path(),
                       {FERRULE_BROWSER_CHECK, "--url",
                        "http://127.0.0.1:" + std::to_string(rig.ports.status) + "/", "--callsign",
                        bridge_rig_defaults::CALLSIGN, "--state", "logged in", "--screenshot",
                        FERRULE_SCREENSHOT, "--chromium", FERRULE_CHROMIUM, "--chromedriver",
                        FERRULE_CHROMEDRIVER, "--seconds", "60"},
                       "check.txt");
    // The check ends itself, browser and all, within its 60 s.
    EXPECT_EQ(check.wait_exit(90s), 0) << check.output();
    EXPECT_EQ(rig.stop(), 0);
}
