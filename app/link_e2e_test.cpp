// The link end to end: the built daemon on loopback with the network peer
// played by sockets of this test. The one test here that waits for a real
// time-out: it shows the peer timer thread ticking the daemon's own peer table
// and login state; the time-outs themselves are unit-tested with a hand-set
// clock.

#include "testing/daemon_process.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <sys/socket.h>

using namespace std::chrono_literals;
using namespace ferrule_test;
using steady = std::chrono::steady_clock;

namespace {

const std::string RPTACK_7("RPTACK\0\0\0\x07", 10);

void send_text(int fd, const std::string &d, const sockaddr_in &to) {
    sendto(fd, d.data(), d.size(), 0, reinterpret_cast<const sockaddr *>(&to), sizeof to);
}

// The first datagram of `length` bytes, empty when none came within `timeout`.
std::string receive(int fd, std::size_t length, std::chrono::seconds timeout) {
    char got[512];
    for (auto end = steady::now() + timeout; steady::now() < end;) {
        const ssize_t n = recv(fd, got, sizeof got, 0);
        if (n == static_cast<ssize_t>(length)) {
            return {got, length};
        }
    }
    return {};
}

} // namespace

TEST(LinkEndToEnd, OnlyThePeerDrivesTheLoginAndASilentPeerIsDroppedAfter35Seconds) {
    ScratchDir dir;
    DaemonPorts ports;
    dir.write("f.cfg", loopback_config(ports));
    const int intruder = bound_udp_socket("127.0.0.3", static_cast<std::uint16_t>(ports.peer));
    const int peer = bound_udp_socket("127.0.0.1", static_cast<std::uint16_t>(ports.peer));
    DaemonProcess daemon(dir.path(), {"f.cfg"});
    ASSERT_TRUE(daemon.wait_for_output("Start MMDV  Modul  V0.03 Beta\n\033[0m", 5s))
        << daemon.output();
    const sockaddr_in link = endpoint("127.0.0.1", static_cast<std::uint16_t>(ports.link_local));

    // The link socket is bound once the banner is out; a stranger's RPTACK
    // from the peer's port on another address is dropped.
    bool dropped = false;
    for (int i = 0; i < 20 && !dropped; ++i) {
        send_text(intruder, RPTACK_7, link);
        dropped = daemon.wait_for_output(".....recv from 127.0.0.3:", 200ms);
    }
    ASSERT_TRUE(dropped) << daemon.output();

    // The configured peer walks the login to the end and is recorded.
    send_text(peer, RPTACK_7, link);
    EXPECT_EQ(receive(peer, 40, 2s).substr(0, 8), std::string("RPTK\0\0\0\x07", 8));
    send_text(peer, RPTACK_7, link);
    ASSERT_EQ(receive(peer, 302, 2s).substr(0, 8), std::string("RPTC\0\0\0\x07", 8));
    const auto recorded = steady::now();
    ASSERT_TRUE(daemon.wait_for_output("INSERT NR.0 MMDVM INDEX:<:127.0.0.1-:", 2s));

    // Silent from here on: dropped 34 to 35 s after it was recorded, and the
    // login starts again, so the next RPTACK is answered with RPTK.
    ASSERT_TRUE(daemon.wait_for_output("TIME OUT MMDV INDEX:<:127.0.0.1-:", 40s))
        << daemon.output();
    const double after = std::chrono::duration<double>(steady::now() - recorded).count();
    EXPECT_GE(after, 33.5);
    EXPECT_LE(after, 36.5);
    send_text(peer, RPTACK_7, link);
    EXPECT_EQ(receive(peer, 40, 2s).substr(0, 4), "RPTK") << daemon.output();

    const std::string out = daemon.output();
    EXPECT_NE(out.find(".....recv RPTACK 0:7\n.....send RPTK:7\n.....recv RPTACK 1:7\n"
                       ".....send RPTC:7\n"),
              std::string::npos)
        << out;
    EXPECT_EQ(out.find("NOT THE PEER"), out.rfind("NOT THE PEER")) << "once a minute per source";
    char got[512];
    EXPECT_LT(recv(intruder, got, sizeof got, MSG_DONTWAIT), 0) << "the intruder got an answer";
    close(intruder);
    close(peer);
}
