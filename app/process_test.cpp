// The built daemon alone, its surroundings played by this test: how it
// starts, stops and fails, and its link with the network peer played by
// sockets of this test. The link test is the one that waits for a real
// time-out: it shows the peer timer thread ticking the daemon's own peer table
// and login state; the time-outs themselves are unit-tested with a hand-set
// clock.
#include "testing/daemon_process.h"
#include "testing/text_checks.h"

#include <gtest/gtest.h>

#include <chrono>
#include <dirent.h>

using namespace std::chrono_literals;
using namespace ferrule_test;
using steady = std::chrono::steady_clock;

namespace {

const char *const banner = "\n\nMaster ferrule 7.12.20 initialized...entering processing\n";

// "f.cfg line N" for the Nth line appended to the test configuration,
// wherever the configuration's own lines end.
std::string appended_line(const DaemonPorts &ports, std::size_t n = 1) {
    return "f.cfg line " + std::to_string(ferrule_test::count_of(loopback_config(ports), "\n") + n);
}

// Whether the daemon holds a UDP port on the address.
bool port_held(const char *address, int port) {
    return !ferrule_test::port_bindable(address, SOCK_DGRAM, port);
}

TEST(Process, NoArgumentReadsTheDefaultFileAndInterruptTerminateQuitStopInOrder) {
    for (int signum : {SIGINT, SIGTERM, SIGQUIT}) {
        ScratchDir dir;
        DaemonPorts ports;
        dir.write("ferrule.cfg", loopback_config(ports));
        DaemonProcess daemon(dir.path(), {});
        // The link thread's first lines too: a stop signalled before they are
        // out would see them follow the last line (seen under ThreadSanitizer).
        ASSERT_TRUE(daemon.wait_for_output("V0.03 Beta\n\033[0m", 5s)) << daemon.output();
        daemon.signal(signum);
        EXPECT_EQ(daemon.wait_exit(5s), 0) << signum;
        const std::string out = daemon.output();
        EXPECT_TRUE(contains(out, "Usage: ferrule <configFile> \nExample: ferrule ferrule.cfg \n"
                                  "Reading file ferrule.cfg\n"));
        EXPECT_TRUE(contains(out, "sigCatch errno=" + std::to_string(signum) + "\nERROR:"));
        EXPECT_EQ(out.substr(out.size() - 12), "EXIT MASTER\n");
        std::string report = ferrule_test::read_file(dir.path() / "error.txt");
        EXPECT_EQ(ferrule_test::count_of(report, "ERROR DMR MASTER:"), 1u) << signum;
        EXPECT_TRUE(contains(report, "signum=" + std::to_string(signum) +
                                         "\nFUNKTION:FUNCTION:read_config\n"));
    }
}

// Slips an operator makes, each a line appended to a valid configuration, and
// the one warning each gives; the daemon runs on.
const struct {
    const char *line;
    const char *warning; // after "f.cfg line N: "
} slips[] = {
    {"DMRGateway_adress=127.0.0.1",
     "unknown key \"DMRGateway_adress\" ignored; did you mean DMRGateway_address?"},
    {"DMRGateway_mode =master",
     "blank around the key DMRGateway_mode, so the line is ignored; write it as "
     "DMRGateway_mode=value"},
    {"DMRGateway_password=pass#word", "the line of DMRGateway_password is ignored whole because "
                                      "it holds \"#\"; a value cannot hold \"#\" and a comment "
                                      "needs a line of its own"},
    {"Location_Height=12O", "Location_Height=12O read as 12"},
    {"Location_Watt=100", "Location_Watt \"100\" cut to its first 2 characters \"10\""},
    {"Location_Name=Hamburg Mitte",
     "Location_Name \"Hamburg Mitte\" cut to its first word \"Hamburg\""},
    {"Location_Description=Hytera RD985 on the hill",
     "Location_Description \"Hytera RD985 on the hill\" cut to its first 19 characters "
     "\"Hytera RD985 on the\""},
    {"DMRGateway_password=secret ",
     "DMRGateway_password begins or ends with a blank, which is kept as part of it"},
};

// Also: a peer whose name does not resolve (at boot the resolver may come up
// after the daemon) keeps it running, saying so once per attempt.
TEST(Process, PortsOpenBeforeTheThreadsAHangupIsIgnoredAndEverySlipIsNamed) {
    ScratchDir dir;
    DaemonPorts ports;
    std::string config = loopback_config(ports, "127.0.0.1");
    for (const auto &slip : slips) {
        config += std::string(slip.line) + "\n";
    }
    dir.write("f.cfg", config + "DMRGateway_address=peer.invalid\n");
    DaemonProcess daemon(dir.path(), {"f.cfg"});
    ASSERT_TRUE(daemon.wait_for_output(banner, 5s)) << daemon.output();
    EXPECT_TRUE(daemon.wait_for_output("DMRGateway_address peer.invalid does not resolve (", 5s));
    for (int port : {ports.control, ports.voice, ports.rdac, ports.link_local}) {
        EXPECT_TRUE(port_held("127.0.0.1", port)) << port;
    }
    // Bound to the configured address only: the same port on another is free.
    EXPECT_FALSE(port_held("127.0.0.2", ports.control));
    const std::string out = daemon.output();
    for (std::size_t i = 0; i < std::size(slips); ++i) {
        EXPECT_TRUE(
            contains_once(out, appended_line(ports, i + 1) + ": " + slips[i].warning + "\n"))
            << slips[i].line;
    }
    // The test writes its files readable by all.
    EXPECT_TRUE(contains_once(out, "f.cfg holds DMRGateway_password and other local users may "
                                   "read it (mode 0644"));
    daemon.signal(SIGHUP);
    EXPECT_TRUE(daemon.wait_for_output("(SIGHUP) ignored", 5s)) << daemon.output();
    EXPECT_EQ(daemon.wait_exit(1500ms), -1) << "a hang-up does not stop it";
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "error.txt"));
    EXPECT_EQ(count_of(daemon.output(), "DMRGateway_address peer.invalid does not resolve"), 1U);
    daemon.signal(SIGTERM);
    EXPECT_EQ(daemon.wait_exit(5s), 0);
}

