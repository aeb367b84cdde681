// Soak run: the daemon between the simulated repeaters and the simulated peer
// on loopback, calls both ways on both time slots for a bounded time, and
// between them bursts of noise from strangers at every port. It passes when
// every frame arrived in order and byte for byte, the login stayed up, no
// stranger at a link port got an answer, and the daemon's resident memory
// and thread count did not grow.
//
// Two runs share the time: one repeater with the peer as the login mode's
// DMRGateway, then two repeaters in the master mode, each on its own link,
// with the network's calls going to the second (--mode picks one of them).
//
//   ferrule_soak [--seconds N] [--mode both|login|master] [--noise-every-ms N]
//                [--noise-burst N]
//
// Exit status 0 on a pass, 1 on a fault; the figures go to standard output.

#include "core/log.h"
#include "testing/bridge_rig.h"
#include "testing/call_check.h"
#include "testing/master_pair.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <optional>
#include <poll.h>
#include <random>
#include <thread>

using namespace ferrule_test;
using namespace std::chrono_literals;

namespace {

struct options {
    double seconds = 120;
    std::string mode = "both";
    int noise_every_ms = 1000;
    int noise_burst = 50; // datagrams per port per burst
};

// A stranger: its own address on loopback, one socket per target port. It
// never sends what the repeater protocol takes from anyone as a registration
// (a 1-byte voice datagram, a 20-byte keep-alive or a 24-byte service request
// on the control port): those make the sender a repeater by design.
class noise_maker {
  public:
    noise_maker(const std::vector<std::uint16_t> &ports, std::vector<std::uint16_t> link_ports)
        : link_ports_(std::move(link_ports)) {
        for (std::uint16_t port : ports) {
            const int fd = socket(AF_INET, SOCK_DGRAM, 0);
            const sockaddr_in local = endpoint("127.0.0.3", 0);
            if (fd < 0 || bind(fd, reinterpret_cast<const sockaddr *>(&local), sizeof local) != 0) {
                std::perror("stranger socket");
                std::exit(1);
            }
            targets_.push_back({fd, port, 0});
        }
    }
    ~noise_maker() {
        for (const target &t : targets_) {
            close(t.fd);
        }
    }

    void burst(int count) {
        for (const target &t : targets_) {
            const sockaddr_in to = endpoint("127.0.0.1", t.port);
            for (int i = 0; i < count; ++i) {
                std::array<std::uint8_t, 400> d{};
                const std::size_t n = datagram(t.port, d);
                if (sendto(t.fd, d.data(), n, 0, reinterpret_cast<const sockaddr *>(&to),
                           sizeof to) >= 0) {
                    ++sent_;
                }
            }
        }
    }

    // Whatever came back; only the link port's stranger must hear nothing.
    void drain() {
        std::uint8_t b[512];
        for (target &t : targets_) {
            while (recv(t.fd, b, sizeof b, MSG_DONTWAIT) >= 0) {
                ++t.answers;
            }
        }
    }

    unsigned long sent() const { return sent_; }
    unsigned long answers(std::uint16_t port) const {
        unsigned long n = 0;
        for (const target &t : targets_) {
            n += t.port == port ? t.answers : 0;
        }
        return n;
    }

  private:
    // Random bytes of random length, and on the link port also forged
    // messages of the peer's kinds, which only the peer may send.
    std::size_t datagram(std::uint16_t port, std::array<std::uint8_t, 400> &d) {
        std::size_t n = 0;
        do {
            n = std::uniform_int_distribution<std::size_t>(0, d.size())(random_);
        } while (n == 1 || n == 20 || n == 24);
        for (std::size_t i = 0; i < n; ++i) {
            d[i] = static_cast<std::uint8_t>(random_());
        }
        const bool link =
            std::find(link_ports_.begin(), link_ports_.end(), port) != link_ports_.end();
        if (link && random_() % 2 == 0) {
            static const char *const forged[] = {"RPTACK",  "RPTNAK", "MSTNAK", "MSTPONG",
                                                 "RPTPONG", "DMRD",   "MSTCL"};
            const char *tag = forged[random_() % std::size(forged)];
            n = std::strcmp(tag, "DMRD") == 0 ? 55 : std::strlen(tag) + 4;
            std::memcpy(d.data(), tag, std::strlen(tag));
        }
        return n;
    }

