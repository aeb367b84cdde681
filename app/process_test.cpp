#include "testing/daemon_process.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <dirent.h>

using namespace std::chrono_literals;
using ferrule_test::DaemonPorts;
using ferrule_test::DaemonProcess;
using ferrule_test::ScratchDir;

namespace {

const char *const banner = "\n\nMaster ferrule 7.12.20 initialized...entering processing\n";

// errno of binding a UDP socket to address:port, 0 when the bind succeeded.
int bind_errno(const char *address, int port) {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    inet_pton(AF_INET, address, &a.sin_addr);
    int result = bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 ? 0 : errno;
    close(fd);
    return result;
}

TEST(Process, NoArgumentReadsDefaultFileAndStopsOnInterrupt) {
    ScratchDir dir;
    DaemonPorts ports;
    dir.write("ferrule.cfg", loopback_config(ports));
    DaemonProcess daemon(dir.path(), {});
    ASSERT_TRUE(daemon.wait_for_output(banner, 5s)) << daemon.output();
    std::string out = daemon.output();
    EXPECT_NE(out.find("Usage: ferrule <configFile> \nExample: ferrule ferrule.cfg \n"
                       "Reading file ferrule.cfg\n"),
              std::string::npos)
        << out;
    daemon.signal(SIGINT);
    EXPECT_EQ(daemon.wait_exit(5s), 0);
    out = daemon.output();
    EXPECT_NE(out.find("sigCatch errno=2\nERROR:Interrupt (ANSI)"), std::string::npos) << out;
    EXPECT_EQ(out.substr(out.size() - 12), "EXIT MASTER\n");
    std::string report = ferrule_test::read_file(dir.path() / "error.txt");
    EXPECT_EQ(ferrule_test::count_of(report, "ERROR DMR MASTER:"), 1u);
    EXPECT_NE(report.find("signum=2\nFUNKTION:FUNCTION:read_config\n"), std::string::npos);
}

TEST(Process, FileFirstAndDetachFlagSecondStaysInForegroundAndAnUnwritableReportStillStops) {
    ScratchDir dir;
    DaemonPorts ports;
    dir.write("mine.cfg", loopback_config(ports));
    // A directory in the report's place cannot be opened for appending, even by root.
    std::filesystem::create_directory(dir.path() / "error.txt");
    DaemonProcess daemon(dir.path(), {"mine.cfg", "-d"});
    ASSERT_TRUE(daemon.wait_for_output(banner, 5s)) << daemon.output();
    daemon.signal(SIGINT);
    EXPECT_EQ(daemon.wait_exit(5s), 0);
    std::string out = daemon.output();
    EXPECT_NE(out.find("Reading file mine.cfg\n"), std::string::npos);
    EXPECT_EQ(out.find("Usage"), std::string::npos);
    EXPECT_EQ(out.find("daemon mode"), std::string::npos);
    EXPECT_NE(out.find("Could not write the signal report"), std::string::npos) << out;
    EXPECT_NE(out.find("EXIT MASTER\n"), std::string::npos);
}

TEST(Process, RepeaterPortsOpenAfterFiveSecondsOnTheConfiguredAddress) {
    ScratchDir dir;
    DaemonPorts ports;
    dir.write("f.cfg", loopback_config(ports, "127.0.0.1"));
    DaemonProcess daemon(dir.path(), {"f.cfg"});
    ASSERT_TRUE(daemon.wait_for_output(banner, 5s));
    EXPECT_EQ(bind_errno("127.0.0.1", ports.control), 0) << "nothing listens during the wait";
    bool all_bound = false;
    auto end = std::chrono::steady_clock::now() + 10s;
    while (!all_bound && std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(100ms);
        all_bound = bind_errno("127.0.0.1", ports.control) == EADDRINUSE &&
                    bind_errno("127.0.0.1", ports.voice) == EADDRINUSE &&
                    bind_errno("127.0.0.1", ports.rdac) == EADDRINUSE;
    }
    EXPECT_TRUE(all_bound);
    // Bound to one address only: the same ports on another loopback address are free.
    EXPECT_EQ(bind_errno("127.0.0.2", ports.control), 0);
    EXPECT_EQ(bind_errno("127.0.0.2", ports.rdac), 0);
    daemon.signal(SIGINT);
    EXPECT_EQ(daemon.wait_exit(5s), 0);
}

} // namespace

namespace {

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
        bound = bind_errno("127.0.0.1", ports.link_local) == EADDRINUSE;
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

} // namespace
