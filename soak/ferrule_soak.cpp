// Soak run: the daemon between the simulated repeater and the simulated peer
// on loopback, calls both ways on both time slots for a bounded time, and
// between them bursts of noise from strangers at every port. It passes when
// every frame arrived in order and byte for byte, the login stayed up, no
// stranger at the link port got an answer, and the daemon's resident memory
// and thread count did not grow.
//
//   ferrule_soak [--seconds N] [--noise-every-ms N] [--noise-burst N]
//
// Exit status 0 on a pass, 1 on a fault; the figures go to standard output.

#include "core/log.h"
#include "testing/bridge_rig.h"
#include "testing/call_check.h"

#include <cstdio>
#include <cstring>
#include <map>
#include <poll.h>
#include <random>
#include <thread>

using namespace ferrule_test;
using namespace std::chrono_literals;

namespace {

struct options {
    double seconds = 120;
    int noise_every_ms = 1000;
    int noise_burst = 50; // datagrams per port per burst
};

// A stranger: its own address on loopback, one socket per target port. It
// never sends what the repeater protocol takes from anyone as a registration
// (a 1-byte voice datagram, a 20-byte keep-alive or a 24-byte service request
// on the control port): those make the sender a repeater by design.
class noise_maker {
  public:
    noise_maker(const std::vector<std::uint16_t> &ports, std::uint16_t link_port)
        : link_port_(link_port) {
        for (std::uint16_t port : ports) {
            sockets_.push_back({bound_udp_socket("127.0.0.3", 0), port});
        }
    }
    ~noise_maker() {
        for (const auto &s : sockets_) {
            close(s.fd);
        }
    }

    void burst(int count) {
        for (const auto &s : sockets_) {
            for (int i = 0; i < count; ++i) {
                std::array<std::uint8_t, 400> d{};
                const std::size_t n = datagram(s.port, d);
                const sockaddr_in to = endpoint("127.0.0.1", s.port);
                if (sendto(s.fd, d.data(), n, 0, reinterpret_cast<const sockaddr *>(&to),
                           sizeof to) >= 0) {
                    ++sent_;
                }
            }
        }
    }

    // Whatever came back; only the link port's stranger must hear nothing.
    void drain() {
        for (const auto &s : sockets_) {
            std::uint8_t b[512];
            while (recv(s.fd, b, sizeof b, MSG_DONTWAIT) >= 0) {
                ++answers_[s.port];
            }
        }
    }

    unsigned long sent() const { return sent_; }
    unsigned long answers(std::uint16_t port) { return answers_[port]; }

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
        if (port == link_port_ && random_() % 2 == 0) {
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
    };
    std::vector<target> sockets_;
    std::uint16_t link_port_;
    std::mt19937 random_{20261207};
    unsigned long sent_ = 0;
    std::map<std::uint16_t, unsigned long> answers_;
};

bool parse(int argc, char **argv, options &o) {
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--seconds") == 0) {
            o.seconds = std::atof(argv[i + 1]);
        } else if (std::strcmp(argv[i], "--noise-every-ms") == 0) {
            o.noise_every_ms = std::atoi(argv[i + 1]);
        } else if (std::strcmp(argv[i], "--noise-burst") == 0) {
            o.noise_burst = std::atoi(argv[i + 1]);
        } else {
            return false;
        }
    }
    return argc % 2 == 1 && o.seconds > 0 && o.noise_every_ms > 0 && o.noise_burst >= 0;
}

void drop_log(const char *, void *) {}

} // namespace

