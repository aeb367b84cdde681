// The link end to end: the built daemon on loopback, a repeater played here
// over UDP, and the network peer played either by the simulated peer or by a
// socket of the test.

#include "testing/daemon_process.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using ferrule_test::DaemonPorts;
using ferrule_test::DaemonProcess;
using ferrule_test::endpoint;
using ferrule_test::ScratchDir;
using steady = std::chrono::steady_clock;

namespace {

int bound_socket(const char *address, int port) {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a = endpoint(address, port);
    if (bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
        close(fd);
        return -1;
    }
    timeval tv{0, 200000};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    return fd;
}

void send_bytes(int fd, const std::vector<std::uint8_t> &d, const sockaddr_in &to) {
    sendto(fd, d.data(), d.size(), 0, reinterpret_cast<const sockaddr *>(&to), sizeof to);
}

std::vector<std::uint8_t> text_bytes(const std::string &s) {
    return {s.begin(), s.end()};
}

// Position of each needle in order, npos from the first one missing.
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

std::size_t count(const std::string &text, const std::string &what) {
    std::size_t n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
        ++n;
    }
    return n;
}

// A repeater at 127.0.0.2: a keep-alive on the control port registers it, and
// it answers the identity walk the daemon starts with the two answers that
// carry its call sign, DMR ID and frequencies. Keep-alives go on every 5 s in
// the background until stopped.
class test_repeater {
  public:
    explicit test_repeater(const DaemonPorts &ports)
        : control_(bound_socket("127.0.0.2", 0)), rdac_(bound_socket("127.0.0.2", ports.rdac)),
          daemon_control_(endpoint("127.0.0.1", ports.control)),
          daemon_rdac_(endpoint("127.0.0.1", ports.rdac)) {}
    ~test_repeater() {
        stop_keepalive();
        close(control_);
        close(rdac_);
    }

    // Registers and answers the identity walk; false when the daemon never asked.
    bool identify(std::chrono::seconds timeout) {
        auto end = steady::now() + timeout;
        std::uint8_t buffer[512];
        while (steady::now() < end) {
            keepalive();
            if (recv(rdac_, buffer, sizeof buffer, 0) > 0) {
                send_bytes(rdac_, identity_answer(), daemon_rdac_);
                std::this_thread::sleep_for(50ms);
                send_bytes(rdac_, radio_data_answer(), daemon_rdac_);
                start_keepalive();
                return true;
            }
        }
        return false;
    }

    void stop_keepalive() {
        running_ = false;
        if (keepalive_thread_.joinable()) {
            keepalive_thread_.join();
        }
    }

  private:
    void keepalive() { send_bytes(control_, std::vector<std::uint8_t>(20, 0x5A), daemon_control_); }

    void start_keepalive() {
        running_ = true;
        keepalive_thread_ = std::thread([this] {
            auto next = steady::now();
            while (running_) {
                if (steady::now() >= next) {
                    keepalive();
                    next = steady::now() + 5s;
                }
                std::this_thread::sleep_for(50ms);
            }
        });
    }

    static std::vector<std::uint8_t> identity_answer() {
        std::vector<std::uint8_t> d(225, 0);
        d[0] = 0x7E;
        d[1] = 0x04;
        const char *call = "DB0ABC";
        for (std::size_t i = 0; call[i] != 0; ++i) {
            d[88 + 2 * i] = static_cast<std::uint8_t>(call[i]);
        }
        return d;
    }
    static void little_endian(std::vector<std::uint8_t> &d, std::size_t at, std::uint32_t v,
                              int n) {
        for (int i = 0; i < n; ++i) {
            d[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(v >> (8 * i));
        }
    }
    static std::vector<std::uint8_t> radio_data_answer() {
        std::vector<std::uint8_t> d(71, 0);
        d[0] = 0x7E;
        d[1] = 0x04;
        little_endian(d, 18, 26201, 3);
        little_endian(d, 29, 431100000, 4); // RX
        little_endian(d, 33, 438500000, 4); // TX
        return d;
    }

    int control_;
    int rdac_;
    sockaddr_in daemon_control_;
    sockaddr_in daemon_rdac_;
    std::atomic<bool> running_{false};
    std::thread keepalive_thread_;
};

// The simulated peer as a child process; only this child is ever signalled.
class sim_peer {
  public:
    sim_peer(const std::filesystem::path &dir, int port) : output_(dir / "peer.txt") {
        pid_ = fork();
        if (pid_ == 0) {
            if (std::freopen(output_.c_str(), "w", stdout) == nullptr) {
                _exit(127);
            }
            std::string p = std::to_string(port);
            execl(FERRULE_SIM_PEER, FERRULE_SIM_PEER, "--port", p.c_str(), "--duration", "200",
                  static_cast<char *>(nullptr));
            _exit(127);
        }
    }
    ~sim_peer() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    std::string output() const { return ferrule_test::read_file(output_); }
    void toggle_silence() const { kill(pid_, SIGUSR1); }
    bool wait_for(const std::string &text, std::chrono::milliseconds timeout) const {
        auto end = steady::now() + timeout;
        while (steady::now() < end) {
            if (output().find(text) != std::string::npos) {
                return true;
            }
            std::this_thread::sleep_for(20ms);
        }
        return false;
    }