    struct target {
        int fd;
        std::uint16_t port;
        unsigned long answers;
    };
    std::vector<target> targets_;
    std::vector<std::uint16_t> link_ports_;
    std::mt19937 random_{20261207};
    unsigned long sent_ = 0;
};

bool parse(int argc, char **argv, options &o) {
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--seconds") == 0) {
            o.seconds = std::atof(argv[i + 1]);
        } else if (std::strcmp(argv[i], "--mode") == 0) {
            o.mode = argv[i + 1];
        } else if (std::strcmp(argv[i], "--noise-every-ms") == 0) {
            o.noise_every_ms = std::atoi(argv[i + 1]);
        } else if (std::strcmp(argv[i], "--noise-burst") == 0) {
            o.noise_burst = std::atoi(argv[i + 1]);
        } else {
            return false;
        }
    }
    return argc % 2 == 1 && o.seconds > 0 && o.noise_every_ms > 0 && o.noise_burst >= 0 &&
           (o.mode == "both" || o.mode == "login" || o.mode == "master");
}

void drop_log(const char *, void *) {}

// What both runs check the same way.
class verdict {
  public:
    void check(bool ok, const std::string &what) {
        if (!ok) {
            std::printf("FAULT: %s\n", what.c_str());
            pass_ = false;
        }
    }
    void faults(const call_check::result &r, const std::string &direction) {
        for (const auto &f : r.faults) {
            check(false, direction + " " + f);
        }
    }
    bool pass() const { return pass_; }

  private:
    bool pass_ = true;
};

std::uint16_t port16(int p) {
    return static_cast<std::uint16_t>(p);
}

// Runs the noise beside the calls until `done` says they are through or the
// time is up, then checks the daemon's figures and its orderly stop.
template <class Done>
void run_with_noise(const options &o, double seconds, const ChildProcess &daemon,
                    const DaemonPorts &ports, const std::vector<std::uint16_t> &link_ports,
                    Done done_now, verdict &v, const char *what) {
    std::vector<std::uint16_t> targets = {port16(ports.control), port16(ports.voice),
                                          port16(ports.rdac)};
    targets.insert(targets.end(), link_ports.begin(), link_ports.end());
    noise_maker noise(targets, link_ports);
    const auto start = std::chrono::steady_clock::now();
    const auto deadline = start + std::chrono::duration<double>(seconds * 2 + 60);
    process_figures warm{};
    bool done = false;
    while (!done && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(o.noise_every_ms));
        noise.burst(o.noise_burst);
        noise.drain();
        if (warm.rss_kib < 0 && std::chrono::steady_clock::now() - start > 5s) {
            warm = figures_of(daemon.pid()); // the first calls have touched what calls touch
        }
        done = done_now();
    }
    std::this_thread::sleep_for(1s); // the last frames in flight
    noise.drain();
    const process_figures end = figures_of(daemon.pid());
    const double took =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("soak %s: %.0f s; %lu noise datagrams from a stranger; answers: control %lu, "
                "voice %lu, rdac %lu",
                what, took, noise.sent(), noise.answers(port16(ports.control)),
                noise.answers(port16(ports.voice)), noise.answers(port16(ports.rdac)));
    for (std::uint16_t p : link_ports) {
        std::printf(", link %u %lu", static_cast<unsigned>(p), noise.answers(p));
        v.check(noise.answers(p) == 0, "a stranger at a link port got an answer");
    }
    std::printf("\nsoak %s: daemon resident %ld KiB after 5 s, %ld KiB at the end; threads %ld, "
                "%ld\n",
                what, warm.rss_kib, end.rss_kib, warm.threads, end.threads);
    v.check(done, "the calls did not finish in time");
    v.check(end.threads == warm.threads, "the thread count changed");
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    // The sanitizers' own shadow memory and histories grow with the run; the
    // plain build is the one that measures.
    constexpr bool measure_memory = false;