struct FatalCase {
    const char *name;
    std::string line;     // appended to a valid configuration
    bool hold_voice_port; // another program holds the voice port
    std::string expected; // in the one line that says why
    bool detach = false;  // started with -d: the failure comes before detaching
    const char *named = "f.cfg";
};

TEST(Process, FatalConfigurationStopsAtStartWithStatusOne) {
    DaemonPorts ports;
    const FatalCase cases[] = {
        {"port too large", "Hytera_RPT_PORT=99999\n", false,
         appended_line(ports) + ": Hytera_RPT_PORT=99999 is not a port number from 1 to 65535"},
        {"port in use", "", true,
         "Cannot bind the repeater voice socket to 127.0.0.1:" + std::to_string(ports.voice) +
             ": Address already in use; ferrule stops\n"},
        {"unknown link mode", "DMRGateway_mode=peer\n", false,
         "DMRGateway_mode=peer is not a link mode: use login, gateway or master\n"},
        // TEST-NET-1, never an address of this machine.
        {"address not here", "DMRGateway_local_address=192.0.2.1\n", false,
         "Cannot bind the network link socket to 192.0.2.1:", true},
        // Named files it cannot read, even as root.
        {"named file missing", "", false,
         "Cannot read the configuration file missing.cfg (No such file or directory); ferrule "
         "stops\n",
         false, "missing.cfg"},
        {"named file a directory", "", false,
         "Cannot read the configuration file . (Is a directory); ferrule stops\n", true, "."},
    };
    for (const FatalCase &c : cases) {
        const int held = socket(AF_INET, SOCK_DGRAM, 0);
        if (c.hold_voice_port) {
            sockaddr_in at =
                ferrule_test::endpoint("127.0.0.1", static_cast<std::uint16_t>(ports.voice));
            ASSERT_EQ(bind(held, reinterpret_cast<sockaddr *>(&at), sizeof at), 0);
        }
        ScratchDir dir;
        dir.write("f.cfg", loopback_config(ports) + c.line);
        std::vector<std::string> args{c.named};
        if (c.detach) {
            args.insert(args.begin(), "-d");
        }
        DaemonProcess daemon(dir.path(), args);
        EXPECT_EQ(daemon.wait_exit(5s), 1) << c.name;
        close(held);
        std::string out = daemon.output();
        EXPECT_TRUE(ferrule_test::contains_once(out, c.expected)) << c.name;
        EXPECT_EQ(out.find("initialized"), std::string::npos) << c.name;
        EXPECT_EQ(out.find("Start"), std::string::npos) << "no thread ran: " << c.name;
        EXPECT_EQ(out.find("defaults"), std::string::npos) << c.name;
        // The ports it bound before the failing one are free again.
        EXPECT_FALSE(port_held("127.0.0.1", ports.control)) << c.name;
    }
}

TEST(Process, WithoutArgumentOrDefaultFileItRunsOnTheDefaults) {
    ScratchDir dir;
    DaemonProcess daemon(dir.path(), {});
    // The default ports may be another program's: binding them is not the point.
    const bool started = daemon.wait_for_output(banner, 5s);
    if (started) {
        daemon.signal(SIGTERM);
    }
    EXPECT_EQ(daemon.wait_exit(5s), started ? 0 : 1);
    EXPECT_TRUE(contains_once(daemon.output(),
                              "No configuration read from ferrule.cfg (No such file or directory): "
                              "running on the built-in defaults\n"))
        << daemon.output();
}

TEST(Process, HelpVersionAndUnknownOption) {
    struct {
        const char *arg;
        int status;
        const char *output_begins;
    } const cases[] = {
        {"--help", 0, "Usage: ferrule [-d] [configFile]\n"},
        {"--version", 0, "ferrule 7.12.20\n"},
        {"--hlep", 1, "Unknown option --hlep\nUsage:"},
    };
    for (const auto &c : cases) {
        ScratchDir dir;
        DaemonProcess daemon(dir.path(), {c.arg});
        EXPECT_EQ(daemon.wait_exit(5s), c.status) << c.arg;
        EXPECT_EQ(daemon.output().rfind(c.output_begins, 0), 0u) << daemon.output();
        EXPECT_EQ(daemon.output().find("Reading file"), std::string::npos) << c.arg;
    }
}