  private:
    std::filesystem::path output_;
    pid_t pid_ = -1;
};

const std::vector<std::string> LOGIN_LINES = {
    ".....send RPTL:26201\n",     ".....recv RPTACK 0:1\n", ".....send RPTK:1\n",
    ".....recv RPTACK 1:26201\n", ".....send RPTC:26201\n", "INSERT NR.0 MMDVM INDEX:<:127.0.0.1-:",
    ".....recv RPTACK 2:26201\n"};

TEST(LinkEndToEnd, IdentifiedRepeaterLogsInToTheSimulatedPeer) {
    ScratchDir dir;
    DaemonPorts ports;
    dir.write("f.cfg", loopback_config(ports));
    sim_peer peer(dir.path(), ports.peer);
    DaemonProcess daemon(dir.path(), {"f.cfg"});
    ASSERT_TRUE(daemon.wait_for_output("Start MMDV  Modul  V0.03 Beta\n", 5s)) << daemon.output();
    test_repeater repeater(ports);
    ASSERT_TRUE(repeater.identify(15s)) << daemon.output();
    ASSERT_TRUE(daemon.wait_for_output(".....recv RPTACK 2:", 20s)) << daemon.output();
    std::string out = daemon.output();
    EXPECT_TRUE(in_order(out, LOGIN_LINES)) << out;
    EXPECT_NE(out.find("CALL:<DB0ABC  > ID:<26201> RX-QRG:<438.5000> TX-QRG:<431.1000> "
                       "IP:<127.0.0.1> PORT:<" +
                       std::to_string(ports.peer) + ">\n"),
              std::string::npos)
        << out;
    std::string seen = peer.output();
    EXPECT_NE(seen.find("RPTL id=26201\n"), std::string::npos) << seen;
    EXPECT_NE(seen.find("RPTK ack=1 digest=656D5E58117B20C38124DEB46EFF2A23"), std::string::npos)
        << seen;
    // The repeater's TX frequency goes out in the field the peer reads as its RX.
    EXPECT_NE(seen.find("RPTC id=26201 callsign=[DB0ABC  ] rx=[438500000] tx=[431100000] "
                        "power=[05] cc=[01] lat=["),
              std::string::npos)
        << seen;
    daemon.signal(SIGINT);
    EXPECT_EQ(daemon.wait_exit(5s), 0);
}

// The one slow test of the peer timer: pings keep the link, and a peer that
// stops answering is dropped 34 to 35 s after its last pong, after which the
// next 6 s tick logs in again.
TEST(LinkEndToEnd, PingsKeepTheLinkAndASilentPeerIsDroppedThenLoggedInAgain) {
    ScratchDir dir;
    DaemonPorts ports;
    dir.write("f.cfg", loopback_config(ports));
    sim_peer peer(dir.path(), ports.peer);
    DaemonProcess daemon(dir.path(), {"f.cfg"});
    ASSERT_TRUE(daemon.wait_for_output("Start MMDV", 5s));
    test_repeater repeater(ports);
    ASSERT_TRUE(repeater.identify(15s));
    ASSERT_TRUE(daemon.wait_for_output(".....recv RPTACK 2:", 20s)) << daemon.output();

    ASSERT_TRUE(peer.wait_for("send MSTPONG", 40s)) << peer.output();
    auto last_pong = steady::now();
    peer.toggle_silence();
    EXPECT_NE(peer.output().find("RPTPING id=26201\n"), std::string::npos);
    EXPECT_EQ(daemon.output().find("TIME OUT MMDV"), std::string::npos) << "the pong kept it";

    ASSERT_TRUE(daemon.wait_for_output("TIME OUT MMDV INDEX:<:127.0.0.1-:", 40s))
        << daemon.output();
    auto dropped_after = std::chrono::duration<double>(steady::now() - last_pong).count();
    EXPECT_GE(dropped_after, 33.5);
    EXPECT_LE(dropped_after, 36.0);

    const std::size_t logins = count(daemon.output(), ".....send RPTL:26201\n");
    auto deadline = steady::now() + 8s;
    while (steady::now() < deadline && count(daemon.output(), ".....send RPTL:26201\n") == logins) {
        std::this_thread::sleep_for(50ms);
    }
    EXPECT_GT(count(daemon.output(), ".....send RPTL:26201\n"), logins) << daemon.output();
    daemon.signal(SIGINT);
    EXPECT_EQ(daemon.wait_exit(5s), 0);
}

TEST(LinkEndToEnd, RptackFromAnotherAddressIsIgnored) {
    ScratchDir dir;
    DaemonPorts ports;
    dir.write("f.cfg", loopback_config(ports));
    DaemonProcess daemon(dir.path(), {"f.cfg"});
    ASSERT_TRUE(daemon.wait_for_output("Start MMDV", 5s));
    int intruder = bound_socket("127.0.0.3", ports.peer);
    int peer = bound_socket("127.0.0.1", ports.peer);
    ASSERT_GE(intruder, 0);
    ASSERT_GE(peer, 0);
    const sockaddr_in link = endpoint("127.0.0.1", ports.link_local);
    const auto rptack = text_bytes(std::string("RPTACK\0\0\0\x07", 10));
    std::uint8_t got[512];

    ASSERT_TRUE(daemon.wait_for_output("\033[0m", 2s));
    bool dropped = false;
    for (int i = 0; i < 20 && !dropped; ++i) {
        send_bytes(intruder, rptack, link);
        dropped = daemon.wait_for_output(".....recv from 127.0.0.3:", 200ms);
    }
    ASSERT_TRUE(dropped) << daemon.output();
    EXPECT_LT(recv(intruder, got, sizeof got, 0), 0) << "no RPTK for the intruder";
    EXPECT_EQ(daemon.output().find(".....recv RPTACK"), std::string::npos);

    // The configured peer drives the login as before.
    send_bytes(peer, rptack, link);
    ASSERT_EQ(recv(peer, got, sizeof got, 0), 40);
    EXPECT_EQ(std::memcmp(got, "RPTK\0\0\0\x07", 8), 0);
    EXPECT_TRUE(daemon.wait_for_output(".....recv RPTACK 0:7\n.....send RPTK:7\n", 2s));
    EXPECT_EQ(count(daemon.output(), "NOT THE PEER"), 1u) << "at most once a minute per source";
    close(intruder);
    close(peer);
    daemon.signal(SIGINT);
    EXPECT_EQ(daemon.wait_exit(5s), 0);
}

// The one slow test of the repeater time-out: RPTCL with the repeater's ID
// goes to the peer over the link socket.
TEST(LinkEndToEnd, RepeaterTimeOutSendsCloseWithItsIdOnTheLink) {
    ScratchDir dir;
    DaemonPorts ports;
    dir.write("f.cfg", loopback_config(ports));
    int peer = bound_socket("127.0.0.1", ports.peer);
    ASSERT_GE(peer, 0);
    DaemonProcess daemon(dir.path(), {"f.cfg"});
    ASSERT_TRUE(daemon.wait_for_output("Start MMDV", 5s));
    test_repeater repeater(ports);
    ASSERT_TRUE(repeater.identify(15s));
    ASSERT_TRUE(daemon.wait_for_output("Hytera_RPT Login Type", 5s)) << daemon.output();
    repeater.stop_keepalive();

    bool closed = false;
    std::uint8_t got[512];
    auto end = steady::now() + 45s;
    while (!closed && steady::now() < end) {
        ssize_t n = recv(peer, got, sizeof got, 0);
        closed = n == 9 && std::memcmp(got, "RPTCL\0\0\x66\x59", 9) == 0;
    }
    EXPECT_TRUE(closed) << daemon.output();
    EXPECT_TRUE(daemon.wait_for_output(".....send RPTCL:26201\n", 2s));
    close(peer);
    daemon.signal(SIGINT);
    EXPECT_EQ(daemon.wait_exit(5s), 0);
}

} // namespace