int main(int argc, char **argv) {
    options o;
    if (!parse(argc, argv, o)) {
        std::fprintf(stderr, "usage: %s [--seconds N] [--noise-every-ms N] [--noise-burst N]\n",
                     argv[0]);
        return 2;
    }
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    // One round of each side's calls takes a little under a second at 20 ms
    // a burst; enough rounds to fill the time asked for.
    const int rounds = std::max(1, static_cast<int>(o.seconds / 1.0));
    const std::string repeat = std::to_string(rounds);
    using namespace bridge_rig_defaults;
    bridge_rig rig({"--burst-ms", "20", "--call-gap-ms", "150", "--repeat", repeat, "--call",
                    "ts=2,src=2621234,dst=262,superframes=2", "--call",
                    "ts=1,type=private,src=2621235,dst=2627777,superframes=1"},
                   {"--burst-ms", "20", "--call-gap-ms", "150", "--repeat", repeat, "--call",
                    "ts=1,src=2627777,dst=9,superframes=2", "--call",
                    "ts=2,type=private,src=2627777,dst=2621234,superframes=1"},
                   static_cast<int>(o.seconds * 2 + 120));
    const ChildProcess &daemon = rig.daemon, &peer = rig.peer, &repeater = rig.repeater;
    const DaemonPorts &ports = rig.ports;
    if (!rig.wait_for_login(30s)) {
        std::printf("FAULT: the daemon did not log in\n%s", daemon.output().c_str());
        return 1;
    }
    rig.release_peer_calls();
    rig.release_repeater_calls();
    // Frames per round: repeater 14 + 8, network (3 + 12 + 2) + (3 + 6 + 2)
    // sent, of which 14 + 8 reach the repeater.
    const std::size_t repeater_frames = static_cast<std::size_t>(rounds) * 22;
    const std::size_t network_frames = static_cast<std::size_t>(rounds) * 28;

    const auto port = [](int p) { return static_cast<std::uint16_t>(p); };
    noise_maker noise(
        {port(ports.control), port(ports.voice), port(ports.rdac), port(ports.link_local)},
        port(ports.link_local));
    const auto start = std::chrono::steady_clock::now();
    const auto deadline = start + std::chrono::duration<double>(o.seconds * 2 + 60);
    process_figures warm{}, end{};
    bool done = false;
    while (!done && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(o.noise_every_ms));
        noise.burst(o.noise_burst);
        noise.drain();
        if (warm.rss_kib < 0 && std::chrono::steady_clock::now() - start > 5s) {
            warm = figures_of(daemon.pid()); // the first calls have touched what calls touch
        }
        done = sim::frame_lines(repeater.output(), "out").size() >= repeater_frames &&
               sim::frame_lines(peer.output(), "out").size() >= network_frames;
    }
    std::this_thread::sleep_for(1s); // the last frames in flight
    noise.drain();
    end = figures_of(daemon.pid());
    const double took =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

    ferrule_log_set_sink(drop_log, nullptr); // the checks' own conversions log the calls
    const auto up =
        call_check::to_network(sim::frame_lines(repeater.output(), "out"),
                               sim::frame_lines(peer.output(), "in"), REPEATER_ID, CALLSIGN);
    const auto network_sent = sim::frame_lines(peer.output(), "out");
    const auto down =
        call_check::to_repeater(network_sent, sim::frame_lines(repeater.output(), "in"), FIRMWARE);
    ferrule_log_set_sink(nullptr, nullptr);
    const std::string log = daemon.output();

    std::printf("soak: %.0f s, %zu calls repeater->network (%zu frames), %zu calls "
                "network->repeater (%zu frames of %zu sent)\n",
                took, up.calls, up.frames, down.calls, down.frames, network_sent.size());
    std::printf("soak: %lu noise datagrams from a stranger; answers: link %lu, control %lu, voice "
                "%lu, rdac %lu\n",
                noise.sent(), noise.answers(port(ports.link_local)),
                noise.answers(port(ports.control)), noise.answers(port(ports.voice)),
                noise.answers(port(ports.rdac)));
    std::printf("soak: daemon resident %ld KiB after 5 s, %ld KiB at the end; threads %ld, %ld\n",
                warm.rss_kib, end.rss_kib, warm.threads, end.threads);

    bool pass = true;
    auto check = [&](bool ok, const std::string &what) {
        if (!ok) {
            std::printf("FAULT: %s\n", what.c_str());
            pass = false;
        }
    };
    for (const auto &f : up.faults) {
        check(false, "repeater->network " + f);
    }
    for (const auto &f : down.faults) {
        check(false, "network->repeater " + f);
    }
    check(done, "the calls did not finish in time");
    check(up.frames == repeater_frames, "not every repeater frame reached the peer");
    check(down.calls == static_cast<std::size_t>(rounds) * 2, "a network call went missing");
    check(count_of(log, ".....send RPTL:") == 1, "the login did not stay up");
    check(count_of(log, "TIME OUT MMDV") == 0, "the peer timed out");
    check(noise.answers(port(ports.link_local)) == 0, "a stranger at the link port got an answer");
    check(end.threads == warm.threads, "the thread count changed");
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    // The sanitizers' own shadow memory and histories grow with the run; the
    // plain build is the one that measures.
    constexpr bool measure_memory = false;
#else
    constexpr bool measure_memory = true;
#endif
    // A few pages of slack: stack and log buffers settle.
    check(!measure_memory || end.rss_kib <= warm.rss_kib + 256, "resident memory grew");
    check(rig.daemon.wait_exit(0ms) == -1, "the daemon stopped");
    rig.daemon.signal(SIGINT);
    check(rig.daemon.wait_exit(5s) == 0, "the daemon did not stop in order");
    std::printf("soak: %s\n", pass ? "pass" : "FAIL");
    return pass ? 0 : 1;
}