#else
    constexpr bool measure_memory = true;
#endif
    // A few pages of slack: stack and log buffers settle.
    v.check(!measure_memory || end.rss_kib <= warm.rss_kib + 256, "resident memory grew");
}

void stop_in_order(ChildProcess &daemon, verdict &v) {
    v.check(daemon.wait_exit(0ms) == -1, "the daemon stopped");
    daemon.signal(SIGINT);
    v.check(daemon.wait_exit(5s) == 0, "the daemon did not stop in order");
}

// One round of each side's calls takes a little under a second at 20 ms a
// burst; enough rounds to fill the time asked for. Frames per round:
// repeater 14 + 8, network (3 + 12 + 2) + (3 + 6 + 2) sent, of which 14 + 8
// reach the repeater.
constexpr std::size_t REPEATER_FRAMES_A_ROUND = 22;
constexpr std::size_t NETWORK_FRAMES_A_ROUND = 28;

const std::vector<std::string> PACE = {"--burst-ms", "20", "--call-gap-ms", "150"};

std::vector<std::string> calls(const std::vector<std::string> &base, int rounds, const char *first,
                               const char *second) {
    return bridge_rig::with(bridge_rig::with(PACE, base), {"--repeat", std::to_string(rounds),
                                                           "--call", first, "--call", second});
}

const char *const NETWORK_CALL_1 = "ts=2,src=2621234,dst=262,superframes=2";
const char *const NETWORK_CALL_2 = "ts=1,type=private,src=2621235,dst=2627777,superframes=1";
const char *const REPEATER_CALL_1 = "ts=1,src=2627777,dst=9,superframes=2";
const char *const REPEATER_CALL_2 = "ts=2,type=private,src=2627777,dst=2621234,superframes=1";

