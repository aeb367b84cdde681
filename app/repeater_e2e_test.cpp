// The daemon against the simulated repeater on loopback: registration and the
// whole identity walk over real sockets.
#include "testing/daemon_process.h"
#include "testing/test_support.h"

#include <gtest/gtest.h>

#include <cstdlib>

using namespace ferrule_test;

TEST(SimulatedRepeater, IsRegisteredAndIdentifiedOverLoopback) {
    ScratchDir dir;
    DaemonPorts ports;
    dir.write("ferrule.cfg", loopback_config(ports));
    DaemonProcess daemon(dir.path(), {"ferrule.cfg"});
    const std::string sim =
        std::string(FERRULE_SIM_REPEATER) + " --control-port " + std::to_string(ports.control) +
        " --voice-port " + std::to_string(ports.voice) + " --rdac-port " +
        std::to_string(ports.rdac) + " --id 2621234 --callsign DB0TST --duration 12 --quiet > " +
        (dir.path() / "sim.txt").string();
    // Through the shell for the redirection; the command is made of this
    // test's own paths and numbers, and the test starts no threads.
    ASSERT_EQ(std::system(sim.c_str()), 0); // NOLINT(cert-env33-c,concurrency-mt-unsafe)
    EXPECT_TRUE(daemon.wait_for_output("Hytera_RPT Login ip 127.0.0.2", std::chrono::seconds(2)));
    EXPECT_TRUE(daemon.wait_for_output("Hytera_RPT Login Type:0 IP:127.0.0.2       ID:262123 "
                                       "Call:          DB0TST TX:439.2750  Shift:7.6",
                                       std::chrono::seconds(2)))
        << daemon.output();
    const std::string out = read_file(dir.path() / "sim.txt");
    EXPECT_NE(out.find("identified: the gateway acknowledged the radio data"), std::string::npos)
        << out;
    EXPECT_NE(out.find("port assignment for service 11: " + std::to_string(ports.voice)),
              std::string::npos);
    EXPECT_NE(out.find("port assignment for service 12: " + std::to_string(ports.rdac)),
              std::string::npos);
    daemon.signal(SIGINT);
    EXPECT_EQ(daemon.wait_exit(std::chrono::seconds(5)), 0);
}