// The detached daemon is a child of our child; it is found by its working
// directory, which is a scratch directory of this test alone.
pid_t find_daemon_in(const std::filesystem::path &workdir) {
    for (const auto &entry : std::filesystem::directory_iterator("/proc")) {
        std::error_code ec;
        auto cwd = std::filesystem::read_symlink(entry.path() / "cwd", ec);
        auto exe = std::filesystem::read_symlink(entry.path() / "exe", ec);
        if (!ec && cwd == workdir && exe.filename() == "ferrule") {
            return static_cast<pid_t>(std::stol(entry.path().filename().string()));
        }
    }
    return -1;
}

bool process_gone(pid_t pid) {
    std::string state = ferrule_test::read_file("/proc/" + std::to_string(pid) + "/stat");
    // Gone, or a zombie waiting for a parent that is not us.
    return state.empty() || state.find(") Z") != std::string::npos;
}

TEST(Process, DetachAloneFallsBackToDefaultFileAndReportsInterrupt) {
    ScratchDir dir;
    DaemonPorts ports;
    dir.write("ferrule.cfg", loopback_config(ports));
    DaemonProcess parent(dir.path(), {"-d"});
    ASSERT_EQ(parent.wait_exit(5s), 0) << "the foreground process ends after detaching";
    pid_t daemon = -1;
    for (int i = 0; i < 100 && daemon == -1; ++i) {
        daemon = find_daemon_in(dir.path());
        std::this_thread::sleep_for(20ms);
    }
    ASSERT_GT(daemon, 0);
    // The configured link port being taken shows ferrule.cfg was read.
    bool bound = false;
    for (int i = 0; i < 100 && !bound; ++i) {
        std::this_thread::sleep_for(20ms);
        bound = port_held("127.0.0.1", ports.link_local);
    }
    EXPECT_TRUE(bound);
    kill(daemon, SIGINT);
    bool gone = false;
    for (int i = 0; i < 250 && !gone; ++i) {
        std::this_thread::sleep_for(20ms);
        gone = process_gone(daemon);
    }
    if (!gone) {
        kill(daemon, SIGKILL);
    }
    EXPECT_TRUE(gone);
    EXPECT_NE(ferrule_test::read_file(dir.path() / "error.txt").find("signum=2\n"),
              std::string::npos);
}

const std::string RPTACK_7("RPTACK\0\0\0\x07", 10);

// The first datagram of `length` bytes, empty when none came within `timeout`.
std::string receive(const udp_socket &s, std::size_t length, std::chrono::seconds timeout) {
    std::uint16_t port = 0;
    for (auto end = steady::now() + timeout; steady::now() < end;) {
        const std::vector<std::uint8_t> d = s.receive(port, 200);
        if (d.size() == length) {
            return {d.begin(), d.end()};
        }
    }
    return {};
}

TEST(LinkEndToEnd, OnlyThePeerDrivesTheLoginAndASilentPeerIsDroppedAfter35Seconds) {
    ScratchDir dir;
    DaemonPorts ports;
    dir.write("f.cfg", loopback_config(ports));
    const udp_socket intruder("127.0.0.3", static_cast<std::uint16_t>(ports.peer));
    const udp_socket peer("127.0.0.1", static_cast<std::uint16_t>(ports.peer));
    DaemonProcess daemon(dir.path(), {"f.cfg"});
    ASSERT_TRUE(daemon.wait_for_output("Start MMDV  Modul  V0.03 Beta\n\033[0m", 5s))
        << daemon.output();
    const sockaddr_in link = endpoint("127.0.0.1", static_cast<std::uint16_t>(ports.link_local));

    // The link socket is bound once the banner is out; a stranger's RPTACK
    // from the peer's port on another address is dropped.
    bool dropped = false;
    for (int i = 0; i < 20 && !dropped; ++i) {
        intruder.send(RPTACK_7, link);
        dropped = daemon.wait_for_output(".....recv from 127.0.0.3:", 200ms);
    }
    ASSERT_TRUE(dropped) << daemon.output();

    // The configured peer walks the login to the end and is recorded.
    peer.send(RPTACK_7, link);
    EXPECT_EQ(receive(peer, 40, 2s).substr(0, 8), std::string("RPTK\0\0\0\x07", 8));
    peer.send(RPTACK_7, link);
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
    peer.send(RPTACK_7, link);
    EXPECT_EQ(receive(peer, 40, 2s).substr(0, 4), "RPTK") << daemon.output();

    const std::string out = daemon.output();
    EXPECT_TRUE(contains(out, ".....recv RPTACK 0:7\n.....send RPTK:7\n.....recv RPTACK 1:7\n"
                              ".....send RPTC:7\n"));
    EXPECT_EQ(out.find("NOT THE PEER"), out.rfind("NOT THE PEER")) << "once a minute per source";
    std::uint16_t from = 0;
    EXPECT_TRUE(intruder.receive(from, 0).empty()) << "the intruder got an answer";
}

} // namespace