// One run: the login mode's single repeater, or the master mode's two on
// the same slots at once with the network calling the second, of which the
// first must hear none.
bool soak(const options &o, double seconds, bool master) {
    using namespace bridge_rig_defaults;
    const char *what = master ? "master" : "login";
    const int rounds = std::max(1, static_cast<int>(seconds / 1.0));
    const int lifetime = static_cast<int>(seconds * 2 + 120);
    std::optional<bridge_rig> login;
    std::optional<master_pair> pair;
    if (master) {
        pair.emplace(calls({"--call-to", std::to_string(master_pair::SECOND)}, rounds,
                           NETWORK_CALL_1, NETWORK_CALL_2),
                     calls({}, rounds, REPEATER_CALL_1, REPEATER_CALL_2),
                     calls({}, rounds, "ts=1,src=2628888,dst=9,superframes=2",
                           "ts=2,type=private,src=2628888,dst=2621234,superframes=1"),
                     lifetime);
    } else {
        login.emplace(calls({}, rounds, NETWORK_CALL_1, NETWORK_CALL_2),
                      calls({}, rounds, REPEATER_CALL_1, REPEATER_CALL_2), lifetime);
    }
    bridge_rig &rig = master ? pair->rig : *login;
    if (master ? !pair->start_second(30s) : !rig.wait_for_login(30s)) {
        std::printf("FAULT: the daemon did not log in\n%s%s", rig.daemon.output().c_str(),
                    rig.peer.output().c_str());
        return false;
    }
    rig.release_peer_calls();
    if (master) {
        pair->release_repeater_calls();
    } else {
        rig.release_repeater_calls();
    }
    // Each repeater's simulator and the DMR ID its frames reach the peer under.
    std::vector<std::pair<const ChildProcess *, std::uint32_t>> repeaters = {
        {&rig.repeater, master ? master_pair::FIRST : REPEATER_ID}};
    std::vector<std::uint16_t> link_ports = {port16(rig.ports.link_local)};
    if (master) {
        repeaters.emplace_back(&*pair->second, master_pair::SECOND);
        link_ports.push_back(port16(rig.ports.link_local + 1));
    }
    const ChildProcess &called = *repeaters.back().first;
    const std::size_t repeater_frames = static_cast<std::size_t>(rounds) * REPEATER_FRAMES_A_ROUND;
    const std::size_t network_frames = static_cast<std::size_t>(rounds) * NETWORK_FRAMES_A_ROUND;
    verdict v;
    run_with_noise(
        o, seconds, rig.daemon, rig.ports, link_ports,
        [&] {
            bool done = sim::count_frame_lines(rig.peer.output(), "out") >= network_frames;
            for (const auto &r : repeaters) {
                done = done && sim::count_frame_lines(r.first->output(), "out") >= repeater_frames;
            }
            return done;
        },
        v, what);

    ferrule_log_set_sink(drop_log, nullptr); // the checks' own conversions log the calls
    const auto peer_in = sim::frame_lines(rig.peer.output(), "in");
    std::size_t up_frames = 0;
    for (const auto &[repeater, id] : repeaters) {
        const auto up =
            call_check::to_network(sim::frame_lines(repeater->output(), "out"),
                                   master ? master_pair::frames_of(peer_in, id) : peer_in, id,
                                   master ? "" : CALLSIGN, master);
        std::printf("soak %s: %zu calls repeater %u->network (%zu frames)\n", what, up.calls,
                    static_cast<unsigned>(id), up.frames);
        v.faults(up, "repeater " + std::to_string(id) + "->network");
        v.check(up.frames == repeater_frames, "not every repeater frame reached the peer");
        up_frames += up.frames;
    }
    v.check(up_frames == peer_in.size(), "a frame reached the peer under no repeater's ID");
    const auto network_sent = sim::frame_lines(rig.peer.output(), "out");
    const auto down =
        call_check::to_repeater(network_sent, sim::frame_lines(called.output(), "in"), FIRMWARE);
    ferrule_log_set_sink(nullptr, nullptr);
    std::printf("soak %s: %zu calls network->repeater (%zu frames of %zu sent)\n", what, down.calls,
                down.frames, network_sent.size());
    v.faults(down, "network->repeater");
    v.check(down.calls == static_cast<std::size_t>(rounds) * 2, "a network call went missing");
    const std::string log = rig.daemon.output();
    if (master) {
        v.check(sim::count_frame_lines(rig.repeater.output(), "in") == 0,
                "the first repeater heard the second's network calls");
        v.check(count_of(log, " logged in\n") == 2 && count_of(log, "logged in again") == 0,
                "a link did not stay up");
    } else {
        v.check(count_of(log, ".....send RPTL:") == 1, "the login did not stay up");
        v.check(count_of(log, "TIME OUT MMDV") == 0, "the peer timed out");
    }
    stop_in_order(rig.daemon, v);
    return v.pass();
}

} // namespace

int main(int argc, char **argv) {
    options o;
    if (!parse(argc, argv, o)) {
        std::fprintf(stderr,
                     "usage: %s [--seconds N] [--mode both|login|master] [--noise-every-ms N] "
                     "[--noise-burst N]\n",
                     argv[0]);
        return 2;
    }
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const bool both = o.mode == "both";
    const double seconds = both ? o.seconds / 2 : o.seconds;
    bool pass = true;
    if (both || o.mode == "login") {
        pass = soak(o, seconds, false) && pass;
    }
    if (both || o.mode == "master") {
        pass = soak(o, seconds, true) && pass;
    }
    std::printf("soak: %s\n", pass ? "pass" : "FAIL");
    return pass ? 0 : 1;
}
